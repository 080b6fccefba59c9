// Argument checking shared by every native module.
//
// Error texts are the package's three formats:
//   "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
//   "Expected %.42s, got %.200s"
//   "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
#pragma once

#include <Python.h>

#include "brindlewick/api.hpp"

// Method-table entry parts of a METH_FASTCALL | METH_KEYWORDS function.
#define BW_METH_FASTCALL_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(fn)), METH_FASTCALL | METH_KEYWORDS

namespace bw::args {

// TypeError for a typed parameter; returns false so callers can `return`.
BW_CORE_API bool raise_arg_type(const char* arg, const char* expected, PyObject* got);
// TypeError for a value checked on assignment or on return from an override.
BW_CORE_API bool raise_expected(const char* expected, PyObject* got);
// TypeError for a wrong positional count.
BW_CORE_API bool raise_count(const char* func, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given);

// `obj` must be exactly `type` (or None when allowed).
inline bool exact(PyObject* obj, PyTypeObject* type, const char* arg, bool none_ok = true) {
    if (BW_LIKELY(Py_IS_TYPE(obj, type)) || (none_ok && obj == Py_None)) return true;
    return raise_arg_type(arg, type->tp_name, obj);
}

// `obj` must be an instance of `type` or a subclass (or None when allowed).
inline bool instance(PyObject* obj, PyTypeObject* type, const char* arg, bool none_ok = true) {
    if (BW_LIKELY(PyObject_TypeCheck(obj, type)) || (none_ok && obj == Py_None)) return true;
    return raise_arg_type(arg, type->tp_name, obj);
}

// Value check on assignment or on return: exact type or None.
inline bool expect_exact(PyObject* obj, PyTypeObject* type) {
    if (BW_LIKELY(Py_IS_TYPE(obj, type)) || obj == Py_None) return true;
    return raise_expected(type->tp_name, obj);
}

// Value check on assignment or on return: instance or None.
inline bool expect_instance(PyObject* obj, PyTypeObject* type) {
    if (BW_LIKELY(PyObject_TypeCheck(obj, type)) || obj == Py_None) return true;
    return raise_expected(type->tp_name, obj);
}

// Signature of a fast-call entry point with keyword support.  `names` lists
// every parameter in order; the first `required` are mandatory.
struct Signature {
    const char* func;
    const char* const* names;
    Py_ssize_t count;
    Py_ssize_t required;
    PyObject** interned = nullptr;  // filled on first keyword use
};

// Fills `out[0..count)` with borrowed references (null for an absent
// optional parameter).  Positional-only calls take a branch-free path.
BW_CORE_API bool parse_slow(Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, PyObject** out);

inline bool parse(Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  PyObject** out) {
    if (BW_LIKELY(kwnames == nullptr && nargs >= sig.required && nargs <= sig.count)) {
        for (Py_ssize_t i = 0; i < nargs; i++) out[i] = args[i];
        for (Py_ssize_t i = nargs; i < sig.count; i++) out[i] = nullptr;
        return true;
    }
    return parse_slow(sig, args, nargs, kwnames, out);
}

}  // namespace bw::args
