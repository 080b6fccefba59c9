// The Request type: fields and their typed attributes, construction
// (allocation, __init__, incoming), reset and dispose, the scratch arena,
// expect_100_continue, etag/if_none_match, the disconnection probe, repr and
// the refusal to pickle.  The computed URL/host/client properties live in
// request_url.cpp, cookies in request_cookies.cpp, session/user/identity in
// request_identity.cpp.
#include <Python.h>

#include <cstring>
#include <utility>

#include "brindlewick/args.hpp"
#include "brindlewick/capi.hpp"
#include "brindlewick/compat.hpp"
#include "brindlewick/coro.hpp"
#include "brindlewick/fast_parse.h"
#include "brindlewick/pyref.hpp"
#include "request_core.hpp"

namespace bw::messages {

using coro::Root;
using coro::Task;
using siblings::ContentObject;

namespace {

const char* const kOverridable[kRequestSlotCount] = {
    "expect_100_continue", "reset", "identity", "user", "client_ip",
};

constexpr size_t kArenaCapacity = 65536;

}  // namespace

OverrideTable request_overrides(kOverridable, kRequestSlotCount);

// ---- construction -------------------------------------------------------------

PyObject* request_alloc(PyTypeObject* type) {
    // tp_alloc zeroes the object: the arena record is blank and the flag 0.
    PyObject* op = message_alloc(type, &request_vtable.base);
    if (!op) return nullptr;
    RequestObject* self = as_request(op);
    for (PyObject** field : {&self->method, &self->_url, &self->_path, &self->_raw_query, &self->route_values,
                             &self->scope, &self->_user, &self->_di_scope, &self->state, &self->_session,
                             &self->_base_path, &self->_original_client_ip, &self->_host, &self->_scheme,
                             &self->_context, &self->services, &self->_is_disconnected, &self->_decoded_path,
                             &self->_client})
        *field = Py_NewRef(Py_None);
    return op;
}

PyObject* intern_method_str(PyObject* method) {
    if (method == Py_None) return Py_NewRef(method);
    Py_ssize_t length;
    const char* data = PyUnicode_AsUTF8AndSize(method, &length);
    if (!data) return nullptr;
    if (length > 0) {
        PyObject* shared = get_interned_method_str(data, length);
        if (shared) return Py_NewRef(shared);
    }
    return Py_NewRef(method);
}

int request_init_fields(RequestObject* self, PyObject* method, PyObject* url, PyObject* headers) {
    // The URL first: when it does not parse, nothing has been replaced yet.
    Ref parsed;
    if (url != Py_None && PyBytes_GET_SIZE(url) > 0) {
        parsed = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(state.URL), url));
        if (!parsed) return -1;
    }
    PyObject* raw = build_raw_headers(headers);
    if (!raw) return -1;
    assign_field_steal(self->_raw_headers, raw);
    PyObject* interned = intern_method_str(method);
    if (!interned) return -1;
    assign_field_steal(self->method, interned);
    assign_field(self->_url, parsed ? parsed.get() : Py_None);
    assign_field(self->_session, Py_None);
    if (parsed) {
        int truthy = PyObject_IsTrue(parsed.get());
        if (truthy < 0) return -1;
        if (truthy) {
            auto* u = reinterpret_cast<siblings::URLObject*>(parsed.get());
            assign_field(self->_path, u->path);
            assign_field(self->_raw_query, u->query);
        }
    }
    return 0;
}

namespace {

const char* const kInitNames[] = {"method", "url", "headers"};
args::Signature init_sig{"__init__", kInitNames, 3, 3};

bool check_init_args(PyObject* const* a) {
    return args::exact(a[0], &PyUnicode_Type, "method") && args::exact(a[1], &PyBytes_Type, "url") &&
           args::exact(a[2], &PyList_Type, "headers");
}

PyObject* request_new(PyTypeObject* type, PyObject*, PyObject*) { return request_alloc(type); }

// tp_init of a classic call (subclasses): the tuple and dict laid out as a
// fast call for the shared parser.
int request_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nargs + nkw > 3) return args::raise_count("__init__", 3, 3, nargs), -1;
    PyObject* stack[3];
    for (Py_ssize_t i = 0; i < nargs; i++) stack[i] = PyTuple_GET_ITEM(args, i);
    Ref kwnames;
    if (nkw) {
        kwnames = Ref::steal(PyTuple_New(nkw));
        if (!kwnames) return -1;
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
            stack[nargs + k++] = value;
        }
    }
    PyObject* a[3];
    if (!args::parse(init_sig, stack, nargs, kwnames.get(), a) || !check_init_args(a)) return -1;
    return request_init_fields(as_request(op), a[0], a[1], a[2]);
}

// Request(method, url, headers) of the exact type, without tuple and dict.
PyObject* request_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* a[3];
    if (!args::parse(init_sig, args, PyVectorcall_NARGS(nargsf), kwnames, a) || !check_init_args(a))
        return nullptr;
    Ref self = Ref::steal(request_alloc(reinterpret_cast<PyTypeObject*>(type)));
    if (!self || request_init_fields(as_request(self.get()), a[0], a[1], a[2]) < 0) return nullptr;
    return self.release();
}

}  // namespace

PyObject* request_incoming(PyTypeObject* cls, PyObject* method, PyObject* path, PyObject* query,
                           PyObject* headers) {
    if (cls == state.RequestType) {
        Ref self = Ref::steal(request_alloc(cls));
        if (!self) return nullptr;
        RequestObject* r = as_request(self.get());
        if (request_init_fields(r, method, Py_None, headers) < 0) return nullptr;
        assign_field(r->_path, path);
        assign_field(r->_raw_query, query);
        return self.release();
    }
    PyObject* call_args[3] = {method, Py_None, headers};
    Ref self = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(cls), call_args, 3, nullptr));
    if (!self) return nullptr;
    if (PyObject_SetAttr(self.get(), state.str__path, path) < 0 ||
        PyObject_SetAttr(self.get(), state.str__raw_query, query) < 0)
        return nullptr;
    return self.release();
}

namespace {

PyObject* py_incoming(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"method", "path", "query", "headers"};
    static args::Signature sig{"incoming", names, 4, 4};
    PyObject* a[4];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    if (!args::exact(a[0], &PyUnicode_Type, "method") || !args::exact(a[1], &PyBytes_Type, "path") ||
        !args::exact(a[2], &PyBytes_Type, "query") || !args::exact(a[3], &PyList_Type, "headers"))
        return nullptr;
    return request_incoming(reinterpret_cast<PyTypeObject*>(cls), a[0], a[1], a[2], a[3]);
}

// ---- plain attributes -----------------------------------------------------------

template <PyObject* RequestObject::*F>
PyObject* get_field(PyObject* op, void*) {
    return Py_NewRef(as_request(op)->*F);
}

template <PyObject* RequestObject::*F>
int set_any(PyObject* op, PyObject* value, void*) {
    assign_field(as_request(op)->*F, value ? value : Py_None);
    return 0;
}

// str or None (exactly); deletion stores None.
template <PyObject* RequestObject::*F>
int set_str(PyObject* op, PyObject* value, void*) {
    if (!value) value = Py_None;
    if (!args::expect_exact(value, &PyUnicode_Type)) return -1;
    assign_field(as_request(op)->*F, value);
    return 0;
}

template <PyObject* RequestObject::*F>
int set_bytes(PyObject* op, PyObject* value, void*) {
    if (!value) value = Py_None;
    if (!args::expect_exact(value, &PyBytes_Type)) return -1;
    assign_field(as_request(op)->*F, value);
    return 0;
}

int set__url(PyObject* op, PyObject* value, void*) {
    if (!value) value = Py_None;
    if (value != Py_None && !PyObject_TypeCheck(value, state.URL)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(value)->tp_name, state.URL->tp_name);
        return -1;
    }
    assign_field(as_request(op)->_url, value);
    return 0;
}

#define BW_ANY(name, doc) {#name, get_field<&RequestObject::name>, set_any<&RequestObject::name>, doc, nullptr}
#define BW_STR(name, doc) {#name, get_field<&RequestObject::name>, set_str<&RequestObject::name>, doc, nullptr}
#define BW_BYTES(name, doc) {#name, get_field<&RequestObject::name>, set_bytes<&RequestObject::name>, doc, nullptr}

// ---- request-level operations ----------------------------------------------------

PyObject* first_header(RequestObject* self, PyObject* name) {
    return self->vtab->get_first_header(self, name, 0);
}

PyObject* get_etag(PyObject* op, void*) { return first_header(as_request(op), state.h_etag); }
PyObject* get_if_none_match(PyObject* op, void*) { return first_header(as_request(op), state.h_if_none_match); }

PyGetSetDef own_getset[] = {
    BW_STR(method, "HTTP method (str or None)."),
    {"_url", get_field<&RequestObject::_url>, set__url, "Parsed request URL, built lazily (URL or None).", nullptr},
    BW_BYTES(_path, "Raw request path (bytes or None)."),
    BW_BYTES(_raw_query, "Raw query string without the '?' (bytes or None)."),
    BW_ANY(route_values, "Values captured by the router."),
    BW_ANY(scope, "Server scope."),
    BW_ANY(_user, "Authenticated identity, created on first read of `user`."),
    BW_ANY(_di_scope, "Dependency-injection scope."),
    BW_ANY(state, "Free per-request state."),
    BW_ANY(_session, "Session object, or None when sessions are not configured."),
    BW_STR(_base_path, "Override of base_path (str or None)."),
    BW_STR(_original_client_ip, "Override of original_client_ip (str or None)."),
    BW_STR(_host, "Cache and override of host (str or None)."),
    BW_STR(_scheme, "Override of scheme (str or None)."),
    BW_ANY(_context, "Per-request context slot; reset() leaves it alone."),
    BW_ANY(services, "Service provider of the request."),
    BW_ANY(_is_disconnected, "Disconnection flag of is_disconnected() (None, False or True)."),
    {"etag", get_etag, nullptr, "The first etag header, or None.", nullptr},
    {"if_none_match", get_if_none_match, nullptr, "The first if-none-match header, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef BW_ANY
#undef BW_STR
#undef BW_BYTES

int expect_100_continue(RequestObject* self, int skip_dispatch) {
    if (!skip_dispatch && request_overrides.overridden(as_object(self), kExpect100Continue)) {
        Ref r = Ref::steal(request_overrides.call(as_object(self), kExpect100Continue, nullptr, 0));
        return r ? PyObject_IsTrue(r.get()) : -1;
    }
    Ref value = Ref::steal(first_header(self, state.h_expect));
    if (!value) return -1;
    if (value.get() == Py_None) return 0;
    if (!PyBytes_Check(value.get())) return args::raise_expected("bytes", value.get()), -1;
    // value.lower() == b"100-continue": bytes.lower() is ASCII-only, as here.
    static const char expected[] = "100-continue";
    constexpr Py_ssize_t n = sizeof expected - 1;
    if (PyBytes_GET_SIZE(value.get()) != n) return 0;
    const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(value.get()));
    for (Py_ssize_t i = 0; i < n; i++)
        if (ascii_lower(data[i]) != static_cast<unsigned char>(expected[i])) return 0;
    return 1;
}

void* alloc_scratchpad(RequestObject* self, size_t size, size_t alignment) {
    if (!self->_arena_initialized) {
        // A failed init leaves the flag clear, so a later call tries again.
        if (scratchpad_init(&self->_arena, kArenaCapacity) != BRINDLEWICK_OK) return nullptr;
        self->_arena_initialized = 1;
    }
    void* ptr = nullptr;
    if (scratchpad_alloc(&self->_arena, size, alignment, &ptr) != BRINDLEWICK_OK) return nullptr;
    return ptr;
}

// Disposes `content` through its native operation, holding it for the call.
int dispose_content(PyObject* content) {
    Ref held = Ref::borrow(content);
    auto* c = reinterpret_cast<ContentObject*>(held.get());
    return c->vtab->dispose(c, 0) < 0 ? -1 : 0;
}

}  // namespace

int request_reset(RequestObject* self, int skip_dispatch) {
    if (!skip_dispatch && request_overrides.overridden(as_object(self), kRequestReset)) {
        Ref r = Ref::steal(request_overrides.call(as_object(self), kRequestReset, nullptr, 0));
        return r ? 0 : -1;
    }
    assign_field(self->method, state.empty_str);
    assign_field(self->_url, Py_None);
    assign_field(self->_path, state.empty_bytes);
    assign_field(self->_raw_query, state.empty_bytes);
    assign_field(self->route_values, Py_None);
    assign_field(self->scope, Py_None);
    assign_field(self->scope_protocol, Py_None);
    if (request_overrides.overridden(as_object(self), kIdentity)) {
        if (PyObject_SetAttr(as_object(self), state.str_identity, Py_None) < 0) return -1;
    } else {
        assign_field(self->_user, Py_None);
    }
    for (PyObject** field : {&self->_user, &self->_di_scope, &self->state, &self->_session, &self->_base_path,
                             &self->_original_client_ip, &self->_host, &self->_scheme, &self->context,
                             &self->services, &self->_form_data, &self->_headers})
        assign_field(*field, Py_None);
    // A fresh empty list (from the interpreter's own free list of lists):
    // emptying the old one in place measured no cheaper, and the next
    // acquire replaces it with the adapter's list anyway.
    PyObject* headers = PyList_New(0);
    if (!headers) return -1;
    assign_field_steal(self->_raw_headers, headers);
    assign_field(self->_is_disconnected, Py_None);
    assign_field(self->_decoded_path, Py_None);
    assign_field(self->_client, Py_None);
    self->_scope_kind = kScopeUnknown;
    set_default_limits(self);
    if (self->content != Py_None) {
        if (dispose_content(self->content) < 0) return -1;
        assign_field(self->content, Py_None);
    }
    if (self->_arena_initialized) scratchpad_reset(&self->_arena);
    return 0;
}

namespace {

// ---- dispose ---------------------------------------------------------------------

// part.file.close() when the part has a true `file`.  Values without one
// (plain text fields) have nothing to close.
int close_part_file(PyObject* part) {
    PyObject* file = nullptr;
    if (PyObject_GetOptionalAttr(part, state.str_file, &file) < 0) return -1;
    if (!file) return 0;
    Ref held = Ref::steal(file);
    int truthy = PyObject_IsTrue(file);
    if (truthy <= 0) return truthy;
    Ref r = Ref::steal(PyObject_CallMethodNoArgs(file, state.str_close));
    return r ? 0 : -1;
}

// Closes the files of one form value: a list or tuple of parts (walked by
// index; the size is read again on every turn), a single part, or any other
// iterable of parts.
int close_value_files(PyObject* value) {
    if (PyList_Check(value) || PyTuple_Check(value)) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(value); i++) {
            Ref part = Ref::borrow(PySequence_Fast_GET_ITEM(value, i));
            if (close_part_file(part.get()) < 0) return -1;
        }
        return 0;
    }
    int has_file = PyObject_HasAttrWithError(value, state.str_file);
    if (has_file < 0) return -1;
    if (has_file) return close_part_file(value);
    if (PyUnicode_Check(value) || PyBytes_Check(value)) return 0;
    Ref it = Ref::steal(PyObject_GetIter(value));
    if (!it) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
        PyErr_Clear();  // not iterable: nothing in it to close
        return 0;
    }
    while (Ref part = Ref::steal(PyIter_Next(it.get())))
        if (close_part_file(part.get()) < 0) return -1;
    return PyErr_Occurred() ? -1 : 0;
}

int close_form_files(PyObject* form) {
    if (PyDict_CheckExact(form)) {
        Py_ssize_t size = PyDict_GET_SIZE(form), pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(form, &pos, &key, &value)) {
            Ref held = Ref::borrow(value);
            if (close_value_files(held.get()) < 0) return -1;
            if (PyDict_GET_SIZE(form) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return -1;
            }
        }
        return 0;
    }
    Ref values = Ref::steal(PyObject_CallMethodNoArgs(form, state.str_values));
    if (!values) return -1;
    if (PyList_Check(values.get()) || PyTuple_Check(values.get())) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(values.get()); i++) {
            Ref value = Ref::borrow(PySequence_Fast_GET_ITEM(values.get(), i));
            if (close_value_files(value.get()) < 0) return -1;
        }
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(values.get()));
    if (!it) return -1;
    while (Ref value = Ref::steal(PyIter_Next(it.get())))
        if (close_value_files(value.get()) < 0) return -1;
    return PyErr_Occurred() ? -1 : 0;
}

PyObject* py_dispose(PyObject* op, PyObject*) {
    RequestObject* self = as_request(op);
    if (self->_form_data != Py_None) {
        Ref form = Ref::borrow(self->_form_data);
        if (close_form_files(form.get()) < 0) return nullptr;
    }
    Ref content = Ref::borrow(self->content);
    int present = content_is_present(content.get());
    if (present < 0) return nullptr;
    if (present && dispose_content(content.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// ---- disconnection probe ----------------------------------------------------------

// One await of the ASGI receive channel: MessageAborted when it says the
// client has gone, None for anything else.
Task receive_probe_body(Root receive) {
    Ref message = co_await coro::await_call(receive.get());
    if (!message) co_return nullptr;
    PyObject* type = nullptr;
    int found = 0;
    if (PyDict_Check(message.get()))
        found = PyDict_GetItemRef(message.get(), state.str_type, &type);
    else if (PyMapping_Check(message.get()))
        found = PyMapping_GetOptionalItem(message.get(), state.str_type, &type);
    Ref held = Ref::steal(type);
    if (found < 0) co_return nullptr;
    if (type && PyUnicode_Check(type) && PyUnicode_Compare(type, state.str_http_disconnect) == 0) {
        PyErr_SetNone(state.MessageAborted);
        co_return nullptr;
    }
    co_return Py_NewRef(Py_None);
}

// What is_disconnected() hands to _call_soon: _read_stream(request) while
// the body is still to come; once the content holds the whole body that
// would only replay it, so the probe asks the receive channel itself.
PyObject* make_probe(RequestObject* self) {
    Ref content = Ref::borrow(self->content);
    Ref complete = Ref::steal(PyObject_GetAttr(content.get(), state.str_complete));
    if (!complete) return nullptr;
    int truthy = PyObject_IsTrue(complete.get());
    if (truthy < 0) return nullptr;
    if (truthy) {
        Ref receive = Ref::steal(PyObject_GetAttr(content.get(), state.str_receive));
        if (!receive) return nullptr;
        if (receive.get() != Py_None)
            return coro::make_coroutine(receive_probe_body(Root(std::move(receive))), "Request.is_disconnected.<probe>");
    }
    PyObject* arg = as_object(self);
    return PyObject_Vectorcall(state.read_stream_fn, &arg, 1, nullptr);
}

Task is_disconnected_body(Root self_root) {
    RequestObject* self = as_request(self_root.get());
    if (!PyObject_TypeCheck(self->content, state.ASGIContent)) {
        PyErr_SetString(PyExc_TypeError,
                        "This method is only supported when a request is bound to an instance of ASGIContent and "
                        "to an ASGI request/response cycle.");
        co_return nullptr;
    }
    if (self->_is_disconnected == Py_None) assign_field(self->_is_disconnected, Py_False);
    if (self->_is_disconnected == Py_True) co_return Py_NewRef(Py_True);
    Ref probe = Ref::steal(make_probe(self));
    if (!probe) co_return nullptr;
    Ref result = co_await coro::await_call(state.call_soon_fn, probe.get());
    if (!result) {
        if (!PyErr_ExceptionMatches(state.MessageAborted)) co_return nullptr;
        PyErr_Clear();
        assign_field(self->_is_disconnected, Py_True);
    }
    co_return Py_NewRef(self->_is_disconnected);
}

PyObject* py_is_disconnected(PyObject* self, PyObject*) {
    return coro::make_coroutine(is_disconnected_body(Root::borrow(self)), "Request.is_disconnected");
}

// ---- Python-visible methods -----------------------------------------------------------

PyObject* py_expect_100_continue(PyObject* self, PyObject*) {
    int r = expect_100_continue(as_request(self), 1);
    return r < 0 ? nullptr : bool_ref(r);
}

PyObject* py_reset(PyObject* self, PyObject*) {
    if (request_reset(as_request(self), 1) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* py_scratchpad_arena_stats(PyObject* op, PyObject*) {
    RequestObject* self = as_request(op);
    if (!self->_arena_initialized) return Py_BuildValue("(nnO)", Py_ssize_t(0), Py_ssize_t(0), Py_False);
    return Py_BuildValue("(KKO)", static_cast<unsigned long long>(self->_arena.capacity),
                         static_cast<unsigned long long>(self->_arena.offset), Py_True);
}

PyObject* request_repr(PyObject* op) {
    Ref url = Ref::steal(PyObject_GetAttr(op, state.str_url));
    if (!url) return nullptr;
    Ref value = PyObject_TypeCheck(url.get(), state.URL)
                    ? Ref::borrow(reinterpret_cast<siblings::URLObject*>(url.get())->value)
                    : Ref::steal(PyObject_GetAttr(url.get(), state.str_value));
    if (!value) return nullptr;
    Ref text = Ref::steal(PyObject_CallMethodNoArgs(value.get(), state.str_decode));
    if (!text) return nullptr;
    PyObject* method = as_request(op)->method;
    if (method == Py_None) return PyUnicode_FromFormat("<Request None %S>", text.get());
    return PyUnicode_FromFormat("<Request %S %S>", method, text.get());
}

PyObject* refuse_pickle(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

PyMethodDef own_methods[] = {
    {"incoming", BW_METH_FASTCALL_KW(py_incoming) | METH_CLASS,
     "incoming(method, path, query, headers) -> Request: a request from a path and query received apart."},
    {"expect_100_continue", py_expect_100_continue, METH_NOARGS,
     "expect_100_continue() -> bool: whether the client sent 'Expect: 100-continue'."},
    {"is_disconnected", py_is_disconnected, METH_NOARGS,
     "is_disconnected() -> bool (coroutine): whether the ASGI client has gone away; never waits for it."},
    {"reset", py_reset, METH_NOARGS, "reset() -> None: puts the request back into its blank state for reuse."},
    {"dispose", py_dispose, METH_NOARGS, "dispose() -> None: closes uploaded files and disposes the content."},
    {"scratchpad_arena_stats", py_scratchpad_arena_stats, METH_NOARGS,
     "scratchpad_arena_stats() -> (capacity, offset, initialised) of the request's scratch arena."},
    {"__reduce__", refuse_pickle, METH_NOARGS, nullptr},
    {"__setstate__", refuse_pickle, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- collector slots ----------------------------------------------------------------

using RequestFields =
    MessageFieldsOf<RequestObject, &RequestObject::method, &RequestObject::_url, &RequestObject::_path,
                    &RequestObject::_raw_query, &RequestObject::route_values, &RequestObject::scope,
                    &RequestObject::_user, &RequestObject::_di_scope, &RequestObject::state,
                    &RequestObject::_session, &RequestObject::_base_path, &RequestObject::_original_client_ip,
                    &RequestObject::_host, &RequestObject::_scheme, &RequestObject::_context,
                    &RequestObject::services, &RequestObject::_is_disconnected, &RequestObject::_decoded_path,
                    &RequestObject::_client>;

void request_dealloc(PyObject* op) {
    RequestObject* self = as_request(op);
    PyObject_GC_UnTrack(op);
    if (self->_arena_initialized) {
        PendingError pending;
        scratchpad_destroy(&self->_arena);
        self->_arena_initialized = 0;
    }
    RequestFields::dealloc(op);
}

// ---- module state ---------------------------------------------------------------------

int init_request_state(PyObject* module) {
    Py_XSETREF(state.client_default, Py_BuildValue("(si)", "", 0));
    if (!state.client_default) return -1;

    // The disconnection probe awaits the module's own coroutine functions.
    PyObject* dict = PyModule_GetDict(module);
    for (auto [slot, name] : {std::pair{&state.read_stream_fn, "_read_stream"}, std::pair{&state.call_soon_fn, "_call_soon"}}) {
        PyObject* fn = PyDict_GetItemString(dict, name);  // borrowed
        if (!fn) {
            PyErr_Format(PyExc_SystemError, "module function %s is missing", name);
            return -1;
        }
        Py_XSETREF(*slot, Py_NewRef(fn));
    }
    return 0;
}

constexpr size_t kMaxGetset = 64;

int concat_getset(PyGetSetDef (&out)[kMaxGetset], std::initializer_list<PyGetSetDef*> tables) {
    size_t n = 0;
    for (PyGetSetDef* table : tables)
        for (PyGetSetDef* g = table; g->name; g++) {
            if (n + 1 >= kMaxGetset) {
                PyErr_SetString(PyExc_SystemError, "attribute table of Request is full");
                return -1;
            }
            out[n++] = *g;
        }
    out[n] = PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr};
    return 0;
}

}  // namespace

RequestVTable request_vtable = {};

int init_request_type(PyObject* module) {
    if (init_request_state(module) < 0) return -1;
    request_vtable.base = message_vtable;
    request_vtable.expect_100_continue = expect_100_continue;
    request_vtable.reset = request_reset;
    request_vtable.alloc_scratchpad = alloc_scratchpad;

    static PyMethodDef methods[kMaxTypeMethods];
    static PyGetSetDef getset[kMaxGetset];
    if (concat_methods(methods, {own_methods, request_cookie_methods}) < 0 ||
        concat_getset(getset, {own_getset, request_url_getset, request_connection_getset, request_cookie_getset,
                                      request_identity_getset}) < 0)
        return -1;
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(request_new)},
        {Py_tp_init, reinterpret_cast<void*>(request_init)},
        {BW_tp_vectorcall, reinterpret_cast<void*>(request_vectorcall)},
        {Py_tp_dealloc, reinterpret_cast<void*>(request_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(RequestFields::traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(RequestFields::clear)},
        {Py_tp_repr, reinterpret_cast<void*>(request_repr)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {Py_tp_doc, const_cast<char*>("Request(method: str | None, url: bytes | None, headers: list | None)\n\n"
                                      "An inbound HTTP request.")},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "brindlewick.messages.Request",
        sizeof(RequestObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    PyTypeObject* type = create_message_subtype(module, &spec, &state.RequestType, &request_vtable, kRequestVTableSig);
    if (!type || request_overrides.bind(type) < 0) return -1;
    if (PyModule_AddFunctions(module, cors_functions) < 0 || export_request_functions(module) < 0) return -1;
    return PyModule_AddObjectRef(module, "Request", reinterpret_cast<PyObject*>(type));
}

}  // namespace bw::messages
