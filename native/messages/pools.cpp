// Per-thread pools of requests and responses: _ThreadLocalFreelist (a
// threading.local whose __init__ gives each thread its own `requests` and
// `responses` lists), the module's one instance _TLS, and acquire_/release_
// request and response, as module functions and as native entry points in
// __pyx_capi__.
//
// A pool is a LIFO stack (the end of the list is the top) of objects that
// were reset on release, capped at kMaxFreelistCapacity per kind and thread.
// Taking from a non-empty pool assigns the per-exchange fields natively: no
// Python call, and no attribute lookup by name unless the class overrides
// `reset`.
//
// An object is in at most one pool once: `_pooled` is set when it is pushed
// and cleared when it is taken, and releasing an object whose flag is set
// does nothing.  Whoever calls a release function asserts that nothing else
// uses the object any more; the serving exchanges check it themselves (they
// release only what they hold the last reference to).
#include <Python.h>

#include <cstdint>
#include <iterator>
#include <type_traits>
#include <utility>

#include "brindlewick/args.hpp"
#include "brindlewick/capi.hpp"
#include "brindlewick/compat.hpp"
#include "brindlewick/pyref.hpp"
#include "message_core.hpp"
#include "response_core.hpp"


#include "request_core.hpp"

namespace bw::messages {

namespace {

// ---- _ThreadLocalFreelist ----------------------------------------------------------

// __init__(self): runs once per thread, the first time the thread touches
// the object (threading.local calls it again for each new thread).
int freelist_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs) return args::raise_count("__init__", 0, 0, nargs), -1;
    if (kwargs && PyDict_GET_SIZE(kwargs)) {
        PyErr_SetString(PyExc_TypeError, "__init__() takes no keyword arguments");
        return -1;
    }
    for (PyObject* name : {state.str_requests, state.str_responses}) {
        Ref list = Ref::steal(PyList_New(0));
        if (!list || PyObject_SetAttr(self, name, list.get()) < 0) return -1;
    }
    return 0;
}

// ---- the thread's lists ---------------------------------------------------------------

// The calling thread's attribute dictionary of _TLS (what `_TLS.__dict__`
// gives on this thread), borrowed.  Reading the pools through it skips the
// generic attribute lookup of threading.local on every call: the type has
// no descriptors of those names, so a dictionary lookup finds what the
// attribute lookup would.
//
// The dictionary is remembered in the module state per thread state, in
// the entry its id selects (ids are never reused), and a strong reference
// to it is stored in that thread state's own dictionary, so it lives
// exactly as long as the thread state: the borrowed entry is valid whenever
// the id matches.  Threads whose ids share an entry take turns in it.
PyObject* thread_dict() {
    uint64_t id = PyThreadState_GetID(PyThreadState_Get());
    ThreadDictEntry& cached = state.thread_dicts[id % std::size(state.thread_dicts)];
    if (BW_LIKELY(cached.dict && cached.thread_id == id)) return cached.dict;
    Ref dict = Ref::steal(PyObject_GetAttr(state.tls, state.str_dict));
    if (!dict) return nullptr;
    if (!PyDict_Check(dict.get())) return args::raise_expected("dict", dict.get()), nullptr;
    PyObject* per_thread = PyThreadState_GetDict();  // borrowed
    if (!per_thread || PyDict_SetItem(per_thread, state.tls_key, dict.get()) < 0) {
        // No place to keep it: answer without remembering it.
        PyErr_Clear();
        cached = {0, nullptr};
        return dict.get();  // still referenced by _TLS for this thread
    }
    cached = {id, dict.get()};
    return dict.get();
}

// The calling thread's list `which` (str_requests or str_responses) of _TLS,
// a new reference.  A missing or None attribute gives the thread two new
// empty lists (requests, then responses); any other non-list raises.
PyObject* thread_list(PyObject* which) {
    PyObject* dict = thread_dict();
    if (!dict) return nullptr;
    PyObject* value = PyDict_GetItemWithError(dict, which);  // borrowed
    if (BW_LIKELY(value && PyList_CheckExact(value))) return Py_NewRef(value);
    if (!value && PyErr_Occurred()) return nullptr;
    if (value && value != Py_None) return args::raise_expected("list", value), nullptr;
    for (PyObject* name : {state.str_requests, state.str_responses}) {
        Ref list = Ref::steal(PyList_New(0));
        if (!list || PyObject_SetAttr(state.tls, name, list.get()) < 0) return nullptr;
    }
    value = PyObject_GetAttr(state.tls, which);
    if (!value) return nullptr;
    if (!PyList_CheckExact(value)) {  // a setattr hook that does not store
        args::raise_expected("list", value);
        Py_DECREF(value);
        return nullptr;
    }
    return value;
}

// Removes and returns the top of a non-empty pool (new reference), which
// must be an instance of `type`: a foreign object pushed by hand is refused
// rather than treated as one of ours.
template <class Obj>
Obj* pop_pooled(PyObject* list, PyTypeObject* type, const char* expected) {
    Py_ssize_t n = PyList_GET_SIZE(list);
    Ref item = Ref::borrow(PyList_GET_ITEM(list, n - 1));
    if (PyList_SetSlice(list, n - 1, n, nullptr) < 0) return nullptr;
    if (BW_UNLIKELY(!PyObject_TypeCheck(item.get(), type))) return args::raise_expected(expected, item.get()), nullptr;
    Obj* obj = static_cast<Obj*>(as_message(item.release()));
    obj->_pooled = 0;
    return obj;
}

// Pushes `obj` after `reset` succeeded, unless the pool is full or the
// object is in a pool already; a full pool neither resets nor keeps it.
template <class Obj, class Reset>
int push_released(PyObject* which, Obj* obj, Reset reset) {
    if (obj->_pooled) return 0;
    Ref list = Ref::steal(thread_list(which));
    if (!list) return -1;
    if (PyList_GET_SIZE(list.get()) >= kMaxFreelistCapacity) return 0;
    Ref held = Ref::borrow(as_object(obj));  // reset may run Python code
    if (reset(obj) < 0) return -1;
    // That code may have filled the pool, or released this very object.
    if (obj->_pooled || PyList_GET_SIZE(list.get()) >= kMaxFreelistCapacity) return 0;
    if (PyList_Append(list.get(), held.get()) < 0) return -1;
    obj->_pooled = 1;
    return 0;
}

// ---- responses ----------------------------------------------------------------------

ResponseObject* acquire_response_native(int32_t status, PyObject* headers, PyObject* content) {
    if (!headers) headers = Py_None;
    if (!content) content = Py_None;
    if (!check_response_arguments(headers, content)) return nullptr;
    Ref list = Ref::steal(thread_list(state.str_responses));
    if (!list) return nullptr;
    if (PyList_GET_SIZE(list.get()) == 0) return response_create(status, headers, content);
    ResponseObject* self = pop_pooled<ResponseObject>(list.get(), state.ResponseType, "Response");
    if (!self) return nullptr;
    PyObject* op = as_object(self);
    self->status = status;
    if (headers != Py_None) {
        assign_field(self->_raw_headers, headers);
    } else {
        PyObject* fresh = PyList_New(0);
        if (!fresh) {
            Py_DECREF(op);
            return nullptr;
        }
        assign_field_steal(self->_raw_headers, fresh);
    }
    assign_field(self->content, content);
    return self;
}

int release_response_native(ResponseObject* response) {
    PyObject* op = as_object(response);
    if (!op || !PyObject_TypeCheck(op, state.ResponseType)) {
        if (!op) op = Py_None;
        return args::raise_arg_type("response", state.ResponseType->tp_name, op), -1;
    }
    return push_released(state.str_responses, response,
                         [](ResponseObject* r) { return response_vtab(r)->reset(r, 0); });
}

static_assert(std::is_same_v<decltype(&acquire_response_native), AcquireResponseFn>);
static_assert(std::is_same_v<decltype(&release_response_native), ReleaseResponseFn>);

PyObject* py_acquire_response(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"status", "headers", "content"};
    static args::Signature sig{"acquire_response", names, 3, 0};
    PyObject* a[3];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    int32_t status = 200;
    if (a[0] && status_from_object(a[0], &status) < 0) return nullptr;
    return as_object(acquire_response_native(status, a[1], a[2]));
}

PyObject* py_release_response(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"response"};
    static args::Signature sig{"release_response", names, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    if (release_response_native(as_response(a[0])) < 0) return nullptr;
    Py_RETURN_NONE;
}

// ---- requests ------------------------------------------------------------------------


RequestObject* acquire_request_native(PyObject* method, PyObject* path, PyObject* raw_query, PyObject* headers,
                                      PyObject* scope) {
    if (!method) method = Py_None;
    if (!path) path = Py_None;
    if (!raw_query) raw_query = Py_None;
    if (!headers) headers = Py_None;
    if (!scope) scope = Py_None;
    // The fields are typed: a native caller gets the same checks as Python.
    if (!args::exact(method, &PyUnicode_Type, "method") || !args::exact(path, &PyBytes_Type, "path") ||
        !args::exact(raw_query, &PyBytes_Type, "raw_query") || !args::exact(headers, &PyList_Type, "headers"))
        return nullptr;
    Ref interned = Ref::steal(intern_method_str(method));
    if (!interned) return nullptr;
    Ref processed = Ref::steal(build_raw_headers(headers));
    if (!processed) return nullptr;
    Ref list = Ref::steal(thread_list(state.str_requests));
    if (!list) return nullptr;
    if (PyList_GET_SIZE(list.get()) == 0) {
        PyObject* op = request_incoming(state.RequestType, interned.get(), path, raw_query, processed.get());
        if (!op) return nullptr;
        assign_field(as_request(op)->scope, scope);
        return as_request(op);
    }
    RequestObject* self = pop_pooled<RequestObject>(list.get(), state.RequestType, "Request");
    if (!self) return nullptr;
    assign_field(self->method, interned.get());
    assign_field(self->_path, path);
    assign_field(self->_raw_query, raw_query);
    assign_field_steal(self->_raw_headers, processed.release());
    assign_field(self->scope, scope);
    assign_field(self->scope_protocol, Py_None);
    assign_field(self->content, Py_None);
    assign_field(self->_url, Py_None);
    assign_field(self->route_values, Py_None);
    assign_field(self->_decoded_path, Py_None);
    assign_field(self->_client, Py_None);
    self->_scope_kind = kScopeUnknown;
    return self;
}

// A request for a server adapter's record: like acquire_request, with the
// connection record's own fields, and the adapter's header list taken over
// as it is when it is final (no copy, no second interning).
RequestObject* acquire_incoming_native(const IncomingRequest* record) {
    Ref interned = Ref::steal(intern_method_str(record->method));
    if (!interned) return nullptr;
    // A server's own list is copied as it is: its names are not interned
    // (lookups match them by comparison), which costs less than new tuples.
    PyObject* given = record->headers;
    Ref headers = record->headers_final ? Ref::borrow(given)
                                        : Ref::steal(PyList_GetSlice(given, 0, PyList_GET_SIZE(given)));
    if (!headers) return nullptr;
    Ref list = Ref::steal(thread_list(state.str_requests));
    if (!list) return nullptr;
    RequestObject* self;
    if (PyList_GET_SIZE(list.get()) == 0) {
        PyObject* op = request_incoming(state.RequestType, interned.get(), record->path, record->raw_query, Py_None);
        if (!op) return nullptr;
        self = as_request(op);
        assign_field(self->_raw_headers, headers.get());
    } else {
        self = pop_pooled<RequestObject>(list.get(), state.RequestType, "Request");
        if (!self) return nullptr;
        assign_field(self->method, interned.get());
        assign_field(self->_path, record->path);
        assign_field(self->_raw_query, record->raw_query);
        assign_field(self->_raw_headers, headers.get());
        assign_field(self->scope_protocol, Py_None);
        assign_field(self->content, Py_None);
        assign_field(self->_url, Py_None);
        assign_field(self->route_values, Py_None);
        assign_field(self->_client, Py_None);
    }
    assign_field(self->scope, record->scope);
    assign_field(self->_decoded_path, record->decoded_path ? record->decoded_path : Py_None);
    self->_scope_kind = record->scope_kind;
    return self;
}

int bind_request_body_native(RequestObject* request, PyObject* channel, PyTypeObject* content_type) {
    if (method_without_body(request->method)) {
        assign_field(request->scope_protocol, channel);
        return 0;
    }
    PyObject* content = PyObject_CallOneArg(reinterpret_cast<PyObject*>(content_type), channel);
    if (!content) return -1;
    assign_field_steal(request->content, content);
    return 0;
}

static_assert(std::is_same_v<decltype(&acquire_incoming_native), AcquireIncomingFn>);
static_assert(std::is_same_v<decltype(&bind_request_body_native), BindRequestBodyFn>);

int release_request_native(RequestObject* request) {
    PyObject* op = as_object(request);
    if (!op || !PyObject_TypeCheck(op, state.RequestType)) {
        if (!op) op = Py_None;
        return args::raise_arg_type("request", state.RequestType->tp_name, op), -1;
    }
    return push_released(state.str_requests, request,
                         [](RequestObject* r) { return request_vtab(r)->reset(r, 0); });
}

static_assert(std::is_same_v<decltype(&acquire_request_native), AcquireRequestFn>);
static_assert(std::is_same_v<decltype(&release_request_native), ReleaseRequestFn>);

PyObject* py_acquire_request(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"method", "path", "raw_query", "headers", "scope"};
    static args::Signature sig{"acquire_request", names, 5, 5};
    PyObject* a[5];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    return as_object(acquire_request_native(a[0], a[1], a[2], a[3], a[4]));
}

PyObject* py_release_request(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"request"};
    static args::Signature sig{"release_request", names, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    if (release_request_native(as_request(a[0])) < 0) return nullptr;
    Py_RETURN_NONE;
}


PyMethodDef pool_functions[] = {
    {"acquire_request", BW_METH_FASTCALL_KW(py_acquire_request),
     "acquire_request(method, path, raw_query, headers, scope) -> Request\n\n"
     "A request from this thread's pool (the last released first), or a new one."},
    {"release_request", BW_METH_FASTCALL_KW(py_release_request),
     "release_request(request) -> None\n\nResets the request and keeps it in this thread's pool unless it is full or "
     "the request is pooled already.  The caller asserts that nothing else uses the request any more: the "
     "next acquire_request() on this thread hands it out again."},
    {"acquire_response", BW_METH_FASTCALL_KW(py_acquire_response),
     "acquire_response(status=200, headers=None, content=None) -> Response\n\n"
     "A response from this thread's pool (the last released first), or a new one."},
    {"release_response", BW_METH_FASTCALL_KW(py_release_response),
     "release_response(response) -> None\n\nResets the response and keeps it in this thread's pool unless it is full "
     "or the response is pooled already.  The caller asserts that nothing else uses the response any more: the "
     "next acquire_response() on this thread hands it out again."},
    {nullptr, nullptr, 0, nullptr},
};

int make_freelist_type(PyObject* module) {
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    if (!threading) return -1;
    Ref local = Ref::steal(PyObject_GetAttrString(threading.get(), "local"));
    if (!local) return -1;
    if (!PyType_Check(local.get())) {
        PyErr_SetString(PyExc_TypeError, "threading.local is not a type");
        return -1;
    }
    static PyType_Slot slots[] = {
        {Py_tp_init, reinterpret_cast<void*>(freelist_init)},
        {Py_tp_doc, const_cast<char*>("Per-thread pools: `requests` and `responses`, a list each.")},
        {0, nullptr},
    };
    // Size, collector slots and deallocation come from threading.local.
    static PyType_Spec spec = {
        "brindlewick.messages._ThreadLocalFreelist", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots,
    };
    Ref bases = Ref::steal(PyTuple_Pack(1, local.get()));
    if (!bases) return -1;
    PyObject* type = type_from_spec(module, &spec, bases.get());
    if (!type) return -1;
    Py_XSETREF(state.ThreadLocalFreelist, reinterpret_cast<PyTypeObject*>(type));
    return PyModule_AddObjectRef(module, "_ThreadLocalFreelist", type);
}

}  // namespace

int init_pools(PyObject* module) {
    if (make_freelist_type(module) < 0) return -1;
    PyObject* tls = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(state.ThreadLocalFreelist));
    if (!tls) return -1;
    Py_XSETREF(state.tls, tls);
    if (PyModule_AddObjectRef(module, "_TLS", tls) < 0) return -1;
    if (PyModule_AddFunctions(module, pool_functions) < 0) return -1;
    if (capi::export_function(module, "acquire_request", acquire_request_native, kAcquireRequestSig) < 0 ||
        capi::export_function(module, "release_request", release_request_native, kReleaseRequestSig) < 0)
        return -1;
    if (capi::export_function(module, "acquire_incoming", acquire_incoming_native, kAcquireIncomingSig) < 0 ||
        capi::export_function(module, "bind_request_body", bind_request_body_native, kBindRequestBodySig) < 0)
        return -1;
    if (capi::export_function(module, "acquire_response", acquire_response_native, kAcquireResponseSig) < 0 ||
        capi::export_function(module, "release_response", release_response_native, kReleaseResponseSig) < 0)
        return -1;
    return 0;
}

}  // namespace bw::messages
