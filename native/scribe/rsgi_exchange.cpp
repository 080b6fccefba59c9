// RSGIExchange: one RSGI exchange per __rsgi__(scope, protocol) call, in
// native code: a pooled Request from the scope, `await handler(request)`,
// the Response written with send_rsgi_response_sync (awaiting only a
// streamed body), then both objects back to their pools whatever happened.
//
// What to answer when the handler fails, and how to report a failed write,
// are policies of the serving layer (brindlewick.serve): the two hooks given
// to the constructor are called on those paths only, with the exception and
// the scope's method and path:
//   on_failure(exc, method, path) -> Response | None   (None: answer nothing)
//   on_send_failure(exc, method, path)
// Only Exception subclasses reach the hooks; anything else (CancelledError,
// KeyboardInterrupt) propagates once the pooled objects are released.
#include <Python.h>

#include "brindlewick/args.hpp"
#include "brindlewick/coro.hpp"
#include "brindlewick/gc_fields.hpp"
#include "brindlewick/pyref.hpp"
#include "scribe_core.hpp"

namespace bw::scribe {

using coro::Handling;
using coro::Root;
using coro::Task;

namespace {

struct ExchangeObject {
    PyObject_HEAD
    PyObject* handler;
    PyObject* on_failure;
    PyObject* on_send_failure;
};

using ExchangeFields =
    ObjectFields<ExchangeObject, &ExchangeObject::handler, &ExchangeObject::on_failure, &ExchangeObject::on_send_failure>;

ExchangeObject* as_exchange(PyObject* op) { return reinterpret_cast<ExchangeObject*>(op); }

// Runs `release` with the pending error (if any) set aside, as a `finally`
// block does: a failure of its own replaces that error, chained to it.
template <class F>
void release_keeping_error(F&& release) {
    PyObject* pending = PyErr_GetRaisedException();
    if (release() == 0) {
        if (pending) PyErr_SetRaisedException(pending);
        return;
    }
    if (pending) {
        PyObject* own = PyErr_GetRaisedException();
        PyException_SetContext(own, pending);  // steals `pending`
        PyErr_SetRaisedException(own);
    }
}

void release_both(RequestObject* request, ResponseObject* response) {
    release_keeping_error([&] { return state.release_request(request); });
    if (response) release_keeping_error([&] { return state.release_response(response); });
}

// hook(exc, scope.method, scope.path), called while `exc` is the exception
// being handled.
PyObject* call_hook(PyObject* hook, PyObject* exc, PyObject* scope) {
    if (!hook) {
        PyErr_SetString(PyExc_RuntimeError, "RSGIExchange.__init__() was not called");
        return nullptr;
    }
    Ref method = Ref::steal(PyObject_GetAttr(scope, state.str_method));
    if (!method) return nullptr;
    Ref path = Ref::steal(PyObject_GetAttr(scope, state.str_path));
    if (!path) return nullptr;
    PyObject* argv[] = {nullptr, exc, method.get(), path.get()};
    return PyObject_Vectorcall(hook, argv + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

bool is_http(PyObject* proto) {
    return PyUnicode_Check(proto) && PyUnicode_GET_LENGTH(proto) == 4 && PyUnicode_EqualToUTF8AndSize(proto, "http", 4);
}

bool is_response(PyObject* obj) { return Py_IS_TYPE(obj, state.Response) || PyObject_TypeCheck(obj, state.Response); }

Task exchange_body(Root app, Root scope, Root protocol) {
    {
        Ref proto = Ref::steal(PyObject_GetAttr(scope.get(), state.str_proto));
        if (!proto) co_return nullptr;
        // A websocket that is never accepted is refused by the server (403).
        if (!is_http(proto.get())) co_return Py_NewRef(Py_None);
    }
    ExchangeObject* self = as_exchange(app.get());
    Root request = Root::steal(reinterpret_cast<PyObject*>(instantiate_rsgi_request(scope.get(), protocol.get())));
    if (!request) co_return nullptr;
    auto* req = reinterpret_cast<RequestObject*>(request.get());

    // The hooks are read from the object at the moment they are needed and
    // held for the call: the object's fields may be replaced meanwhile.
    Root response;
    {
        Root handler = Root::borrow(self->handler);
        Ref result = co_await coro::await_call(handler.get(), request.get());
        if (result && is_response(result.get())) {
            response = Root(std::move(result));
        } else {
            if (result) {
                PyErr_Format(PyExc_TypeError, "the handler returned %.200s, expected Response",
                             Py_TYPE(result.get())->tp_name);
                result.reset();
            }
            if (!PyErr_ExceptionMatches(PyExc_Exception)) {
                release_both(req, nullptr);
                co_return nullptr;
            }
            Handling failure;
            Ref hook = Ref::borrow(self->on_failure);
            Ref replacement = Ref::steal(call_hook(hook.get(), failure.exception(), scope.get()));
            if (!replacement) {
                release_both(req, nullptr);
                co_return nullptr;
            }
            if (replacement.get() == Py_None) {  // the client is gone: nothing to answer
                release_both(req, nullptr);
                co_return Py_NewRef(Py_None);
            }
            if (!is_response(replacement.get())) {
                args::raise_expected("Response", replacement.get());
                release_both(req, nullptr);
                co_return nullptr;
            }
            response = Root(std::move(replacement));
        }
    }
    auto* resp = reinterpret_cast<ResponseObject*>(response.get());

    Ref sent = Ref::steal(send_rsgi_response_sync(resp, protocol.get()));
    if (sent && sent.get() != Py_None) sent = co_await std::move(sent);  // a streamed body
    if (!sent) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            release_both(req, resp);
            co_return nullptr;
        }
        Handling failure;
        Ref hook = Ref::borrow(self->on_send_failure);
        Ref logged = Ref::steal(call_hook(hook.get(), failure.exception(), scope.get()));
        if (!logged) {
            release_both(req, resp);
            co_return nullptr;
        }
    }
    release_both(req, resp);
    if (PyErr_Occurred()) co_return nullptr;
    co_return Py_NewRef(Py_None);
}

PyObject* exchange_rsgi(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"scope", "protocol"};
    static args::Signature sig{"__rsgi__", names, 2, 2};
    PyObject* a[2];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    ExchangeObject* self = as_exchange(op);
    if (!self->handler) {
        PyErr_SetString(PyExc_RuntimeError, "RSGIExchange.__init__() was not called");
        return nullptr;
    }
    return coro::make_coroutine(exchange_body(Root::borrow(op), Root::borrow(a[0]), Root::borrow(a[1])),
                                "RSGIExchange.__rsgi__");
}

int exchange_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"handler", "on_failure", "on_send_failure", nullptr};
    PyObject *handler, *on_failure, *on_send_failure;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:RSGIExchange", const_cast<char**>(keywords), &handler,
                                     &on_failure, &on_send_failure))
        return -1;
    for (PyObject* f : {handler, on_failure, on_send_failure}) {
        if (!PyCallable_Check(f)) {
            PyErr_Format(PyExc_TypeError, "RSGIExchange() arguments must be callable, got %.200s",
                         Py_TYPE(f)->tp_name);
            return -1;
        }
    }
    ExchangeObject* self = as_exchange(op);
    Py_XSETREF(self->handler, Py_NewRef(handler));
    Py_XSETREF(self->on_failure, Py_NewRef(on_failure));
    Py_XSETREF(self->on_send_failure, Py_NewRef(on_send_failure));
    return 0;
}

PyMethodDef exchange_methods[] = {
    {"__rsgi__", BW_METH_FASTCALL_KW(exchange_rsgi),
     "__rsgi__(scope, protocol) -> coroutine\n\nServes one RSGI exchange through the handler."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef exchange_members[] = {
    {"handler", Py_T_OBJECT_EX, offsetof(ExchangeObject, handler), Py_READONLY,
     "The async callable that turns a Request into a Response."},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot exchange_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(ExchangeFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(ExchangeFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(ExchangeFields::clear)},
    {Py_tp_init, reinterpret_cast<void*>(exchange_init)},
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_methods, exchange_methods},
    {Py_tp_members, exchange_members},
    {Py_tp_doc, const_cast<char*>("RSGIExchange(handler, on_failure, on_send_failure)\n\n"
                                  "An RSGI application serving `await handler(request) -> Response`.")},
    {0, nullptr},
};

PyType_Spec exchange_spec = {
    "brindlewick.scribe.RSGIExchange",
    sizeof(ExchangeObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    exchange_slots,
};

}  // namespace

int init_rsgi_exchange(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &exchange_spec, nullptr);
    if (!type) return -1;
    int added = PyModule_AddObjectRef(module, "RSGIExchange", type);
    Py_DECREF(type);
    return added;
}

}  // namespace bw::scribe
