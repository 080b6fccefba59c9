// Content: a body held in memory, and the base of every content class.
#include <Python.h>

#include "brindlewick/args.hpp"
#include "brindlewick/overrides.hpp"
#include "brindlewick/pyref.hpp"
#include "contents.hpp"

namespace bw::contents {

using siblings::ContentObject;
using siblings::ContentVTable;

PyTypeObject* ContentType = nullptr;

namespace {

const char* const kOverridable[] = {"dispose"};
OverrideTable overrides(kOverridable, 1);
enum { kDispose = 0 };

int content_dispose(ContentObject* self, int skip_dispatch) {
    if (!skip_dispatch && overrides.overridden(reinterpret_cast<PyObject*>(self), kDispose)) {
        Ref r = Ref::steal(overrides.call(reinterpret_cast<PyObject*>(self), kDispose, nullptr, 0));
        return r ? 0 : -1;
    }
    // An in-memory body owns nothing beyond its bytes, which stay readable.
    return 0;
}

ContentVTable content_vtable = {content_dispose};

PyObject* content_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = reinterpret_cast<ContentObject*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->vtab = &content_vtable;
    self->type = Py_NewRef(Py_None);
    self->body = Py_NewRef(Py_None);
    self->length = -1;
    return reinterpret_cast<PyObject*>(self);
}

int content_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"content_type", "data", nullptr};
    PyObject *content_type, *data;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Content", const_cast<char**>(kw), &content_type, &data))
        return -1;
    if (!args::exact(content_type, &PyBytes_Type, "content_type")) return -1;
    if (!args::exact(data, &PyBytes_Type, "data", false)) return -1;
    auto* self = reinterpret_cast<ContentObject*>(op);
    assign_field(self->type, content_type);
    assign_field(self->body, data);
    self->length = PyBytes_GET_SIZE(data);
    return 0;
}

int content_traverse(PyObject* op, visitproc visit, void* arg) {
    auto* self = reinterpret_cast<ContentObject*>(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->type);
    Py_VISIT(self->body);
    return 0;
}

int content_clear(PyObject* op) {
    auto* self = reinterpret_cast<ContentObject*>(op);
    Py_CLEAR(self->type);
    Py_CLEAR(self->body);
    return 0;
}

void content_dealloc(PyObject* op) {
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    content_clear(op);
    type->tp_free(op);
    Py_DECREF(type);
}

int content_bool(PyObject*) { return 1; }

PyObject* py_dispose(PyObject* op, PyObject*) {
    if (content_dispose(reinterpret_cast<ContentObject*>(op), 1) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef content_methods[] = {
    {"dispose", py_dispose, METH_NOARGS, "Releases what the content holds; safe to call more than once."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_type(PyObject* op, void*) { return Py_NewRef(reinterpret_cast<ContentObject*>(op)->type); }
PyObject* get_body(PyObject* op, void*) { return Py_NewRef(reinterpret_cast<ContentObject*>(op)->body); }
PyObject* get_length(PyObject* op, void*) { return PyLong_FromSsize_t(reinterpret_cast<ContentObject*>(op)->length); }

int set_type(PyObject* op, PyObject* value, void*) {
    if (!value) value = Py_None;
    if (!args::expect_exact(value, &PyBytes_Type)) return -1;
    assign_field(reinterpret_cast<ContentObject*>(op)->type, value);
    return 0;
}

int set_body(PyObject* op, PyObject* value, void*) {
    assign_field(reinterpret_cast<ContentObject*>(op)->body, value ? value : Py_None);
    return 0;
}

int set_length(PyObject* op, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "cannot delete length");
        return -1;
    }
    Py_ssize_t n = PyLong_AsSsize_t(value);
    if (n == -1 && PyErr_Occurred()) return -1;
    reinterpret_cast<ContentObject*>(op)->length = n;
    return 0;
}

PyGetSetDef content_getset[] = {
    {"type", get_type, set_type, "Declared media type (bytes or None).", nullptr},
    {"body", get_body, set_body, "The body, when held in memory.", nullptr},
    {"length", get_length, set_length, "Body length in bytes; negative when not known in advance.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot content_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(content_new)},
    {Py_tp_init, reinterpret_cast<void*>(content_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(content_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(content_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(content_clear)},
    {Py_tp_methods, content_methods},
    {Py_tp_getset, content_getset},
    {Py_nb_bool, reinterpret_cast<void*>(content_bool)},
    {Py_tp_doc, const_cast<char*>("Content(content_type: bytes, data: bytes): a body held in memory.")},
    {0, nullptr},
};

PyType_Spec content_spec = {
    "brindlewick.contents.Content",
    sizeof(ContentObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    content_slots,
};

}  // namespace

int init_content_types(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &content_spec, nullptr);
    if (!type) return -1;
    Py_XSETREF(ContentType, reinterpret_cast<PyTypeObject*>(type));
    if (overrides.bind(ContentType) < 0) return -1;
    return PyModule_AddObjectRef(module, "Content", type);
}

}  // namespace bw::contents
