// Content, the base of every content class (a body held in memory), and
// StreamedContent (a body produced by an async iterable).
#include <Python.h>

#include "brindlewick/compat.hpp"
#include "brindlewick/args.hpp"
#include "brindlewick/pyref.hpp"
#include "contents.hpp"
#include "server_reads.hpp"

namespace bw::contents {

namespace {

inline ContentObject* as_content(PyObject* op) { return reinterpret_cast<ContentObject*>(op); }

// In-memory bodies own nothing but their bytes, which stay readable: a
// content object is often shared by many responses, and each response's
// reset disposes it.
int content_dispose(ContentObject* self, int skip_dispatch) {
    int result;
    if (dispose_override(self, skip_dispatch, &result)) return result;
    return 0;
}

ContentVTable content_vtable = {content_dispose};  // Content and StreamedContent

PyObject* content_new(PyTypeObject* type, PyObject*, PyObject*) { return content_new_common(type, &content_vtable); }

int content_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"content_type", "data", nullptr};
    PyObject *content_type, *data;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Content", const_cast<char**>(kw), &content_type, &data))
        return -1;
    if (!args::exact(content_type, &PyBytes_Type, "content_type")) return -1;
    if (!args::exact(data, &PyBytes_Type, "data", false)) return -1;
    auto* self = as_content(op);
    assign_field(self->type, content_type);
    assign_field(self->body, data);
    self->length = PyBytes_GET_SIZE(data);
    return 0;
}

// Content(content_type, data) of the exact type, without argument tuples;
// subclasses (whose __init__ may differ) take the ordinary path.
PyObject* content_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static const char* const names[] = {"content_type", "data"};
    static args::Signature sig{"Content", names, 2, 2};
    PyObject* a[2];
    if (!args::parse(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    if (!args::exact(a[0], &PyBytes_Type, "content_type") || !args::exact(a[1], &PyBytes_Type, "data", false))
        return nullptr;
    auto* self = as_content(content_new_common(reinterpret_cast<PyTypeObject*>(type), &content_vtable));
    if (!self) return nullptr;
    assign_field(self->type, a[0]);
    assign_field(self->body, a[1]);
    self->length = PyBytes_GET_SIZE(a[1]);
    return reinterpret_cast<PyObject*>(self);
}

int content_bool(PyObject*) { return 1; }

PyObject* py_dispose(PyObject* op, PyObject*) {
    // The native entry of the object's own class, without dispatch: this is
    // what `super().dispose()` in a Python override reaches.
    if (as_content(op)->vtab->dispose(as_content(op), 1) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* py_read(PyObject* op, PyObject*) { return ready(as_content(op)->body); }

PyObject* py_stream(PyObject* op, PyObject*) { return yield_once(as_content(op)->body); }

PyObject* extra_state(PyObject* op);

PyObject* py_reduce(PyObject* op, PyObject*) {
    auto* self = as_content(op);
    Ref extra = Ref::steal(extra_state(op));
    if (!extra) return nullptr;
    PyObject* dict = nullptr;
    if (Py_TYPE(op)->tp_dictoffset != 0 || (Py_TYPE(op)->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
        dict = PyObject_GenericGetDict(op, nullptr);
        if (!dict) return nullptr;
    }
    Ref attrs = Ref::steal(dict ? dict : Py_NewRef(Py_None));
    Ref length = Ref::steal(PyLong_FromSsize_t(self->length));
    if (!length) return nullptr;
    return Py_BuildValue("O(OOOOOO)", state.restore_function, reinterpret_cast<PyObject*>(Py_TYPE(op)), self->type,
                         self->body, length.get(), extra.get(), attrs.get());
}

PyMethodDef content_methods[] = {
    {"dispose", py_dispose, METH_NOARGS, "dispose() -> None: releases what the content holds; idempotent."},
    {"read", py_read, METH_NOARGS, "read() -> awaitable of the body."},
    {"stream", py_stream, METH_NOARGS, "stream() -> async iterator yielding the body once."},
    {"get_parts", py_stream, METH_NOARGS, "get_parts() -> async iterator yielding the body once."},
    {"__reduce__", py_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_type(PyObject* op, void*) { return Py_NewRef(as_content(op)->type); }
PyObject* get_body(PyObject* op, void*) { return Py_NewRef(as_content(op)->body); }
PyObject* get_length(PyObject* op, void*) { return PyLong_FromSsize_t(as_content(op)->length); }

int set_type(PyObject* op, PyObject* value, void*) {
    if (!value) value = Py_None;
    if (!args::expect_exact(value, &PyBytes_Type)) return -1;
    assign_field(as_content(op)->type, value);
    return 0;
}

int set_body(PyObject* op, PyObject* value, void*) {
    assign_field(as_content(op)->body, value ? value : Py_None);
    return 0;
}

int set_length(PyObject* op, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "cannot delete length");
        return -1;
    }
    if (!PyLong_Check(value)) return args::raise_expected("int", value) ? 0 : -1;
    Py_ssize_t n = PyLong_AsSsize_t(value);
    if (n == -1 && PyErr_Occurred()) return -1;
    as_content(op)->length = n;
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
    {BW_tp_vectorcall, reinterpret_cast<void*>(content_vectorcall)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ContentFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(ContentFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(ContentFields::clear)},
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
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    content_slots,
};

// ---- StreamedContent ---------------------------------------------------------

inline StreamedContentObject* as_streamed(PyObject* op) { return reinterpret_cast<StreamedContentObject*>(op); }

PyObject* streamed_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* op = content_new_common(type, &content_vtable);
    if (op) as_streamed(op)->data_provider = Py_NewRef(Py_None);
    return op;
}

int streamed_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"content_type", "data_provider", "data_length", nullptr};
    PyObject *content_type, *provider, *length_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:StreamedContent", const_cast<char**>(kw), &content_type,
                                     &provider, &length_obj))
        return -1;
    if (!args::exact(content_type, &PyBytes_Type, "content_type")) return -1;
    if (!PyCallable_Check(provider)) return args::raise_arg_type("data_provider", "callable", provider) ? 0 : -1;
    Py_ssize_t length = -1;
    if (length_obj && length_obj != Py_None) {
        if (!PyLong_Check(length_obj)) return args::raise_arg_type("data_length", "int", length_obj) ? 0 : -1;
        length = PyLong_AsSsize_t(length_obj);
        if (length == -1 && PyErr_Occurred()) return -1;
        if (length < 0) length = -1;
    }
    auto* self = as_streamed(op);
    assign_field(self->type, content_type);
    assign_field(self->body, Py_None);
    assign_field(self->data_provider, provider);
    self->length = length;
    return 0;
}

using StreamedFields = ObjectFields<StreamedContentObject, &StreamedContentObject::data_provider,
                                    &StreamedContentObject::type, &StreamedContentObject::body>;

// get_parts() and stream(): the provider's async iterable, iterated as it is.
PyObject* streamed_stream(PyObject* op, PyObject*) {
    // Held for the call: the provider may re-initialise the content.
    Ref provider = Ref::borrow(as_streamed(op)->data_provider);
    if (provider.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "StreamedContent has no data_provider");
        return nullptr;
    }
    Ref iterable = Ref::steal(PyObject_CallNoArgs(provider.get()));
    if (!iterable) return nullptr;
    PyTypeObject* t = Py_TYPE(iterable.get());
    if (!t->tp_as_async || !t->tp_as_async->am_aiter) {
        PyErr_Format(PyExc_TypeError, "data_provider() must return an async iterable, got %.200s", t->tp_name);
        return nullptr;
    }
    return t->tp_as_async->am_aiter(iterable.get());
}

PyObject* get_data_provider(PyObject* op, void*) { return Py_NewRef(as_streamed(op)->data_provider); }

PyGetSetDef streamed_getset[] = {
    {"data_provider", get_data_provider, nullptr, "The callable that returns the async iterable of the body.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* streamed_read_method(PyObject* op, PyObject*) { return streamed_read(op, false); }

PyMethodDef streamed_methods[] = {
    {"read", streamed_read_method, METH_NOARGS, "read() -> awaitable of the provider's pieces joined."},
    {"stream", streamed_stream, METH_NOARGS, "stream() -> async iterator over the pieces of data_provider()."},
    {"get_parts", streamed_stream, METH_NOARGS, "get_parts() -> async iterator over the pieces of data_provider()."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot streamed_slots[] = {
    {Py_tp_methods, streamed_methods},
    {Py_tp_new, reinterpret_cast<void*>(streamed_new)},
    {Py_tp_init, reinterpret_cast<void*>(streamed_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(StreamedFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(StreamedFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(StreamedFields::clear)},
    {Py_tp_getset, streamed_getset},
    {Py_tp_doc, const_cast<char*>("StreamedContent(content_type: bytes, data_provider, data_length: int = -1): "
                                  "a body produced by data_provider(), an async iterable of bytes.")},
    {0, nullptr},
};

PyType_Spec streamed_spec = {
    "brindlewick.contents.StreamedContent",
    sizeof(StreamedContentObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    streamed_slots,
};

// ---- pickling ------------------------------------------------------------------

PyObject* extra_state(PyObject* op) {
    if (PyObject_TypeCheck(op, state.streamed_content_type)) return Py_NewRef(as_streamed(op)->data_provider);
    if (PyObject_TypeCheck(op, state.asgi_content_type) || PyObject_TypeCheck(op, state.rsgi_content_type)) {
        PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object: it reads from a live connection",
                     Py_TYPE(op)->tp_name);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* py_restore_content(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 6) return args::raise_count("_restore_content", 6, 6, nargs), nullptr;
    PyObject* cls = args[0];
    if (!PyType_Check(cls) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), state.content_type))
        return args::raise_arg_type("cls", "type[Content]", cls), nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (PyType_IsSubtype(type, state.asgi_content_type) || PyType_IsSubtype(type, state.rsgi_content_type)) {
        PyErr_Format(PyExc_TypeError, "cannot unpickle '%.200s' object", type->tp_name);
        return nullptr;
    }
    if (!args::exact(args[1], &PyBytes_Type, "content_type")) return nullptr;
    if (!PyLong_Check(args[3])) return args::raise_arg_type("length", "int", args[3]), nullptr;
    Py_ssize_t length = PyLong_AsSsize_t(args[3]);
    if (length == -1 && PyErr_Occurred()) return nullptr;
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) return nullptr;
    Ref obj = Ref::steal(type->tp_new(type, empty.get(), nullptr));
    if (!obj) return nullptr;
    auto* self = as_content(obj.get());
    assign_field(self->type, args[1]);
    assign_field(self->body, args[2]);
    self->length = length;
    if (PyType_IsSubtype(type, state.streamed_content_type)) assign_field(as_streamed(obj.get())->data_provider, args[4]);
    PyObject* attrs = args[5];
    if (attrs != Py_None) {
        if (!PyDict_Check(attrs)) return args::raise_arg_type("state", "dict", attrs), nullptr;
        // Each key and value is held across the store, whose hashing and
        // __setattr__ may change the state dict; the walk itself tolerates
        // that (PyDict_Next re-reads the table on every step).
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(attrs, &pos, &key, &value)) {
            Ref k = Ref::borrow(key), v = Ref::borrow(value);
            if (PyObject_SetAttr(obj.get(), k.get(), v.get()) < 0) return nullptr;
        }
    }
    return obj.release();
}

PyMethodDef module_functions[] = {
    {"_restore_content", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(py_restore_content)), METH_FASTCALL,
     "Rebuilds a pickled content object."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// ---- shared by the content classes --------------------------------------------

PyObject* content_new_common(PyTypeObject* type, ContentVTable* vtab) {
    auto* self = reinterpret_cast<ContentObject*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->vtab = vtab;
    self->type = Py_NewRef(Py_None);
    self->body = Py_NewRef(Py_None);
    self->length = -1;
    return reinterpret_cast<PyObject*>(self);
}

int dispose_override(ContentObject* self, int skip_dispatch, int* result) {
    if (skip_dispatch || !state.content_overrides.overridden(reinterpret_cast<PyObject*>(self), kDispose)) return 0;
    Ref r = Ref::steal(state.content_overrides.call(reinterpret_cast<PyObject*>(self), kDispose, nullptr, 0));
    *result = r ? 0 : -1;
    return 1;
}

int add_native_content_type(PyTypeObject* type) { return state.content_overrides.add_native_type(type); }

int init_content_types(PyObject* module) {
    PyObject* type = bw::type_from_spec(module, &content_spec, nullptr);
    if (!type) return -1;
    Py_XSETREF(state.content_type, reinterpret_cast<PyTypeObject*>(type));
    if (state.content_overrides.bind(state.content_type) < 0) return -1;
    if (PyModule_AddObjectRef(module, "Content", type) < 0) return -1;

    type = bw::type_from_spec(module, &streamed_spec, reinterpret_cast<PyObject*>(state.content_type));
    if (!type) return -1;
    Py_XSETREF(state.streamed_content_type, reinterpret_cast<PyTypeObject*>(type));
    if (state.content_overrides.add_native_type(state.streamed_content_type) < 0) return -1;
    if (PyModule_AddObjectRef(module, "StreamedContent", type) < 0) return -1;

    if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
    PyObject* restore = PyObject_GetAttrString(module, "_restore_content");
    if (!restore) return -1;
    Py_XSETREF(state.restore_function, restore);
    return 0;
}

}  // namespace bw::contents
