// bw::OverrideTable: which native methods a Python subclass replaces, found
// by walking its MRO once per type version and cached (overrides.hpp).
#define BRINDLEWICK_CORE_BUILD
#include "brindlewick/overrides.hpp"

#include "brindlewick/pyref.hpp"

namespace bw {

// What attribute lookup on `type` finds for `name`, walking the MRO the way
// the interpreter does: a new reference, or null (no error) when nothing is
// found or the lookup failed.  The MRO tuple and each dict are held while in
// use: a key's __eq__ may run Python code that replaces `type.__mro__` or
// changes a class dict.
static Ref lookup_in_mro(PyTypeObject* type, PyObject* name) {
    Ref mro = Ref::borrow(type->tp_mro);
    if (!mro || !PyTuple_Check(mro.get())) return Ref();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); i++) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
        Ref dict = Ref::steal(PyType_GetDict(base));
        if (!dict) continue;
        PyObject* found = nullptr;
        int r = PyDict_GetItemRef(dict.get(), name, &found);
        if (r > 0) return Ref::steal(found);
        if (r < 0) {
            PyErr_Clear();
            return Ref();
        }
    }
    return Ref();
}

int OverrideTable::bind(PyTypeObject* base) {
    if (count_ > kMaxSlots) {
        PyErr_Format(PyExc_SystemError, "%s: too many overridable methods", base->tp_name);
        return -1;
    }
    for (int i = 0; i < count_; i++) {
        if (!interned_[i]) {
            interned_[i] = PyUnicode_InternFromString(names_[i]);
            if (!interned_[i]) return -1;
        }
    }
    Ref found[kMaxSlots];
    for (int i = 0; i < count_; i++) {
        found[i] = lookup_in_mro(base, interned_[i]);
        if (!found[i]) {
            PyErr_Format(PyExc_SystemError, "%s has no native method %s", base->tp_name, names_[i]);
            return -1;
        }
    }
    for (int t = 0; t < kMaxNative; t++)
        for (int i = 0; i < kMaxSlots; i++) Py_CLEAR(native_descrs_[t][i]);
    for (int i = 0; i < count_; i++) native_descrs_[0][i] = found[i].release();
    natives_[0] = base;
    native_count_ = 1;
    for (auto& e : cache_) e = Entry{};
    return 0;
}

int OverrideTable::add_native_type(PyTypeObject* type) {
    for (int t = 0; t < native_count_; t++)
        if (natives_[t] == type) return 0;
    if (native_count_ == 0 || native_count_ >= kMaxNative) {
        PyErr_Format(PyExc_SystemError,
                     native_count_ == 0 ? "override table of %s used before bind()"
                                        : "override table full: cannot register native type %s",
                     type->tp_name);
        return -1;
    }
    int t = native_count_;
    for (int i = 0; i < count_; i++) {
        Ref descr = lookup_in_mro(type, interned_[i]);
        if (descr && descr.get() != native_descrs_[0][i]) native_descrs_[t][i] = descr.release();
    }
    natives_[t] = type;
    native_count_ = t + 1;
    for (auto& e : cache_) e = Entry{};
    return 0;
}

bool OverrideTable::is_native_descr(int slot, PyObject* descr) const {
    for (int t = 0; t < native_count_; t++)
        if (native_descrs_[t][slot] == descr) return true;
    return false;
}

uint32_t OverrideTable::mask_slow(PyTypeObject* type) {
    // The version is taken before the lookups: if Python code run by them
    // changes the class, the tag moves on and the result is not cached.
    unsigned int version = assign_type_version(type);
    uint32_t mask = 0;
    for (int i = 0; i < count_; i++) {
        Ref found = lookup_in_mro(type, interned_[i]);
        if (found && !is_native_descr(i, found.get())) mask |= 1u << i;
    }
    if (version != 0 && type_version(type) == version) {
        Entry& e = cache_[(reinterpret_cast<uintptr_t>(type) >> 4) & (kCacheSize - 1)];
        e = Entry{type, version, mask};
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
