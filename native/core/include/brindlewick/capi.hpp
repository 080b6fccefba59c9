// Native entry-point tables and one-time module initialisation.
//
// A module publishes selected functions and variables as capsules in its
// dictionary `__pyx_capi__`, keyed by name, each capsule named by the exact
// signature string of what it points to.  Importers look a name up and
// compare the signature before they keep the pointer, so two modules built
// from different declarations refuse to bind instead of crashing later.
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <type_traits>

#include "brindlewick/api.hpp"

namespace bw::capi {

BW_CORE_API int export_pointer(PyObject* module, const char* name, void* pointer, const char* signature);

template <class Fn>
inline int export_function(PyObject* module, const char* name, Fn* fn, const char* signature) {
    return export_pointer(module, name, reinterpret_cast<void*>(fn), signature);
}

// `kind` is "function" or "variable" and only shapes the error messages.
BW_CORE_API int import_pointer(PyObject* module, const char* name, const char* kind, const char* signature,
                               void** out);

template <class Fn>
inline int import_function(PyObject* module, const char* name, Fn*& out, const char* signature) {
    void* p = nullptr;
    if (import_pointer(module, name, "function", signature, &p) < 0) return -1;
    out = reinterpret_cast<Fn*>(p);
    return 0;
}

// Returns a new reference to `module.name`, which must be a type whose
// instances are at least `basicsize` bytes (0 skips the layout check).
BW_CORE_API PyTypeObject* import_type(PyObject* module, const char* name, size_t basicsize);

// Imports each listed type with import_type and stores it in its slot
// (replacing what the slot held); -1 at the first failure.
struct TypeImport {
    PyObject* module;
    const char* name;
    size_t basicsize;
    PyTypeObject** slot;
};
inline int import_types(std::initializer_list<TypeImport> types) {
    for (const TypeImport& t : types) {
        PyTypeObject* type = import_type(t.module, t.name, t.basicsize);
        if (!type) return -1;
        Py_XSETREF(*t.slot, type);
    }
    return 0;
}

// One-time initialisation guard of a multi-phase module.  Each module keeps
// one in static storage: the module may be created in one interpreter only
// and executed once per process.
struct ModuleGuard {
    const char* short_name;    // name used in the re-initialisation message
    int64_t interpreter = -1;  // id of the interpreter that first created it
    // The module object that was executed, set once exec succeeded.  Owned
    // for the life of the process (its state is process-wide anyway), so the
    // identity test of guarded_exec_begin never compares with a freed address
    // that a new module object might reuse.
    PyObject* module = nullptr;
};

// Py_mod_create helper: refuses a second interpreter.
BW_CORE_API PyObject* guarded_create(ModuleGuard& guard, PyObject* spec, PyModuleDef* def);
// First step of Py_mod_exec: returns 1 to go on, 0 when `module` was already
// executed (nothing to do), -1 with ImportError on a second initialisation.
BW_CORE_API int guarded_exec_begin(ModuleGuard& guard, PyObject* module);
// Last step of a successful Py_mod_exec.
inline void guarded_exec_done(ModuleGuard& guard, PyObject* module) { guard.module = Py_NewRef(module); }

BW_CORE_API PyObject* package_module_create(PyObject* spec, PyModuleDef* def);
BW_CORE_API int package_module_exec(PyObject* module);

// Definition of one of the package's extension modules: multi-phase
// initialisation guarded by a ModuleGuard, the core library initialised
// before the module's own `exec` step, which runs once per process.
//
// The modules keep their state in process globals and so declare that they
// cannot be loaded into several interpreters.  The interpreter itself then
// refuses an isolated subinterpreter ("module ... does not support loading
// in subinterpreters"); a legacy subinterpreter, which skips that check,
// reaches guarded_create and gets "Interpreter change detected ...".
//
//     bw::capi::PackageModule module_def{"brindlewick.url", "url", "URL values.", functions, exec_url};
//     PyMODINIT_FUNC PyInit_url(void) { return module_def.init(); }
struct PackageModule {
    PyModuleDef def;  // first: the interpreter hands &def back to create/exec
    ModuleGuard guard;
    int (*exec)(PyObject* module);
    PyModuleDef_Slot slots[5];

    PackageModule(const char* name, const char* short_name, const char* doc, PyMethodDef* functions,
                  int (*exec_step)(PyObject*)) noexcept
        : def{PyModuleDef_HEAD_INIT, name, doc, 0, functions, slots, nullptr, nullptr, nullptr},
          guard{short_name},
          exec(exec_step),
          slots{
              {Py_mod_create, reinterpret_cast<void*>(package_module_create)},
              {Py_mod_exec, reinterpret_cast<void*>(package_module_exec)},
              {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
              {Py_mod_gil, Py_MOD_GIL_USED},
              {0, nullptr},
          } {}

    PyObject* init() noexcept { return PyModuleDef_Init(&def); }
};
static_assert(std::is_standard_layout_v<PackageModule>, "def must sit at the start of PackageModule");

// ---- operation tables of native types (capi_vtable.cpp) -------------------
// A type publishes its native operation table as a capsule `__pyx_vtable__`
// in its own dictionary, named by the table's signature string.
// import_vtable checks that name: ImportError "<type> does not export its C
// vtable" when the type has none, TypeError "C vtable <type> has wrong
// signature (expected ..., got ...)" when the layouts differ.
BW_CORE_API int export_vtable(PyTypeObject* type, void* table, const char* signature);
BW_CORE_API int import_vtable(PyTypeObject* type, const char* signature, void** out);

}  // namespace bw::capi
