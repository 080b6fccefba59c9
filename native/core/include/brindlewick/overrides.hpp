// Detection of Python overrides of native methods.
//
// A native class lists its overridable methods once.  A native call asks
// `overridden(table, self, slot)` before doing the work itself: for the
// class's own native types the answer costs pointer compares; for a Python
// subclass the answer comes from a small cache keyed by the type and its
// version tag, so the method is not looked up by name on every call and a
// class changed after creation (monkey-patching) is seen at once.
#pragma once

#include <Python.h>

#include <cstdint>

#include "brindlewick/api.hpp"

namespace bw {

class OverrideTable {
public:
    static constexpr int kMaxNative = 4;
    static constexpr int kCacheSize = 32;

    // `names`: the overridable method names, slot i <-> names[i] (at most 32).
    constexpr OverrideTable(const char* const* names, int count) : names_(names), count_(count) {}

    // Records the base type whose descriptors are the native ones; call once
    // the type is ready.  Further native subclasses are added with
    // `add_native_type` (they inherit the same descriptors).
    BW_CORE_API int bind(PyTypeObject* base);
    BW_CORE_API void add_native_type(PyTypeObject* type);

    // Whether the type of `self` replaces method `slot` in Python.
    inline bool overridden(PyObject* self, int slot) {
        PyTypeObject* type = Py_TYPE(self);
        for (int i = 0; i < native_count_; i++)
            if (natives_[i] == type) return false;
        return (mask_for(type) >> slot) & 1u;
    }

    // Calls the override: self.<name>(*args).
    BW_CORE_API PyObject* call(PyObject* self, int slot, PyObject* const* args, size_t nargs);

    inline PyObject* name(int slot) const { return interned_[slot]; }

private:
    struct Entry {
        PyTypeObject* type;
        unsigned int version;
        uint32_t mask;
    };

    inline uint32_t mask_for(PyTypeObject* type) {
        Entry& e = cache_[(reinterpret_cast<uintptr_t>(type) >> 4) & (kCacheSize - 1)];
        if (BW_LIKELY(e.type == type && e.version == type->tp_version_tag && e.version != 0)) return e.mask;
        return mask_slow(type);
    }
    BW_CORE_API uint32_t mask_slow(PyTypeObject* type);

    const char* const* names_;
    int count_;
    PyTypeObject* natives_[kMaxNative] = {};
    int native_count_ = 0;
    PyObject* interned_[32] = {};
    PyObject* native_descrs_[32] = {};
    Entry cache_[kCacheSize] = {};
};

}  // namespace bw
