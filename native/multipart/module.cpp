// Module brindlewick._multipart: the native incremental multipart/form-data
// parser behind brindlewick.multipart.
#include <Python.h>

#include "brindlewick/capi.hpp"
#include "brindlewick/pyref.hpp"
#include "parser.hpp"

namespace {

bw::capi::ModuleGuard guard{"_multipart"};

PyObject* create(PyObject* spec, PyModuleDef* def) { return bw::capi::guarded_create(guard, spec, def); }

int exec(PyObject* module) {
    int go = bw::capi::guarded_exec_begin(guard, module);
    if (go <= 0) return go;
    bw::Ref exceptions = bw::Ref::steal(PyImport_ImportModule("brindlewick.exceptions"));
    if (!exceptions) return -1;
    PyObject* bad_request = PyObject_GetAttrString(exceptions.get(), "BadRequest");
    if (!bad_request) return -1;
    Py_XSETREF(bw::multipart::BadRequest, bad_request);
    PyObject* empty = PyBytes_FromStringAndSize(nullptr, 0);
    if (!empty) return -1;
    Py_XSETREF(bw::multipart::EmptyBytes, empty);
    if (bw::multipart::init_parser_type(module) < 0) return -1;
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
    PyModuleDef_HEAD_INIT, "brindlewick._multipart", "Incremental multipart/form-data parser.", 0, nullptr,
    slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__multipart(void) { return PyModuleDef_Init(&def); }
