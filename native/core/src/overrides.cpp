#define BRINDLEWICK_CORE_BUILD
#include "brindlewick/overrides.hpp"

#include "brindlewick/pyref.hpp"

namespace bw {

// The object that attribute lookup on `type` finds for `name`, walking the
// MRO the way the interpreter does; borrowed (owned by a type dict), or null.
static PyObject* lookup_in_mro(PyTypeObject* type, PyObject* name) {
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); i++) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        Ref dict = Ref::steal(PyType_GetDict(base));
        if (!dict) continue;
        PyObject* found = PyDict_GetItemWithError(dict.get(), name);  // borrowed
        if (found) return found;
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return nullptr;
        }
    }
    return nullptr;
}

int OverrideTable::bind(PyTypeObject* base) {
    for (int i = 0; i < count_; i++) {
        if (!interned_[i]) {
            interned_[i] = PyUnicode_InternFromString(names_[i]);
            if (!interned_[i]) return -1;
        }
        PyObject* descr = lookup_in_mro(base, interned_[i]);
        if (!descr) {
            PyErr_Format(PyExc_SystemError, "%s has no native method %s", base->tp_name, names_[i]);
            return -1;
        }
        Py_INCREF(descr);
        Py_XSETREF(native_descrs_[i], descr);
    }
    native_count_ = 0;
    for (auto& e : cache_) e = Entry{};
    add_native_type(base);
    return 0;
}

void OverrideTable::add_native_type(PyTypeObject* type) {
    if (native_count_ < kMaxNative) natives_[native_count_++] = type;
}

uint32_t OverrideTable::mask_slow(PyTypeObject* type) {
    uint32_t mask = 0;
    for (int i = 0; i < count_; i++) {
        PyObject* found = lookup_in_mro(type, interned_[i]);
        if (found && found != native_descrs_[i]) mask |= 1u << i;
    }
    if (type->tp_version_tag == 0) PyUnstable_Type_AssignVersionTag(type);
    if (type->tp_version_tag != 0) {
        Entry& e = cache_[(reinterpret_cast<uintptr_t>(type) >> 4) & (kCacheSize - 1)];
        e = Entry{type, type->tp_version_tag, mask};
    }
    return mask;
}

PyObject* OverrideTable::call(PyObject* self, int slot, PyObject* const* args, size_t nargs) {
    // stack[0] stays free: PY_VECTORCALL_ARGUMENTS_OFFSET lets the callee use it.
    PyObject* stack[9];
    if (nargs + 2 > 9) {
        PyErr_SetString(PyExc_SystemError, "too many arguments for an override call");
        return nullptr;
    }
    stack[0] = nullptr;
    stack[1] = self;
    for (size_t i = 0; i < nargs; i++) stack[i + 2] = args[i];
    return PyObject_VectorcallMethod(interned_[slot], stack + 1, (nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nullptr);
}

}  // namespace bw
