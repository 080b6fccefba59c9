// Module brindlewick._multipart: the native incremental multipart/form-data
// parser behind brindlewick.multipart.
#include <Python.h>

#include "brindlewick/capi.hpp"
#include "brindlewick/pyref.hpp"
#include "parser.hpp"

namespace {

int exec(PyObject* module) {
    bw::Ref exceptions = bw::Ref::steal(PyImport_ImportModule("brindlewick.exceptions"));
    if (!exceptions) return -1;
    PyObject* bad_request = PyObject_GetAttrString(exceptions.get(), "BadRequest");
    if (!bad_request) return -1;
    Py_XSETREF(bw::multipart::state.bad_request, bad_request);
    PyObject* empty = PyBytes_FromStringAndSize(nullptr, 0);
    if (!empty) return -1;
    Py_XSETREF(bw::multipart::state.empty_bytes, empty);
    return bw::multipart::init_parser_type(module);
}

bw::capi::PackageModule module_def{"brindlewick._multipart", "_multipart",
                                   "Incremental multipart/form-data parser.", nullptr, exec};

}  // namespace

PyMODINIT_FUNC PyInit__multipart(void) { return module_def.init(); }
