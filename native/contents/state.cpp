// Interned strings, imported names and small helpers shared by the module.
#include <Python.h>

#include "brindlewick/pyref.hpp"
#include "contents.hpp"

namespace bw::contents {

Strings strings = {};
Imported imported = {};

namespace {
PyObject* empty_view = nullptr;
}

PyObject* json_encoder() {
    if (!imported.json_encode) {
        Ref module = Ref::steal(PyImport_ImportModule("msgspec.json"));
        if (!module) return nullptr;
        imported.json_encode = PyObject_GetAttrString(module.get(), "encode");
        if (!imported.json_encode) return nullptr;
    }
    return Py_NewRef(imported.json_encode);
}

PyObject* empty_memoryview() { return Py_NewRef(empty_view); }

PyObject* memoryview_of(PyObject* body) {
    if (body == Py_None) return empty_memoryview();
    return PyMemoryView_FromObject(body);
}

int init_state(PyObject*) {
    struct Entry {
        PyObject** slot;
        const char* text;
    } entries[] = {
        {&strings.type, "type"},
        {&strings.body, "body"},
        {&strings.more_body, "more_body"},
        {&strings.http_request, "http.request"},
        {&strings.http_disconnect, "http.disconnect"},
        {&strings.read, "read"},
        {&strings.seek, "seek"},
        {&strings.close, "close"},
        {&strings.encode, "encode"},
        {&strings.empty_str, ""},
    };
    for (auto& e : entries) {
        PyObject* s = PyUnicode_InternFromString(e.text);
        if (!s) return -1;
        Py_XSETREF(*e.slot, s);
    }
    Py_XSETREF(strings.empty_bytes, PyBytes_FromStringAndSize("", 0));
    if (!strings.empty_bytes) return -1;
    Py_XSETREF(empty_view, PyMemoryView_FromObject(strings.empty_bytes));
    if (!empty_view) return -1;

    Ref exceptions = Ref::steal(PyImport_ImportModule("brindlewick.exceptions"));
    if (!exceptions) return -1;
    struct Name {
        PyObject** slot;
        const char* name;
    } names[] = {
        {&imported.MessageAborted, "MessageAborted"},
        {&imported.InvalidOperation, "InvalidOperation"},
        {&imported.BadRequest, "BadRequest"},
    };
    for (auto& n : names) {
        PyObject* value = PyObject_GetAttrString(exceptions.get(), n.name);
        if (!value) return -1;
        Py_XSETREF(*n.slot, value);
    }
    return 0;
}

}  // namespace bw::contents
