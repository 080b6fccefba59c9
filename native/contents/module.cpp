// Module brindlewick.contents: body sources and payloads of messages.
#include <Python.h>

#include "brindlewick/capi.hpp"
#include "brindlewick/fast_parse.h"
#include "contents.hpp"

namespace {

bw::capi::ModuleGuard guard{"contents"};

PyObject* create(PyObject* spec, PyModuleDef* def) { return bw::capi::guarded_create(guard, spec, def); }

int exec(PyObject* module) {
    int go = bw::capi::guarded_exec_begin(guard, module);
    if (go <= 0) return go;
    if (brindlewick_core_init() != BRINDLEWICK_OK) return -1;
    using namespace bw::contents;
    if (init_state(module) < 0 || init_aio_types(module) < 0 || init_content_types(module) < 0 ||
        init_payload_types(module) < 0 || init_server_contents(module) < 0 || init_form_types(module) < 0 ||
        init_sse_types(module) < 0 || init_form_functions(module) < 0)
        return -1;
    if (bw::contents::init_streamed_form_part(module) < 0) return -1;
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
    PyModuleDef_HEAD_INIT, "brindlewick.contents", "Body sources and payloads of HTTP messages.", 0, nullptr,
    slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_contents(void) { return PyModuleDef_Init(&def); }
