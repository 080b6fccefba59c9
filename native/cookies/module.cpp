// Module brindlewick.cookies: the Cookie type and set-cookie reading and writing.
#include <Python.h>

#include "brindlewick/capi.hpp"
#include "cookies.hpp"

namespace {

bw::capi::ModuleGuard guard{"cookies"};

PyObject* create(PyObject* spec, PyModuleDef* def) { return bw::capi::guarded_create(guard, spec, def); }

int exec(PyObject* module) {
    int go = bw::capi::guarded_exec_begin(guard, module);
    if (go <= 0) return go;
    if (bw::cookies::init_datetime() < 0) return -1;
    if (bw::cookies::init_cookie_type(module) < 0) return -1;
    if (bw::cookies::init_functions(module) < 0) return -1;
    bw::capi::guarded_exec_done(guard, module);
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef def = {
    PyModuleDef_HEAD_INIT, "brindlewick.cookies", "HTTP cookies: the Cookie type and set-cookie values.", 0,
    nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_cookies(void) { return PyModuleDef_Init(&def); }
