// Entry-point capsules (export, signature-checked import) and the guarded
// one-time initialisation of the package's extension modules (capi.hpp).
#define BRINDLEWICK_CORE_BUILD
#include "brindlewick/capi.hpp"

#include "brindlewick/core_init.h"
#include "brindlewick/pyref.hpp"

namespace bw::capi {

// The module's name as a str for error messages (a new reference; "?" when
// it has none).  Held as an object rather than a char pointer into it: the
// formatting of the message allocates, and a collection run by that may
// replace the module's __name__.
static Ref module_name(PyObject* module) {
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (!name) {
        PyErr_Clear();
        name = Ref::steal(PyUnicode_FromString("?"));
    }
    return name;
}

int export_pointer(PyObject* module, const char* name, void* pointer, const char* signature) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed, lives as long as the module
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(dict, "__pyx_capi__", &found) < 0) return -1;
    // Owned: creating the capsule may run a collection whose finalizers
    // could drop the module's reference to the table.
    Ref table = Ref::steal(found);
    if (!table) {
        table = Ref::steal(PyDict_New());
        if (!table || PyModule_AddObjectRef(module, "__pyx_capi__", table.get()) < 0) return -1;
    }
    if (!PyDict_Check(table.get())) {
        PyErr_SetString(PyExc_TypeError, "__pyx_capi__ is not a dict");
        return -1;
    }
    Ref capsule = Ref::steal(PyCapsule_New(pointer, signature, nullptr));
    if (!capsule) return -1;
    return PyDict_SetItemString(table.get(), name, capsule.get());
}

int import_pointer(PyObject* module, const char* name, const char* kind, const char* signature, void** out) {
    Ref table = Ref::steal(PyObject_GetAttrString(module, "__pyx_capi__"));
    if (!table) return -1;
    PyObject* capsule = nullptr;
    if (PyDict_Check(table.get())) {
        Ref key = Ref::steal(PyUnicode_FromString(name));
        if (!key) return -1;
        if (PyDict_GetItemRef(table.get(), key.get(), &capsule) < 0) return -1;
    }
    Ref held = Ref::steal(capsule);
    if (!capsule) {
        Ref module_str = module_name(module);
        if (!module_str) return -1;
        PyErr_Format(PyExc_ImportError, "%.200U does not export expected C %.8s %.200s", module_str.get(), kind,
                     name);
        return -1;
    }
    if (!PyCapsule_IsValid(capsule, signature)) {
        const char* got = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : nullptr;
        Ref module_str = module_name(module);
        if (!module_str) return -1;
        PyErr_Format(PyExc_TypeError, "C %.8s %.200U.%.200s has wrong signature (expected %.500s, got %.500s)", kind,
                     module_str.get(), name, signature, got ? got : "(null)");
        return -1;
    }
    void* pointer = PyCapsule_GetPointer(capsule, signature);
    if (!pointer) return -1;
    *out = pointer;
    return 0;
}

PyTypeObject* import_type(PyObject* module, const char* name, size_t basicsize) {
    Ref obj = Ref::steal(PyObject_GetAttrString(module, name));
    if (!obj) return nullptr;
    if (!PyType_Check(obj.get())) {
        Ref module_str = module_name(module);
        if (!module_str) return nullptr;
        PyErr_Format(PyExc_TypeError, "%.200U.%.200s is not a type object", module_str.get(), name);
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(obj.get());
    if (basicsize && static_cast<size_t>(type->tp_basicsize) < basicsize) {
        Ref module_str = module_name(module);
        if (!module_str) return nullptr;
        PyErr_Format(PyExc_ValueError,
                     "%.200U.%.200s size changed, may indicate binary incompatibility. "
                     "Expected %zd from C header, got %zd from PyObject",
                     module_str.get(), name, static_cast<Py_ssize_t>(basicsize), type->tp_basicsize);
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(obj.release());
}

static int64_t current_interpreter() { return PyInterpreterState_GetID(PyInterpreterState_Get()); }

PyObject* guarded_create(ModuleGuard& guard, PyObject* spec, PyModuleDef* def) {
    int64_t id = current_interpreter();
    if (guard.interpreter == -1) {
        guard.interpreter = id;
    } else if (guard.interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    PyObject* module = PyModule_NewObject(name.get());
    if (module && def->m_doc && PyModule_SetDocString(module, def->m_doc) < 0) Py_CLEAR(module);
    return module;
}

int guarded_exec_begin(ModuleGuard& guard, PyObject* module) {
    if (guard.module == module) return 0;
    if (guard.module) {
        PyErr_Format(PyExc_ImportError,
                     "Module '%.200s' has already been imported. Re-initialisation is not supported.",
                     guard.short_name);
        return -1;
    }
    return 1;
}

static PackageModule& package_module_of(PyModuleDef* def) { return *reinterpret_cast<PackageModule*>(def); }

PyObject* package_module_create(PyObject* spec, PyModuleDef* def) {
    return guarded_create(package_module_of(def).guard, spec, def);
}

int package_module_exec(PyObject* module) {
    PyModuleDef* def = PyModule_GetDef(module);
    if (!def) return -1;
    PackageModule& m = package_module_of(def);
    int go = guarded_exec_begin(m.guard, module);
    if (go <= 0) return go;
    if (brindlewick_core_init() != BRINDLEWICK_OK) return -1;
    if (m.exec(module) < 0) return -1;
    guarded_exec_done(m.guard, module);
    return 0;
}

}  // namespace bw::capi
