// Native entry points of the sibling modules (`brindlewick.contents`,
// `brindlewick.url`, `brindlewick.cookies`) that `messages` and `scribe`
// bind.  The defining module and every importer include this header, and the
// signature strings below are what the capsules of `__pyx_capi__` are named
// by.  The object layouts those modules share live beside them
// (contents/content_layout.hpp, url/url_layout.hpp).
#pragma once

#include <Python.h>

namespace bw::siblings {

// ---- brindlewick.contents -------------------------------------------------

// parse_www_form_urlencoded(data) -> dict
using ParseWWWFormFn = PyObject* (*)(PyObject* data);
inline constexpr const char kParseWWWFormSig[] = "PyObject *(PyObject *)";

// charset_codec(label) -> str: the Python codec of a charset a client named
// (str or bytes), or null with BadRequest when it is not an allowed label.
using CharsetCodecFn = PyObject* (*)(PyObject* label);
inline constexpr const char kCharsetCodecSig[] = "PyObject *(PyObject *)";

// limit_server_body(content, declared, limit): before a read through a
// message, tells an ASGIContent or RSGIContent the body length the message
// declares (its content-length, -1 when none) and the most bytes the read
// may take (-1: no limit).  1 when `content` is such a content, 0 when it is
// not (nothing done), -1 with PayloadTooLarge when the declared length is
// already past the limit (nothing is read).
using LimitServerBodyFn = int (*)(PyObject* content, Py_ssize_t declared, Py_ssize_t limit);
inline constexpr const char kLimitServerBodySig[] = "int (PyObject *, Py_ssize_t, Py_ssize_t)";

// ---- brindlewick.url --------------------------------------------------------

// build_absolute_url(scheme, host, base_path, path) -> URL
using BuildAbsoluteURLFn = PyObject* (*)(PyObject* scheme, PyObject* host, PyObject* base_path, PyObject* path);
inline constexpr const char kBuildAbsoluteURLSig[] = "PyObject *(PyObject *, PyObject *, PyObject *, PyObject *)";

// ---- brindlewick.cookies ----------------------------------------------------

// parse_cookie(value: bytes) -> Cookie
using ParseCookieFn = PyObject* (*)(PyObject* value);
inline constexpr const char kParseCookieSig[] = "PyObject *(PyObject *)";
// write_cookie_for_response(cookie) -> bytes
using WriteCookieFn = PyObject* (*)(PyObject* cookie);
inline constexpr const char kWriteCookieSig[] = "PyObject *(PyObject *)";
// datetime_to_cookie_format(datetime) -> bytes
using DatetimeToCookieFormatFn = PyObject* (*)(PyObject* value);
inline constexpr const char kDatetimeToCookieFormatSig[] = "PyObject *(PyObject *)";
// split_value(fragment, separator) -> (bytes, bytes)
using SplitValueFn = PyObject* (*)(PyObject* fragment, PyObject* separator);
inline constexpr const char kSplitValueSig[] = "PyObject *(PyObject *, PyObject *)";

}  // namespace bw::siblings
