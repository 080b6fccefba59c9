#define BRINDLEWICK_CORE_BUILD
#include "brindlewick/compat.hpp"

#include <vector>

namespace bw {

PyObject* type_from_spec(PyObject* module, PyType_Spec* spec, PyObject* bases) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    return PyType_FromModuleAndSpec(module, spec, bases);
#else
    void* vectorcall = nullptr;
    std::vector<PyType_Slot> slots;
    for (PyType_Slot* s = spec->slots; s->slot; s++) {
        if (s->slot == BW_tp_vectorcall)
            vectorcall = s->pfunc;
        else
            slots.push_back(*s);
    }
    if (!vectorcall) return PyType_FromModuleAndSpec(module, spec, bases);
    slots.push_back(PyType_Slot{0, nullptr});
    PyType_Spec copy = *spec;
    copy.slots = slots.data();
    PyObject* type = PyType_FromModuleAndSpec(module, &copy, bases);
    if (type) reinterpret_cast<PyTypeObject*>(type)->tp_vectorcall = reinterpret_cast<vectorcallfunc>(vectorcall);
    return type;
#endif
}

}  // namespace bw
