// Asynchronous reads of ASGIContent and RSGIContent.
#include <Python.h>

#include "server_reads.hpp"

namespace bw::contents {

PyObject* asgi_read(ServerContentObject*, bool) {
    PyErr_SetString(PyExc_NotImplementedError, "reading");
    return nullptr;
}
PyObject* rsgi_read(ServerContentObject*, bool) {
    PyErr_SetString(PyExc_NotImplementedError, "reading");
    return nullptr;
}
PyObject* asgi_stream(ServerContentObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "reading");
    return nullptr;
}
PyObject* rsgi_stream(ServerContentObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "reading");
    return nullptr;
}

}  // namespace bw::contents
