// Detection of Python overrides of native methods.
//
// A native class lists its overridable methods once.  A native call asks
// `overridden(self, slot)` before doing the work itself: for the class's own
// native types the answer costs pointer compares; for a Python subclass the
// answer comes from a small cache keyed by the type and its version tag, so
// the method is not looked up by name on every call and a class changed
// after creation (monkey-patching) is seen at once.
//
// Native subtypes.  `bind(Base)` records Base's descriptors as the native
// ones; `add_native_type(Sub)` registers a native subtype.  When Sub defines
// its own native method for one of the table's names (a native `Request`
// with its own `reset`), Sub's descriptor counts as native for that slot
// too, so a Python subclass of Sub that does not touch the method is not
// reported as overriding it.
//
// Chaining.  A subtype with overridable methods of its own keeps a second
// table listing only those, bound to itself; the base table keeps answering
// for the base's slots:
//
//     OverrideTable message_overrides(kMessageNames, kMessageCount);   // bind(MessageType)
//     OverrideTable request_overrides(kRequestNames, kRequestCount);   // bind(RequestType)
//     if (message_overrides.add_native_type(RequestType) < 0) return -1;
//     ...
//     message_overrides.overridden(self, kGetHeaders);   // a Message slot
//     request_overrides.overridden(self, kReset);        // a Request slot
//
// The tables are independent caches; each costs a pointer loop for native
// types and one cache probe for Python subclasses.
#pragma once

#include <Python.h>

#include <cstdint>

#include "brindlewick/api.hpp"
#include "brindlewick/compat.hpp"

namespace bw {

class OverrideTable {
public:
    static constexpr int kMaxNative = 16;
    static constexpr int kMaxSlots = 32;
    static constexpr int kCacheSize = 32;

    // `names`: the overridable method names, slot i <-> names[i] (at most 32).
    constexpr OverrideTable(const char* const* names, int count) : names_(names), count_(count) {}

    // Records the type whose descriptors are the native ones (and forgets
    // earlier registrations); call once the type is ready.  0, or -1 with
    // an error set.
    [[nodiscard]] BW_CORE_API int bind(PyTypeObject* base);
    // Registers a native subtype of the bound type, with its own native
    // descriptors.  0, or -1 with SystemError when the table is full.
    [[nodiscard]] BW_CORE_API int add_native_type(PyTypeObject* type);

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
        unsigned int version = type_version(type);
        if (BW_LIKELY(e.type == type && e.version == version && version != 0)) return e.mask;
        return mask_slow(type);
    }
    BW_CORE_API uint32_t mask_slow(PyTypeObject* type);
    bool is_native_descr(int slot, PyObject* descr) const;

    const char* const* names_;
    int count_;
    PyTypeObject* natives_[kMaxNative] = {};
    int native_count_ = 0;
    PyObject* interned_[kMaxSlots] = {};
    // native_descrs_[t][i]: the descriptor natives_[t] finds for slot i
    // (owned; null where it is the bound type's own, natives_[0]'s).
    PyObject* native_descrs_[kMaxNative][kMaxSlots] = {};
    Entry cache_[kCacheSize] = {};
};

}  // namespace bw
