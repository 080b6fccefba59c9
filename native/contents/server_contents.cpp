// ASGIContent and RSGIContent: request bodies read from the server.
//
// Both keep the whole body once a read() has pulled it in, so that later
// reads, read_buffer() and stream() serve it again without touching the
// server.  stream() on a body not yet read hands chunks out as they arrive
// and keeps none of them; a whole-body read after that refuses with
// InvalidOperation instead of returning a truncated body.
#include <Python.h>

#include "brindlewick/compat.hpp"
#include "brindlewick/args.hpp"
#include "brindlewick/capi.hpp"
#include "brindlewick/pyref.hpp"
#include "contents.hpp"
#include "server_reads.hpp"

namespace bw::contents {

namespace {

inline ServerContentObject* as_server(PyObject* op) { return reinterpret_cast<ServerContentObject*>(op); }

int server_dispose(ContentObject* op, int skip_dispatch) {
    int result;
    if (dispose_override(op, skip_dispatch, &result)) return result;
    auto* self = reinterpret_cast<ServerContentObject*>(op);
    if (self->state == kBodyDisposed) return 0;
    self->state = kBodyDisposed;
    // The body may be a view of server memory that is valid only for the
    // exchange: let go of it together with the channel.
    assign_field(self->source, Py_None);
    assign_field(self->parts, Py_None);
    assign_field(self->body, Py_None);
    return 0;
}

ContentVTable asgi_vtable = {server_dispose};
ContentVTable rsgi_vtable = {server_dispose};

PyObject* server_new(PyTypeObject* type, ContentVTable* vtab) {
    PyObject* op = content_new_common(type, vtab);
    if (!op) return nullptr;
    auto* self = as_server(op);
    self->source = Py_NewRef(Py_None);
    self->parts = Py_NewRef(Py_None);
    self->state = kBodyPending;
    self->busy = 0;
    self->declared = -1;
    self->limit = -1;
    return op;
}

PyObject* asgi_new(PyTypeObject* type, PyObject*, PyObject*) { return server_new(type, &asgi_vtable); }
PyObject* rsgi_new(PyTypeObject* type, PyObject*, PyObject*) { return server_new(type, &rsgi_vtable); }

void bind_source(ServerContentObject* self, PyObject* source) {
    assign_field(self->source, source);
    assign_field(self->parts, Py_None);
    assign_field(self->body, Py_None);
    self->length = -1;
    self->state = kBodyPending;
    self->declared = -1;
    self->limit = -1;
}

// ASGIContent(receive) / RSGIContent(protocol) of the exact type, without
// argument tuples (tp_vectorcall is not inherited by subclasses).
PyObject* server_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                            args::Signature& sig, ContentVTable* vtab) {
    PyObject* source;
    if (!args::parse(sig, args, PyVectorcall_NARGS(nargsf), kwnames, &source)) return nullptr;
    if (!PyCallable_Check(source)) return args::raise_arg_type(sig.names[0], "callable", source), nullptr;
    PyObject* op = server_new(reinterpret_cast<PyTypeObject*>(type), vtab);
    if (op) bind_source(as_server(op), source);
    return op;
}

PyObject* asgi_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static const char* const names[] = {"receive"};
    static args::Signature sig{"ASGIContent", names, 1, 1};
    return server_vectorcall(type, args, nargsf, kwnames, sig, &asgi_vtable);
}

PyObject* rsgi_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static const char* const names[] = {"protocol"};
    static args::Signature sig{"RSGIContent", names, 1, 1};
    return server_vectorcall(type, args, nargsf, kwnames, sig, &rsgi_vtable);
}

int server_init(PyObject* op, PyObject* args, PyObject* kwargs, const char* format, const char* name) {
    const char* kw[] = {name, nullptr};
    PyObject* source;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kw), &source)) return -1;
    if (!PyCallable_Check(source)) return args::raise_arg_type(name, "callable", source) ? 0 : -1;
    bind_source(as_server(op), source);
    return 0;
}

int asgi_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    return server_init(op, args, kwargs, "O:ASGIContent", "receive");
}

int rsgi_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    return server_init(op, args, kwargs, "O:RSGIContent", "protocol");
}

using ServerFields = ObjectFields<ServerContentObject, &ServerContentObject::source, &ServerContentObject::parts,
                                  &ServerContentObject::type, &ServerContentObject::body>;

bool is_rsgi(PyObject* op) { return as_server(op)->vtab == &rsgi_vtable; }

PyObject* py_read(PyObject* op, PyObject*) {
    auto* self = as_server(op);
    if (self->state == kBodyComplete) return ready(self->body);
    return is_rsgi(op) ? rsgi_read(self, false) : asgi_read(self, false);
}

PyObject* py_read_buffer(PyObject* op, PyObject*) {
    auto* self = as_server(op);
    if (self->state == kBodyComplete) {
        Ref view = Ref::steal(memoryview_of(self->body));
        if (!view) return nullptr;
        return ready(view.get());
    }
    return is_rsgi(op) ? rsgi_read(self, true) : asgi_read(self, true);
}

PyObject* py_stream(PyObject* op, PyObject*) {
    auto* self = as_server(op);
    if (self->state == kBodyComplete) {
        // `body` may have been replaced by any object: its length is Python
        // code, and the body is read again once it has run.
        Ref body = Ref::borrow(self->body);
        Py_ssize_t n = PyObject_Length(body.get());
        if (n < 0) return nullptr;
        return yield_once(n > 0 ? body.get() : Py_None);
    }
    return is_rsgi(op) ? rsgi_stream(self) : asgi_stream(self);
}

PyObject* get_data(PyObject* op, void*) { return Py_NewRef(as_server(op)->body); }
PyObject* get_source(PyObject* op, void*) { return Py_NewRef(as_server(op)->source); }
PyObject* get_body_buffer(PyObject* op, void*) { return memoryview_of(as_server(op)->body); }
PyObject* get_complete(PyObject* op, void*) { return bool_ref(as_server(op)->state == kBodyComplete); }

// Only the RSGI body offers read_buffer(): message readers look the method up
// and otherwise build the view from read(), which honours a Python override
// of read() in a subclass.
PyMethodDef asgi_methods[] = {
    {"read", py_read, METH_NOARGS, "read() -> awaitable of the whole body (bytes), read once and kept."},
    {"stream", py_stream, METH_NOARGS, "stream() -> async iterator over the body chunks as they arrive."},
    {"get_parts", py_stream, METH_NOARGS, "get_parts() -> the same as stream()."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef rsgi_methods[] = {
    {"read", py_read, METH_NOARGS, "read() -> awaitable of the whole body, read once and kept."},
    {"read_buffer", py_read_buffer, METH_NOARGS, "read_buffer() -> awaitable of a memoryview of the whole body."},
    {"stream", py_stream, METH_NOARGS, "stream() -> async iterator over the body chunks as they arrive."},
    {"get_parts", py_stream, METH_NOARGS, "get_parts() -> the same as stream()."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef asgi_getset[] = {
    {"_data", get_data, nullptr, "The whole body once read, else None.", nullptr},
    {"receive", get_source, nullptr, "The ASGI receive callable (None once disposed).", nullptr},
    {"complete", get_complete, nullptr, "Whether the whole body has been read and is kept.", nullptr},
    {"body_buffer", get_body_buffer, nullptr, "A memoryview of the body once read (empty before).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef rsgi_getset[] = {
    {"_data", get_data, nullptr, "The whole body once read, else None.", nullptr},
    {"protocol", get_source, nullptr, "The RSGI protocol object (None once disposed).", nullptr},
    {"complete", get_complete, nullptr, "Whether the whole body has been read and is kept.", nullptr},
    {"body_buffer", get_body_buffer, nullptr, "A memoryview of the body once read (empty before).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot asgi_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(asgi_new)},
    {Py_tp_init, reinterpret_cast<void*>(asgi_init)},
    {BW_tp_vectorcall, reinterpret_cast<void*>(asgi_vectorcall)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ServerFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(ServerFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(ServerFields::clear)},
    {Py_tp_methods, asgi_methods},
    {Py_tp_getset, asgi_getset},
    {Py_tp_doc, const_cast<char*>("ASGIContent(receive): a request body read from an ASGI receive channel.")},
    {0, nullptr},
};

PyType_Slot rsgi_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(rsgi_new)},
    {Py_tp_init, reinterpret_cast<void*>(rsgi_init)},
    {BW_tp_vectorcall, reinterpret_cast<void*>(rsgi_vectorcall)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ServerFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(ServerFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(ServerFields::clear)},
    {Py_tp_methods, rsgi_methods},
    {Py_tp_getset, rsgi_getset},
    {Py_tp_doc, const_cast<char*>("RSGIContent(protocol): a request body read through an RSGI protocol object.")},
    {0, nullptr},
};

PyType_Spec asgi_spec = {
    "brindlewick.contents.ASGIContent",
    sizeof(ServerContentObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    asgi_slots,
};

PyType_Spec rsgi_spec = {
    "brindlewick.contents.RSGIContent",
    sizeof(ServerContentObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    rsgi_slots,
};

// The limits of the next read, from the message that reads the body.  A read
// in progress keeps its own (a second read is refused anyway), and a body
// refused as too large keeps the limit it was refused at, for the message
// that every later read repeats.
int limit_server_body(PyObject* content, Py_ssize_t declared, Py_ssize_t limit) {
    if (!PyObject_TypeCheck(content, state.asgi_content_type) && !PyObject_TypeCheck(content, state.rsgi_content_type))
        return 0;
    auto* self = as_server(content);
    if (self->busy || self->state == kBodyTooLarge) return 1;
    self->declared = declared;
    self->limit = limit;
    if (limit >= 0 && declared > limit && (self->state == kBodyPending || self->state == kBodyPartial)) {
        raise_too_large(limit);
        return -1;
    }
    return 1;
}

}  // namespace

int init_server_contents(PyObject* module) {
    PyObject* base = reinterpret_cast<PyObject*>(state.content_type);
    PyObject* t = bw::type_from_spec(module, &asgi_spec, base);
    if (!t) return -1;
    Py_XSETREF(state.asgi_content_type, reinterpret_cast<PyTypeObject*>(t));
    if (add_native_content_type(state.asgi_content_type) < 0) return -1;
    if (PyModule_AddObjectRef(module, "ASGIContent", t) < 0) return -1;
    t = bw::type_from_spec(module, &rsgi_spec, base);
    if (!t) return -1;
    Py_XSETREF(state.rsgi_content_type, reinterpret_cast<PyTypeObject*>(t));
    if (add_native_content_type(state.rsgi_content_type) < 0) return -1;
    if (PyModule_AddObjectRef(module, "RSGIContent", t) < 0) return -1;
    return capi::export_function(module, "limit_server_body", &limit_server_body, siblings::kLimitServerBodySig);
}

}  // namespace bw::contents
