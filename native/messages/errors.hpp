// Error texts of brindlewick.messages, in one place.
//
// The package's three argument formats live in brindlewick/args.hpp
// (raise_arg_type, raise_expected, raise_count).  The texts below are the
// ones the module raises from more than one place: most repeat what the
// interpreter itself says when Python code does the same thing on the same
// values (a header entry that is None, a pair of the wrong size), so that a
// native operation fails exactly as its Python equivalent would.  Each
// helper sets the exception and returns -1, for `return raise_...(...)`.
#pragma once

#include <Python.h>

namespace bw::messages::errors {

// A header operation whose Python callback (a name's lower(), an entry's
// __iter__, an __eq__) replaced or unset the message's header list while the
// operation was walking it.
inline constexpr const char kHeaderListReplaced[] = "the header list was replaced during a header lookup";
inline constexpr const char kSessionNotConfigured[] =
    "A session is not configured for this request, activate sessions using `app.use_sessions` method.";
inline constexpr const char kMissingHost[] = "Missing Host header";

// `None.<attribute>`
inline int none_has_no(const char* attribute) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", attribute);
    return -1;
}
// `for x in None`
inline int none_not_iterable() { return PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable"), -1; }
// `None[i]`
inline int none_not_subscriptable() {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
    return -1;
}
// `bytes.lower(None)`
inline int none_not_bytes_for_lower() {
    PyErr_SetString(PyExc_TypeError, "descriptor 'lower' for 'bytes' objects doesn't apply to a 'NoneType' object");
    return -1;
}
// `t[i]` past the end of a tuple
inline int tuple_index_out_of_range() { return PyErr_SetString(PyExc_IndexError, "tuple index out of range"), -1; }
// `a, b = value` where value has `found` items
inline int cannot_unpack_pair(Py_ssize_t found) {
    if (found > 2)
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t(2));
    else
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
    return -1;
}
// `__del__` of a slot that has no deleter
inline int cannot_delete() { return PyErr_SetString(PyExc_NotImplementedError, "__del__"), -1; }

}  // namespace bw::messages::errors
