// Module state generated from one declared list of entries.  A module
// writes its list once as an X-macro, one entry per line (each line but
// the last continued with a backslash):
//
//   #define BW_URL_STATE(X)
//       /* Names looked up on URL values. */
//       X(str, str_host, "host")
//       X(header, h_host, "host")
//       X(type, URL, "brindlewick.url", "URL", sizeof(URLObject))
//
//   struct State {
//       BW_URL_STATE(BW_STATE_FIELD)   // the fields
//       ...                            // hand-written ones after them
//   };
//   int fill(State& s) { BW_URL_STATE(BW_STATE_FILL) return 0; }
//   void clear(State& s) { BW_URL_STATE(BW_STATE_CLEAR) }
//
// An entry is X(kind, field, arguments...).  The kinds:
//   str      (field, "text")          the interned str
//   method   (field, "GET")           the core library's shared method str, else interned
//   bytes    (field, "text")          a bytes object (the literal's length: it may hold NUL)
//   header   (field, "name")          the core library's shared header-name bytes, else new
//   content_type (field, "type")      the core library's shared content-type bytes, else new
//   integer  (field, value)           an int
//   attr     (field, "module", "name")              module.name
//   type     (field, "module", "name", basicsize)   module.name, a type whose instances
//                                                   are at least basicsize bytes (0: any)
//   function (field, Fn, "module", "name", signature)
//                                     an entry point of module's __pyx_capi__, of the
//                                     function pointer type Fn
// BW_STATE_FILL fills the entries in the order listed (a module is imported
// when its first entry is filled, so order the list as the imports must
// run) and makes the enclosing function return -1 at the first failure;
// an entry filled again replaces what its field held.  BW_STATE_CLEAR
// releases what the entries own and nulls the entry points.  The fill and
// clear expansions name the state `s`.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>

#include "brindlewick/capi.hpp"
#include "brindlewick/fast_parse.h"
#include "brindlewick/pyref.hpp"

#define BW_STATE_FIELD(kind, field, ...) BW_STATE_TYPE_##kind(__VA_ARGS__) field;
#define BW_STATE_FILL(kind, field, ...) \
    if (BW_STATE_FILL_##kind(s.field, __VA_ARGS__) < 0) return -1;
#define BW_STATE_CLEAR(kind, field, ...) ::bw::state_fields::clear(s.field);

#define BW_STATE_FILL_str(...) ::bw::state_fields::fill_str(__VA_ARGS__)
#define BW_STATE_FILL_method(...) ::bw::state_fields::fill_method(__VA_ARGS__)
#define BW_STATE_FILL_bytes(...) ::bw::state_fields::fill_bytes(__VA_ARGS__)
#define BW_STATE_FILL_header(...) ::bw::state_fields::fill_header(__VA_ARGS__)
#define BW_STATE_FILL_content_type(...) ::bw::state_fields::fill_content_type(__VA_ARGS__)
#define BW_STATE_FILL_integer(...) ::bw::state_fields::fill_integer(__VA_ARGS__)
#define BW_STATE_FILL_attr(...) ::bw::state_fields::fill_attr(__VA_ARGS__)
#define BW_STATE_FILL_type(...) ::bw::state_fields::fill_type(__VA_ARGS__)
#define BW_STATE_FILL_function(slot, fn, ...) ::bw::state_fields::fill_function(slot, __VA_ARGS__)

#define BW_STATE_TYPE_str(...) PyObject*
#define BW_STATE_TYPE_method(...) PyObject*
#define BW_STATE_TYPE_bytes(...) PyObject*
#define BW_STATE_TYPE_header(...) PyObject*
#define BW_STATE_TYPE_content_type(...) PyObject*
#define BW_STATE_TYPE_integer(...) PyObject*
#define BW_STATE_TYPE_attr(...) PyObject*
#define BW_STATE_TYPE_type(...) PyTypeObject*
#define BW_STATE_TYPE_function(fn, ...) fn

namespace bw::state_fields {

template <class T>
inline int store(T*& slot, PyObject* value) {
    if (!value) return -1;
    Py_XSETREF(slot, reinterpret_cast<T*>(value));
    return 0;
}

inline int fill_str(PyObject*& slot, const char* text) { return store(slot, PyUnicode_InternFromString(text)); }

inline int fill_method(PyObject*& slot, const char* text) {
    PyObject* shared = get_interned_method_str(text, static_cast<Py_ssize_t>(strlen(text)));
    return store(slot, shared ? Py_NewRef(shared) : PyUnicode_InternFromString(text));
}

template <size_t N>
inline int fill_bytes(PyObject*& slot, const char (&text)[N]) {
    return store(slot, PyBytes_FromStringAndSize(text, static_cast<Py_ssize_t>(N - 1)));
}

// The core library's shared bytes of `text` from one of its tables, else new bytes.
inline int fill_shared_bytes(PyObject*& slot, const char* text, PyObject* (*lookup)(const char*, Py_ssize_t)) {
    Py_ssize_t n = static_cast<Py_ssize_t>(strlen(text));
    PyObject* shared = lookup(text, n);
    return store(slot, shared ? Py_NewRef(shared) : PyBytes_FromStringAndSize(text, n));
}

inline int fill_header(PyObject*& slot, const char* name) {
    return fill_shared_bytes(slot, name, get_interned_header_name_bytes);
}

inline int fill_content_type(PyObject*& slot, const char* type) {
    return fill_shared_bytes(slot, type, get_interned_content_type_bytes);
}

inline int fill_integer(PyObject*& slot, long value) { return store(slot, PyLong_FromLong(value)); }

inline int fill_attr(PyObject*& slot, const char* module, const char* name) {
    Ref m = Ref::steal(PyImport_ImportModule(module));
    return m ? store(slot, PyObject_GetAttrString(m.get(), name)) : -1;
}

inline int fill_type(PyTypeObject*& slot, const char* module, const char* name, size_t basicsize) {
    Ref m = Ref::steal(PyImport_ImportModule(module));
    return m ? store(slot, reinterpret_cast<PyObject*>(capi::import_type(m.get(), name, basicsize))) : -1;
}

template <class Fn>
inline int fill_function(Fn*& slot, const char* module, const char* name, const char* signature) {
    Ref m = Ref::steal(PyImport_ImportModule(module));
    return m ? capi::import_function(m.get(), name, slot, signature) : -1;
}

inline void clear(PyObject*& slot) { Py_CLEAR(slot); }
inline void clear(PyTypeObject*& slot) { Py_CLEAR(slot); }
template <class Fn>
inline void clear(Fn*& slot) { slot = nullptr; }

}  // namespace bw::state_fields
