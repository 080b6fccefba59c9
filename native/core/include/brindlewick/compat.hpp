// The few interpreter APIs that differ between the supported CPython
// versions (3.13 and 3.14), behind one spelling.
//
// Heap types from a PyType_Spec: CPython 3.14 takes a type's own vectorcall
// (what calling the class runs) as the slot Py_tp_vectorcall; older
// interpreters have no such slot.  Slot tables name it BW_tp_vectorcall and
// types are created through bw::type_from_spec, which on older interpreters
// leaves the slot out of the PyType_Spec and stores the function in
// tp_vectorcall afterwards, exactly what the slot does (neither is inherited
// by subclasses).
#pragma once

#include <Python.h>

#include "brindlewick/api.hpp"

#if PY_VERSION_HEX >= 0x030E0000
#define BW_tp_vectorcall Py_tp_vectorcall
#else
#define BW_tp_vectorcall 0x7F00
#endif

namespace bw {

// PyType_FromModuleAndSpec(module, spec, bases) with BW_tp_vectorcall
// honoured; a new reference or null with an error set.
BW_CORE_API PyObject* type_from_spec(PyObject* module, PyType_Spec* spec, PyObject* bases) noexcept;

// sep.join(iterable) for bytes (PyBytes_Join of 3.14).
inline PyObject* bytes_join(PyObject* sep, PyObject* iterable) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    return PyBytes_Join(sep, iterable);
#else
    return _PyBytes_Join(sep, iterable);
#endif
}

}  // namespace bw
