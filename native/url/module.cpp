// Placeholder (being replaced): URL type and build_absolute_url.
#include <Python.h>
#include <structmember.h>
#include "brindlewick/capi.hpp"
#include "brindlewick/siblings.hpp"
using bw::siblings::URLObject;
namespace {
bw::capi::ModuleGuard guard{"url"};
PyTypeObject* URLType;
PyObject* build_absolute_url(PyObject* scheme, PyObject* host, PyObject* base_path, PyObject* path) {
    (void)scheme; (void)host; (void)base_path; (void)path;
    PyErr_SetString(PyExc_NotImplementedError, "build_absolute_url");
    return nullptr;
}
int url_init(PyObject* op, PyObject* args, PyObject*) {
    PyObject* value;
    if (!PyArg_ParseTuple(args, "S:URL", &value)) return -1;
    auto* self = reinterpret_cast<URLObject*>(op);
    Py_XSETREF(self->value, Py_NewRef(value));
    Py_XSETREF(self->path, Py_NewRef(value));
    Py_XSETREF(self->query, PyBytes_FromString(""));
    return 0;
}
void url_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<URLObject*>(op);
    PyTypeObject* tp = Py_TYPE(op);
    Py_XDECREF(self->value); Py_XDECREF(self->schema); Py_XDECREF(self->host); Py_XDECREF(self->path);
    Py_XDECREF(self->query); Py_XDECREF(self->fragment);
    tp->tp_free(op); Py_DECREF(tp);
}
PyType_Slot slots_[] = {{Py_tp_init, (void*)url_init}, {Py_tp_dealloc, (void*)url_dealloc}, {0, nullptr}};
PyType_Spec spec_ = {"brindlewick.url.URL", sizeof(URLObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots_};
PyObject* create(PyObject* spec, PyModuleDef* def) { return bw::capi::guarded_create(guard, spec, def); }
int exec(PyObject* m) {
    int go = bw::capi::guarded_exec_begin(guard, m); if (go <= 0) return go;
    URLType = (PyTypeObject*)PyType_FromModuleAndSpec(m, &spec_, nullptr);
    if (!URLType || PyModule_AddObjectRef(m, "URL", (PyObject*)URLType) < 0) return -1;
    if (bw::capi::export_function(m, "build_absolute_url", &build_absolute_url, bw::siblings::kBuildAbsoluteURLSig) < 0) return -1;
    bw::capi::guarded_exec_done(guard, m); return 0;
}
PyModuleDef_Slot mslots[] = {{Py_mod_create, (void*)create}, {Py_mod_exec, (void*)exec},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED}, {Py_mod_gil, Py_MOD_GIL_USED}, {0, nullptr}};
PyModuleDef def = {PyModuleDef_HEAD_INIT, "brindlewick.url", nullptr, 0, nullptr, mslots, nullptr, nullptr, nullptr};
}
PyMODINIT_FUNC PyInit_url(void) { return PyModuleDef_Init(&def); }
