// The native exchanges behind brindlewick.serve's adapters.
//
// RSGIExchange: one RSGI exchange per __rsgi__(scope, protocol) call: a
// pooled Request from the scope, `await handler(request)`, the Response
// written with send_rsgi_response_sync (awaiting only a streamed body), then
// both objects back to their pools whatever happened.
//
// ASGIExchange: the same for an ASGI 3 `await app(scope, receive, send)` of
// an "http" scope: the Request from the scope's method, raw path, query and
// headers, its body an ASGIContent over `receive`, the Response written with
// send_asgi_response.  Other scopes (lifespan, websocket) go to a hook.
//
// What to answer when the handler fails, and how to report a failed write,
// are policies of the serving layer: the hooks given to the constructors are
// called on those paths only, with the exception and the scope's method and
// path:
//   on_failure(exc, method, path) -> Response | None   (None: answer nothing)
//   on_send_failure(exc, method, path)
// Only Exception subclasses reach the hooks; anything else (CancelledError,
// KeyboardInterrupt) propagates once the pooled objects are released.
#include <Python.h>

#include <cstddef>

#include "brindlewick/args.hpp"
#include "brindlewick/coro.hpp"
#include "brindlewick/gc_fields.hpp"
#include "brindlewick/pyref.hpp"
#include "response_head.hpp"
#include "scribe_core.hpp"

namespace bw::scribe {

using coro::Handling;
using coro::Root;
using coro::Task;

namespace {

enum class Interface { RSGI, ASGI };

// One layout for both exchange types; RSGIExchange leaves the last two
// fields empty.
struct ExchangeObject {
    PyObject_HEAD
    PyObject* handler;
    PyObject* on_failure;
    PyObject* on_send_failure;
    PyObject* on_other_scope;   // ASGIExchange: serves the scopes that are not "http"
    vectorcallfunc vectorcall;  // ASGIExchange: `app(scope, receive, send)`
    Py_ssize_t max_body_size;   // given to each request (messages.hpp: -1 no limit, kDefaultBodyLimit)
};

using ExchangeFields = ObjectFields<ExchangeObject, &ExchangeObject::handler, &ExchangeObject::on_failure,
                                    &ExchangeObject::on_send_failure, &ExchangeObject::on_other_scope>;

ExchangeObject* as_exchange(PyObject* op) { return reinterpret_cast<ExchangeObject*>(op); }

const char* init_message(Interface iface) {
    return iface == Interface::RSGI ? "RSGIExchange.__init__() was not called"
                                    : "ASGIExchange.__init__() was not called";
}

// Hands the exchange's request and response back to their pools when the
// exchange ends, however it ends (its one release site, a local of the
// coroutine frame: the destructor runs at every co_return and when the
// frame is destroyed unfinished).
//
// Only what nothing else references is recycled.  The exchange's own
// references are known exactly: the one Root here per object (borrowed
// pointers on the C stack are not counted, and the handler's frame is gone
// once it returned).  So a reference count of 1 means that nobody else can
// see the object again, and anything above it (a task that kept the
// request, a module-level response, an exception whose traceback holds the
// handler's frame) means that someone can: such an object is let go
// untouched, neither reset nor pooled, and the reference counter frees it
// when its last holder does.
//
// The response goes first: its content may hold the request (a producer
// closing over it), and resetting the response lets go of that.  A failure
// of a reset never changes how the exchange ended: it is reported as
// unraisable.
struct Recycler {
    Root request;
    Root response;

    Recycler() = default;
    Recycler(const Recycler&) = delete;
    Recycler& operator=(const Recycler&) = delete;
    ~Recycler() {
        recycle(response, [](PyObject* op) { return state.release_response(messages::as_response(op)); });
        recycle(request, [](PyObject* op) { return state.release_request(messages::as_request(op)); });
    }

private:
    template <class Release>
    static void recycle(Root& held, Release release) {
        PyObject* op = held.get();
        if (!op) return;
        if (Py_REFCNT(op) == 1) {
            PendingError pending;
            if (release(op) < 0) PendingError::unraisable(op);
        }
        held.reset();
    }
};

// scope[key] of an ASGI scope (a dict, or any mapping).
PyObject* scope_item(PyObject* scope, PyObject* key) {
    if (PyDict_CheckExact(scope)) {
        PyObject* value;
        int found = PyDict_GetItemRef(scope, key, &value);
        if (found == 0) PyErr_SetObject(PyExc_KeyError, key);
        return value;
    }
    return PyObject_GetItem(scope, key);
}

// scope.get(key): None when the key is missing.
PyObject* scope_get(PyObject* scope, PyObject* key) {
    PyObject* value;
    if (PyDict_CheckExact(scope)) {
        if (PyDict_GetItemRef(scope, key, &value) < 0) return nullptr;
    } else if (!(value = PyObject_GetItem(scope, key))) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
        PyErr_Clear();
    }
    return value ? value : Py_NewRef(Py_None);
}

// hook(exc, scope.method, scope.path), called while `exc` is the exception
// being handled.
PyObject* call_hook(PyObject* hook, PyObject* exc, PyObject* scope, Interface iface) {
    if (!hook) {
        PyErr_SetString(PyExc_RuntimeError, init_message(iface));
        return nullptr;
    }
    bool rsgi = iface == Interface::RSGI;
    Ref method = Ref::steal(rsgi ? PyObject_GetAttr(scope, state.str_method) : scope_item(scope, state.str_method));
    if (!method) return nullptr;
    Ref path = Ref::steal(rsgi ? PyObject_GetAttr(scope, state.str_path) : scope_item(scope, state.str_path));
    if (!path) return nullptr;
    PyObject* argv[] = {nullptr, exc, method.get(), path.get()};
    return PyObject_Vectorcall(hook, argv + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

bool is_http(PyObject* kind) {
    return PyUnicode_Check(kind) && PyUnicode_GET_LENGTH(kind) == 4 && PyUnicode_EqualToUTF8AndSize(kind, "http", 4);
}

bool is_response(PyObject* obj) { return Py_IS_TYPE(obj, state.Response) || PyObject_TypeCheck(obj, state.Response); }

bool is_head(PyObject* method) {
    return method && PyUnicode_Check(method) && PyUnicode_GET_LENGTH(method) == 4 &&
           PyUnicode_EqualToUTF8AndSize(method, "HEAD", 4);
}

// A pooled Request for an ASGI "http" scope, from its connection record:
// the method, the path as the client sent it (`raw_path`; the decoded path
// encoded again when the server gives none) and as the server decoded it
// (`path`), the query string and the headers; its body bound by the one
// rule of both interfaces, read through `receive`.
RequestObject* asgi_request(PyObject* scope, PyObject* receive) {
    Ref method = Ref::steal(scope_item(scope, state.str_method));
    if (!method) return nullptr;
    if (!PyUnicode_Check(method.get())) return args::raise_expected("str", method.get()), nullptr;
    Ref path = Ref::steal(scope_item(scope, state.str_path));
    if (!path) return nullptr;
    if (!PyUnicode_Check(path.get())) return args::raise_expected("str", path.get()), nullptr;
    Ref raw_path = Ref::steal(scope_get(scope, state.str_raw_path));
    if (!raw_path) return nullptr;
    if (!PyBytes_CheckExact(raw_path.get()) || PyBytes_GET_SIZE(raw_path.get()) == 0) {
        raw_path = Ref::steal(path_as_sent(path.get()));
        if (!raw_path) return nullptr;
    }
    Ref query = Ref::steal(scope_item(scope, state.str_query_string));
    if (!query) return nullptr;
    if (!PyBytes_CheckExact(query.get())) return args::raise_expected("bytes", query.get()), nullptr;
    Ref headers = Ref::steal(scope_item(scope, state.k_headers));
    if (!headers) return nullptr;
    // The server keeps its own list: the request gets a copy of it, unless
    // the list is the one made here.
    int ours = !PyList_CheckExact(headers.get());
    if (ours) {
        // Any iterable of pairs (a tuple, a generator) becomes a list of tuples.
        Ref pairs = Ref::steal(PyList_New(0));
        if (!pairs) return nullptr;
        Ref it = Ref::steal(PyObject_GetIter(headers.get()));
        if (!it) return nullptr;
        while (PyObject* item = PyIter_Next(it.get())) {
            Ref pair = Ref::steal(PySequence_Tuple(item));
            Py_DECREF(item);
            if (!pair || PyList_Append(pairs.get(), pair.get()) < 0) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
        headers = std::move(pairs);
    }
    messages::IncomingRequest record{method.get(), raw_path.get(), path.get(), query.get(),
                                     headers.get(), ours, scope, messages::kScopeASGI};
    RequestObject* request = state.acquire_incoming(&record);
    if (!request) return nullptr;
    return bind_body(request, receive, state.ASGIContent);
}

// The exchange itself: the request from the server, the handler, the
// response written, and (through the Recycler) both objects released.
// `channel` is the RSGI protocol or the ASGI `receive`; `send` is the ASGI
// `send` (None for RSGI).
Task exchange_body(Root app, Root scope, Root channel, Root send, Interface iface) {
    ExchangeObject* self = as_exchange(app.get());
    // 5. Release: whatever happens below, `held` hands back what only it holds.
    Recycler held;

    // 1. The request from the server: its connection record, its body bound.
    if (iface == Interface::RSGI) {
        {
            Ref proto = Ref::steal(PyObject_GetAttr(scope.get(), state.str_proto));
            if (!proto) co_return nullptr;
            // A websocket that is never accepted is refused by the server (403).
            if (!is_http(proto.get())) co_return Py_NewRef(Py_None);
        }
        held.request = Root::steal(reinterpret_cast<PyObject*>(instantiate_rsgi_request(scope.get(), channel.get())));
    } else {
        held.request = Root::steal(reinterpret_cast<PyObject*>(asgi_request(scope.get(), channel.get())));
    }
    if (!held.request) co_return nullptr;
    auto* req = reinterpret_cast<RequestObject*>(held.request.get());
    req->max_body_size = self->max_body_size;

    // 2. The handler.  The hooks are read from the object at the moment they
    // are needed and held for the call: its fields may be replaced meanwhile.
    {
        Root handler = Root::borrow(self->handler);
        Ref result = co_await coro::await_call(handler.get(), held.request.get());
        if (result && !is_response(result.get())) {
            PyErr_Format(PyExc_TypeError, "the handler returned %.200s, expected Response",
                         Py_TYPE(result.get())->tp_name);
            result.reset();
        }
        held.response = Root(std::move(result));
    }
    // 3. The response head, decided before anything is sent, so that a
    // response the wire cannot carry (a bad status, a forged header) is
    // answered by the failure hook like a failed handler.
    bool head_request = is_head(req->method);
    HeadText text = iface == Interface::RSGI ? HeadText::Str : HeadText::Bytes;
    ResponseHead head;
    if (held.response && compose_head(messages::as_response(held.response.get()), head_request, text, head) < 0) {
        head = ResponseHead();
        held.response.reset();
    }
    if (!held.response) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) co_return nullptr;
        Handling failure;
        Ref hook = Ref::borrow(self->on_failure);
        Ref replacement = Ref::steal(call_hook(hook.get(), failure.exception(), scope.get(), iface));
        if (!replacement) co_return nullptr;
        if (replacement.get() == Py_None) co_return Py_NewRef(Py_None);  // the client is gone
        if (!is_response(replacement.get())) {
            args::raise_expected("Response", replacement.get());
            co_return nullptr;
        }
        held.response = Root(std::move(replacement));
        if (compose_head(messages::as_response(held.response.get()), head_request, text, head) < 0) co_return nullptr;
    }

    // 4. The head and the body on the wire; a failure is only reported, the
    // server knows whether anything went out.
    Ref sent;
    if (iface == Interface::RSGI) {
        sent = Ref::steal(send_rsgi_head(std::move(head), channel.get()));
        if (sent && sent.get() != Py_None) sent = co_await std::move(sent);  // a streamed body
    } else {
        Ref writing = Ref::steal(send_asgi_response(std::move(head), send.get(), channel.get(), req));
        if (writing) sent = co_await std::move(writing);
    }
    if (!sent) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) co_return nullptr;
        Handling failure;
        Ref hook = Ref::borrow(self->on_send_failure);
        Ref logged = Ref::steal(call_hook(hook.get(), failure.exception(), scope.get(), iface));
        if (!logged) co_return nullptr;
    }
    co_return Py_NewRef(Py_None);
}

int check_callables(const char* type_name, std::initializer_list<PyObject*> functions) {
    for (PyObject* f : functions) {
        if (!PyCallable_Check(f)) {
            PyErr_Format(PyExc_TypeError, "%s() arguments must be callable, got %.200s", type_name,
                         Py_TYPE(f)->tp_name);
            return -1;
        }
    }
    return 0;
}

void bind(ExchangeObject* self, PyObject* handler, PyObject* on_failure, PyObject* on_send_failure,
          PyObject* on_other_scope) {
    Py_XSETREF(self->handler, Py_NewRef(handler));
    Py_XSETREF(self->on_failure, Py_NewRef(on_failure));
    Py_XSETREF(self->on_send_failure, Py_NewRef(on_send_failure));
    Py_XSETREF(self->on_other_scope, Py_XNewRef(on_other_scope));
}

PyMemberDef handler_member = {"handler", Py_T_OBJECT_EX, offsetof(ExchangeObject, handler), Py_READONLY,
                              "The async callable that turns a Request into a Response."};

// ---- RSGIExchange ---------------------------------------------------------------------

PyObject* rsgi_call(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"scope", "protocol"};
    static args::Signature sig{"__rsgi__", names, 2, 2};
    PyObject* a[2];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    if (!as_exchange(op)->handler) {
        PyErr_SetString(PyExc_RuntimeError, init_message(Interface::RSGI));
        return nullptr;
    }
    return coro::make_coroutine(
        exchange_body(Root::borrow(op), Root::borrow(a[0]), Root::borrow(a[1]), Root::borrow(Py_None), Interface::RSGI),
        "RSGIExchange.__rsgi__");
}

int rsgi_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"handler", "on_failure", "on_send_failure", "max_body_size", nullptr};
    PyObject *handler, *on_failure, *on_send_failure;
    Py_ssize_t max_body_size = messages::kDefaultBodyLimit;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$n:RSGIExchange", const_cast<char**>(keywords), &handler,
                                     &on_failure, &on_send_failure, &max_body_size) ||
        check_callables("RSGIExchange", {handler, on_failure, on_send_failure}) < 0)
        return -1;
    bind(as_exchange(op), handler, on_failure, on_send_failure, nullptr);
    as_exchange(op)->max_body_size = max_body_size;
    return 0;
}

PyMethodDef rsgi_methods[] = {
    {"__rsgi__", BW_METH_FASTCALL_KW(rsgi_call),
     "__rsgi__(scope, protocol) -> coroutine\n\nServes one RSGI exchange through the handler."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef rsgi_members[] = {handler_member, {nullptr, 0, 0, 0, nullptr}};

PyType_Slot rsgi_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(ExchangeFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(ExchangeFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(ExchangeFields::clear)},
    {Py_tp_init, reinterpret_cast<void*>(rsgi_init)},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_methods, rsgi_methods},
    {Py_tp_members, rsgi_members},
    {Py_tp_doc, const_cast<char*>("RSGIExchange(handler, on_failure, on_send_failure)\n\n"
                                  "An RSGI application serving `await handler(request) -> Response`.")},
    {0, nullptr},
};

PyType_Spec rsgi_spec = {
    "brindlewick.scribe.RSGIExchange",
    sizeof(ExchangeObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    rsgi_slots,
};

// ---- ASGIExchange ---------------------------------------------------------------------

PyObject* asgi_call(PyObject* op, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static const char* const names[] = {"scope", "receive", "send"};
    static args::Signature sig{"ASGIExchange", names, 3, 3};
    PyObject* a[3];
    if (!args::parse(sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    ExchangeObject* self = as_exchange(op);
    if (!self->handler) {
        PyErr_SetString(PyExc_RuntimeError, init_message(Interface::ASGI));
        return nullptr;
    }
    Ref kind = Ref::steal(scope_item(a[0], state.k_type));
    if (!kind) return nullptr;
    if (!is_http(kind.get())) {
        Ref hook = Ref::borrow(self->on_other_scope);
        return PyObject_Vectorcall(hook.get(), a, 3, nullptr);
    }
    return coro::make_coroutine(
        exchange_body(Root::borrow(op), Root::borrow(a[0]), Root::borrow(a[1]), Root::borrow(a[2]), Interface::ASGI),
        "ASGIExchange.__call__");
}

PyObject* asgi_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* op = PyType_GenericNew(type, args, kwargs);
    if (op) as_exchange(op)->vectorcall = asgi_call;
    return op;
}

int asgi_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"handler", "on_failure", "on_send_failure", "on_other_scope", "max_body_size",
                                     nullptr};
    PyObject *handler, *on_failure, *on_send_failure, *on_other_scope;
    Py_ssize_t max_body_size = messages::kDefaultBodyLimit;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|$n:ASGIExchange", const_cast<char**>(keywords), &handler,
                                     &on_failure, &on_send_failure, &on_other_scope, &max_body_size) ||
        check_callables("ASGIExchange", {handler, on_failure, on_send_failure, on_other_scope}) < 0)
        return -1;
    bind(as_exchange(op), handler, on_failure, on_send_failure, on_other_scope);
    as_exchange(op)->max_body_size = max_body_size;
    return 0;
}

PyMemberDef asgi_members[] = {
    handler_member,
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(ExchangeObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot asgi_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(ExchangeFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(ExchangeFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(ExchangeFields::clear)},
    {Py_tp_init, reinterpret_cast<void*>(asgi_init)},
    {Py_tp_new, reinterpret_cast<void*>(asgi_new)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, asgi_members},
    {Py_tp_doc, const_cast<char*>("ASGIExchange(handler, on_failure, on_send_failure, on_other_scope)\n\n"
                                  "An ASGI 3 application serving `await handler(request) -> Response` for "
                                  "\"http\" scopes; `on_other_scope(scope, receive, send)` serves the others.")},
    {0, nullptr},
};

PyType_Spec asgi_spec = {
    "brindlewick.scribe.ASGIExchange",
    sizeof(ExchangeObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_HAVE_VECTORCALL,
    asgi_slots,
};

int add_type(PyObject* module, PyType_Spec* spec, const char* name) {
    PyObject* type = PyType_FromModuleAndSpec(module, spec, nullptr);
    if (!type) return -1;
    int added = PyModule_AddObjectRef(module, name, type);
    Py_DECREF(type);
    return added;
}

}  // namespace

int init_exchanges(PyObject* module) {
    if (add_type(module, &rsgi_spec, "RSGIExchange") < 0) return -1;
    return add_type(module, &asgi_spec, "ASGIExchange");
}

}  // namespace bw::scribe
