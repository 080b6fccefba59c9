// Object layouts and native entry points of the sibling modules
// (`brindlewick.contents`, `brindlewick.url`, `brindlewick.cookies`) that
// `messages` and `scribe` read directly.  The defining module and every
// importer include this header, and the signature strings below are what the
// capsules of `__pyx_capi__` are named by.
#pragma once

#include <Python.h>

#include <cstdint>

namespace bw::siblings {

// ---- brindlewick.contents -------------------------------------------------

struct ContentObject;

// Native method table of every content class; `dispose` comes first.  An
// entry taking `skip_dispatch` reaches a Python override when it is 0.
struct ContentVTable {
    int (*dispose)(ContentObject* self, int skip_dispatch);
};

struct ContentObject {
    PyObject_HEAD
    ContentVTable* vtab;
    PyObject* type;       // bytes or None: declared media type
    PyObject* body;       // bytes, or None when not held in memory
    Py_ssize_t length;    // negative when not fixed in advance
};

struct ServerSentEventObject;

struct ServerSentEventVTable {
    // New reference to the `str` of the event's data line(s).
    PyObject* (*write_data)(ServerSentEventObject* self, int skip_dispatch);
};

struct ServerSentEventObject {
    PyObject_HEAD
    ServerSentEventVTable* vtab;
    PyObject* data;
    PyObject* event;    // str or None
    PyObject* id;       // str or None
    int32_t retry;      // negative when unset
    PyObject* comment;  // str or None
};

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

struct URLObject {
    PyObject_HEAD
    PyObject* value;     // bytes
    PyObject* schema;    // bytes or None
    PyObject* host;      // bytes or None
    int32_t port;        // 0 when absent
    PyObject* path;      // bytes
    PyObject* query;     // bytes
    PyObject* fragment;  // bytes or None
    int32_t is_absolute;
};

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
