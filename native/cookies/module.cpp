// Placeholder (being replaced): Cookie and the cookie entry points.
#include <Python.h>
#include "brindlewick/capi.hpp"
#include "brindlewick/siblings.hpp"
namespace {
bw::capi::ModuleGuard guard{"cookies"};
PyObject* not_yet1(PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "cookies"); return nullptr; }
PyObject* not_yet2(PyObject*, PyObject*) { PyErr_SetString(PyExc_NotImplementedError, "cookies"); return nullptr; }
PyType_Slot slots_[] = {{0, nullptr}};
PyType_Spec spec_ = {"brindlewick.cookies.Cookie", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots_};
PyObject* create(PyObject* spec, PyModuleDef* def) { return bw::capi::guarded_create(guard, spec, def); }
int exec(PyObject* m) {
    int go = bw::capi::guarded_exec_begin(guard, m); if (go <= 0) return go;
    PyObject* t = PyType_FromModuleAndSpec(m, &spec_, nullptr);
    if (!t || PyModule_AddObject(m, "Cookie", t) < 0) return -1;
    using namespace bw::siblings;
    if (bw::capi::export_function(m, "parse_cookie", &not_yet1, kParseCookieSig) < 0) return -1;
    if (bw::capi::export_function(m, "write_cookie_for_response", &not_yet1, kWriteCookieSig) < 0) return -1;
    if (bw::capi::export_function(m, "datetime_to_cookie_format", &not_yet1, kDatetimeToCookieFormatSig) < 0) return -1;
    if (bw::capi::export_function(m, "split_value", &not_yet2, kSplitValueSig) < 0) return -1;
    bw::capi::guarded_exec_done(guard, m); return 0;
}
PyModuleDef_Slot mslots[] = {{Py_mod_create, (void*)create}, {Py_mod_exec, (void*)exec},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED}, {Py_mod_gil, Py_MOD_GIL_USED}, {0, nullptr}};
PyModuleDef def = {PyModuleDef_HEAD_INIT, "brindlewick.cookies", nullptr, 0, nullptr, mslots, nullptr, nullptr, nullptr};
}
PyMODINIT_FUNC PyInit_cookies(void) { return PyModuleDef_Init(&def); }
