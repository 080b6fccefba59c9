// Cookie date conversion, shared by the writer and the parser.
#pragma once

#include <Python.h>

#include <cstddef>

namespace bw::cookies {

// "Sun, 06 Nov 1994 08:49:37 GMT"
inline constexpr size_t kCookieDateLength = 29;

// Writes `dt` (a datetime; naive means UTC) in IMF-fixdate form.  Returns
// false with an exception set (a tzinfo that fails, a date out of range).
bool format_cookie_date(PyObject* dt, char out[kCookieDateLength]);

// Reads a cookie date; a new reference to an aware UTC datetime, None when
// the text holds no valid date, or null with an exception set.
PyObject* parse_cookie_date(const char* data, size_t length);

}  // namespace bw::cookies
