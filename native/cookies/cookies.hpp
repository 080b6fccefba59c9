// Private declarations of module brindlewick.cookies.
#pragma once

#include <Python.h>

#include <cstdint>

#include "brindlewick/siblings.hpp"

namespace bw::cookies {

enum SameSite : int { kSameSiteUndefined = 0, kSameSiteLax = 1, kSameSiteStrict = 2, kSameSiteNone = 3 };
inline constexpr int kSameSiteCount = 4;

struct CookieObject {
    PyObject_HEAD
    PyObject* name;     // str, never empty
    PyObject* value;    // str
    PyObject* expires;  // datetime or None
    PyObject* domain;   // str or None, header-safe
    PyObject* path;     // str or None, header-safe
    int64_t max_age;    // -1 when unset, else >= 0
    int same_site;      // SameSite
    bool http_only;
    bool secure;
};

// Everything the module keeps between calls, filled once by its exec step
// (the module is executed once per process).
struct State {
    PyTypeObject* cookie_type;
    PyObject* same_site_type;                     // the CookieSameSiteMode enum class
    PyObject* same_site_members[kSameSiteCount];  // its members, by value
    PyObject* str_utcoffset;                      // "utcoffset", interned
};
extern State state;

int init_cookie_type(PyObject* module);
int init_functions(PyObject* module);

// A new Cookie of the exact native type with the given name and value
// (borrowed, already checked) and every attribute at its default.
CookieObject* new_cookie(PyObject* name, PyObject* value);

// Attribute checks shared by the constructor, the setters and the parser.
// Each returns false with ValueError set when the text could break the
// header it is written into.
bool check_name(PyObject* name);
bool check_domain(PyObject* domain);
bool check_path(PyObject* path);

// Imports the datetime C API and interns the names dates.cpp calls.
int init_datetime();
bool is_datetime(PyObject* obj);

// The point in time of `dt` as seconds since 1970-01-01 UTC (naive values
// are taken as UTC) plus microseconds.  Returns false with an exception set.
bool utc_instant(PyObject* dt, int64_t* seconds, int* microseconds);

// Native entry points (also Python-visible through wrappers).
PyObject* parse_cookie(PyObject* value);
PyObject* write_cookie_for_response(PyObject* cookie);
PyObject* datetime_to_cookie_format(PyObject* value);
PyObject* split_value(PyObject* fragment, PyObject* separator);

}  // namespace bw::cookies
