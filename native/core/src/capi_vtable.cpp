// Operation tables of native types, published the way Cython publishes
// them: a capsule `__pyx_vtable__` in the type's own dictionary, named by
// the signature string of the table (its entries in order, each with its
// signature).  A module that calls through another module's table checks
// that string when it loads, so a table whose layout changed is refused at
// import instead of being called through the wrong slots.
#define BRINDLEWICK_CORE_BUILD
#include "brindlewick/capi.hpp"

#include "brindlewick/pyref.hpp"

namespace bw::capi {

static const char kVTableKey[] = "__pyx_vtable__";

int export_vtable(PyTypeObject* type, void* table, const char* signature) {
    Ref capsule = Ref::steal(PyCapsule_New(table, signature, nullptr));
    if (!capsule) return -1;
    // The type may be immutable: its dictionary is written directly, as
    // while the type is being set up, and its lookup cache invalidated.
    Ref dict = Ref::steal(PyType_GetDict(type));
    if (!dict) return -1;
    if (PyDict_SetItemString(dict.get(), kVTableKey, capsule.get()) < 0) return -1;
    PyType_Modified(type);
    return 0;
}

int import_vtable(PyTypeObject* type, const char* signature, void** out) {
    Ref dict = Ref::steal(PyType_GetDict(type));
    if (!dict) return -1;
    // The type's own dictionary only: a subtype that does not export a
    // table must not pass with its base's.
    PyObject* capsule = nullptr;
    if (PyDict_GetItemStringRef(dict.get(), kVTableKey, &capsule) < 0) return -1;
    Ref held = Ref::steal(capsule);
    if (!capsule) {
        PyErr_Format(PyExc_ImportError, "%.200s does not export its C vtable", type->tp_name);
        return -1;
    }
    if (!PyCapsule_IsValid(capsule, signature)) {
        const char* got = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : nullptr;
        PyErr_Format(PyExc_TypeError, "C vtable %.200s has wrong signature (expected %.500s, got %.500s)",
                     type->tp_name, signature, got ? got : "(null)");
        return -1;
    }
    void* table = PyCapsule_GetPointer(capsule, signature);
    if (!table) return -1;
    *out = table;
    return 0;
}

}  // namespace bw::capi
