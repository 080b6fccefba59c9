// The out-of-line part of compat.hpp: heap types whose spec may carry a
// type vectorcall on interpreters without the Py_tp_vectorcall slot.
#define BRINDLEWICK_CORE_BUILD
#include "brindlewick/compat.hpp"

#include "brindlewick/buffer.hpp"

namespace bw {

PyObject* type_from_spec(PyObject* module, PyType_Spec* spec, PyObject* bases) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    return PyType_FromModuleAndSpec(module, spec, bases);
#else
    void* vectorcall = nullptr;
    SmallArray<PyType_Slot, 32> slots;
    for (PyType_Slot* s = spec->slots; s->slot; s++) {
        if (s->slot == BW_tp_vectorcall)
            vectorcall = s->pfunc;
        else if (!slots.push_back(*s))
            return nullptr;
    }
    if (!vectorcall) return PyType_FromModuleAndSpec(module, spec, bases);
    if (!slots.push_back(PyType_Slot{0, nullptr})) return nullptr;
    PyType_Spec copy = *spec;
    copy.slots = slots.data();
    PyObject* type = PyType_FromModuleAndSpec(module, &copy, bases);
    if (type) reinterpret_cast<PyTypeObject*>(type)->tp_vectorcall = reinterpret_cast<vectorcallfunc>(vectorcall);
    return type;
#endif
}

}  // namespace bw
