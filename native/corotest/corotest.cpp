// Module brindlewick._corotest: native coroutines and async generators built
// on bw::coro, for the tests and benchmarks of the facility only.
#include <Python.h>

#include <stdexcept>

#include "brindlewick/args.hpp"
#include "brindlewick/capi.hpp"
#include "brindlewick/coro.hpp"
#include "brindlewick/pyref.hpp"

namespace {

using bw::Ref;
using bw::coro::AsyncGen;
using bw::coro::Handling;
using bw::coro::Root;
using bw::coro::Task;

bool count(const char* func, Py_ssize_t min, Py_ssize_t max, Py_ssize_t nargs) {
    if (nargs >= min && nargs <= max) return true;
    bw::args::raise_count(func, min, max, nargs);
    return false;
}

// ---- coroutines ---------------------------------------------------------------

// return await awaitable
Task echo_after(Root awaitable) {
    Ref r = co_await awaitable;
    co_return r;
}

// return [await a for a in awaitables]
Task await_all(Root awaitables) {
    Root results = Root::steal(PyList_New(0));
    if (!results) co_return nullptr;
    Root it = Root::steal(PyObject_GetIter(awaitables.get()));
    if (!it) co_return nullptr;
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) {
            if (PyErr_Occurred()) co_return nullptr;
            break;
        }
        Ref r = co_await std::move(item);
        if (!r) co_return nullptr;
        if (PyList_Append(results.get(), r.get()) < 0) co_return nullptr;
    }
    co_return std::move(results);
}

// await awaitable; raise exc
Task raise_after(Root awaitable, Root exc) {
    Ref r = co_await awaitable.get();
    if (!r) co_return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    co_return nullptr;
}

// try: return await awaitable
// except exc_type: return value
Task catch_after(Root awaitable, Root exc_type, Root value) {
    Ref r = co_await awaitable.get();
    if (r) co_return r;
    if (!PyErr_ExceptionMatches(exc_type.get())) co_return nullptr;
    PyErr_Clear();
    co_return value.newref();
}

// try: return await awaitable
// except BaseException as e:
//     if then is not None: await then
//     raise new_type(message) [from e]
Task raise_in_handler(Root awaitable, Root new_type, Root message, bool cause, Root then) {
    Ref r = co_await awaitable.get();
    if (r) co_return r;
    Handling handling;
    if (then.get() != Py_None) {
        Ref t = co_await then.get();
        if (!t) co_return nullptr;
    }
    PyErr_SetObject(new_type.get(), message.get());
    if (cause) co_return bw::coro::raise_from(handling.exception());
    co_return nullptr;
}

// try: await first
// except BaseException:
//     await second
//     return probe()
Task handled_across_await(Root first, Root second, Root probe) {
    Ref r = co_await first.get();
    if (r) co_return Ref::borrow(Py_None);
    Handling handling;
    Ref s = co_await second.get();
    if (!s) co_return nullptr;
    co_return PyObject_CallNoArgs(probe.get());
}

// obj stays referenced by the frame (as a GC-visible root) while awaiting.
Task hold([[maybe_unused]] Root obj, Root awaitable) {
    Ref r = co_await awaitable.get();
    co_return r;
}

// Same, holding obj in a plain reference the collector cannot see.
Task hold_plain([[maybe_unused]] Ref obj, Root awaitable) {
    Ref r = co_await awaitable.get();
    co_return r;
}

// await awaitable; raise StopIteration(value)
Task raise_stop(Root awaitable, Root value) {
    Ref r = co_await awaitable.get();
    if (!r) co_return nullptr;
    PyErr_SetObject(PyExc_StopIteration, value.get());
    co_return nullptr;
}

Task return_null() { co_return nullptr; }

Task return_with_error() {
    PyErr_SetString(PyExc_ValueError, "stray");
    co_return Ref::borrow(Py_None);
}

Task throw_cxx(Root awaitable) {
    Ref r = co_await awaitable.get();
    if (!r) co_return nullptr;
    throw std::runtime_error("boom");
}

// return await obj.name()
Task call_method(Root obj, Root name) {
    Ref r = co_await bw::coro::await_method(obj.get(), name.get());
    co_return r;
}

// return await fn(arg)
Task call_fn(Root fn, Root arg) {
    Ref r = co_await bw::coro::await_call(fn.get(), arg.get());
    co_return r;
}

// return [x async for x in iterable]
Task drain(Root iterable) {
    Root items = Root::steal(PyList_New(0));
    if (!items) co_return nullptr;
    Root it = Root::steal(bw::coro::aiter(iterable.get()));
    if (!it) co_return nullptr;
    for (;;) {
        Ref item = co_await bw::coro::anext(it.get());
        if (!item) {
            if (bw::coro::end_of_iteration()) break;
            co_return nullptr;
        }
        if (PyList_Append(items.get(), item.get()) < 0) co_return nullptr;
    }
    co_return std::move(items);
}

// try: await awaitable
// except BaseException: await again   (ignores GeneratorExit on close)
Task ignore_exit(Root awaitable, Root again) {
    Ref r = co_await awaitable.get();
    if (r) co_return r;
    PyErr_Clear();
    Ref s = co_await again.get();
    co_return s;
}

Task noop(Root value) { co_return value.newref(); }

// Calls `fn()` when destroyed (a body's `finally`); a failure is reported
// as unraisable, as an error in a finally block during close would be lost.
struct OnExit {
    PyObject* fn;
    ~OnExit() {
        PyObject* pending = PyErr_GetRaisedException();
        PyObject* r = PyObject_CallNoArgs(fn);
        if (r) Py_DECREF(r);
        else PyErr_WriteUnraisable(fn);
        PyErr_SetRaisedException(pending);
    }
};

// try: return await awaitable
// finally: on_exit()
Task call_on_exit(Root awaitable, Root on_exit) {
    OnExit guard{on_exit.get()};
    Ref r = co_await awaitable.get();
    co_return r;
}

// ---- async generators ------------------------------------------------------------

// for a in awaitables: sent.append((yield await a))
AsyncGen relay(Root awaitables, Root sent) {
    Root it = Root::steal(PyObject_GetIter(awaitables.get()));
    if (!it) co_return;
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) co_return;  // the end, or the error of next()
        Ref value = co_await std::move(item);
        if (!value) co_return;
        Ref got = co_yield std::move(value);
        if (!got) co_return;
        if (sent.get() != Py_None && PyList_Append(sent.get(), got.get()) < 0) co_return;
    }
}

// for i in range(n): [await awaitable]; yield i     -- holding obj
AsyncGen hold_gen([[maybe_unused]] Root obj, Py_ssize_t n, Root awaitable) {
    for (Py_ssize_t i = 0; i < n; i++) {
        if (awaitable.get() != Py_None) {
            Ref r = co_await awaitable.get();
            if (!r) co_return;
        }
        Ref item = Ref::steal(PyLong_FromSsize_t(i));
        Ref got = co_yield item;  // borrowed: `item` keeps its reference
        if (!got) co_return;
    }
}

// for i in range(n):
//     try: yield i
//     except exc_type: yield "caught"; return
AsyncGen catching(Py_ssize_t n, Root exc_type) {
    for (Py_ssize_t i = 0; i < n; i++) {
        Ref got = co_yield Ref::steal(PyLong_FromSsize_t(i));
        if (!got) {
            if (!PyErr_ExceptionMatches(exc_type.get())) co_return;
            PyErr_Clear();
            Ref again = co_yield Ref::steal(PyUnicode_FromString("caught"));
            co_return;
        }
    }
}

// try: yield 1
// except BaseException: yield 2
AsyncGen ignoring_exit() {
    Ref got = co_yield Ref::steal(PyLong_FromLong(1));
    if (!got) {
        PyErr_Clear();
        Ref again = co_yield Ref::steal(PyLong_FromLong(2));
    }
}

// yield 1; raise exc
AsyncGen raising_gen(Root exc) {
    Ref got = co_yield Ref::steal(PyLong_FromLong(1));
    if (!got) co_return;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

AsyncGen range_gen(Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; i++) {
        Ref got = co_yield Ref::steal(PyLong_FromSsize_t(i));
        if (!got) co_return;
    }
}

// ---- Python entry points -----------------------------------------------------------

Root arg(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t i) {
    return Root::borrow(i < nargs ? args[i] : Py_None);
}

#define BW_ENTRY(name, min, max, expr)                                                   \
    [[maybe_unused]] PyObject* py_##name(PyObject*, [[maybe_unused]] PyObject* const* args, Py_ssize_t nargs) {          \
        if (!count(#name, min, max, nargs)) return nullptr;                              \
        return expr;                                                                     \
    }

BW_ENTRY(echo_after, 1, 1, bw::coro::make_coroutine(echo_after(arg(args, nargs, 0)), "echo_after"))
BW_ENTRY(await_all, 1, 1, bw::coro::make_coroutine(await_all(arg(args, nargs, 0)), "await_all"))
BW_ENTRY(raise_after, 2, 2, bw::coro::make_coroutine(raise_after(arg(args, nargs, 0), arg(args, nargs, 1)), "raise_after"))
BW_ENTRY(catch_after, 3, 3,
         bw::coro::make_coroutine(catch_after(arg(args, nargs, 0), arg(args, nargs, 1), arg(args, nargs, 2)),
                                  "catch_after"))
BW_ENTRY(handled_across_await, 3, 3,
         bw::coro::make_coroutine(handled_across_await(arg(args, nargs, 0), arg(args, nargs, 1),
                                                       arg(args, nargs, 2)),
                                  "handled_across_await"))
BW_ENTRY(hold, 2, 2, bw::coro::make_coroutine(hold(arg(args, nargs, 0), arg(args, nargs, 1)), "hold"))
BW_ENTRY(hold_plain, 2, 2,
         bw::coro::make_coroutine(hold_plain(Ref::borrow(args[0]), arg(args, nargs, 1)), "hold_plain"))
BW_ENTRY(raise_stop, 2, 2, bw::coro::make_coroutine(raise_stop(arg(args, nargs, 0), arg(args, nargs, 1)), "raise_stop"))
BW_ENTRY(return_null, 0, 0, bw::coro::make_coroutine(return_null(), "return_null"))
BW_ENTRY(return_with_error, 0, 0, bw::coro::make_coroutine(return_with_error(), "return_with_error"))
BW_ENTRY(throw_cxx, 1, 1, bw::coro::make_coroutine(throw_cxx(arg(args, nargs, 0)), "throw_cxx"))
BW_ENTRY(call_method, 2, 2, bw::coro::make_coroutine(call_method(arg(args, nargs, 0), arg(args, nargs, 1)), "call_method"))
BW_ENTRY(call_fn, 2, 2, bw::coro::make_coroutine(call_fn(arg(args, nargs, 0), arg(args, nargs, 1)), "call_fn"))
BW_ENTRY(drain, 1, 1, bw::coro::make_coroutine(drain(arg(args, nargs, 0)), "drain"))
BW_ENTRY(ignore_exit, 2, 2, bw::coro::make_coroutine(ignore_exit(arg(args, nargs, 0), arg(args, nargs, 1)), "ignore_exit"))
BW_ENTRY(call_on_exit, 2, 2,
         bw::coro::make_coroutine(call_on_exit(arg(args, nargs, 0), arg(args, nargs, 1)), "call_on_exit"))
BW_ENTRY(noop, 0, 1, bw::coro::make_coroutine(noop(arg(args, nargs, 0)), "noop"))
BW_ENTRY(relay, 1, 2, bw::coro::make_async_gen(relay(arg(args, nargs, 0), arg(args, nargs, 1)), "relay"))
BW_ENTRY(ignoring_exit, 0, 0, bw::coro::make_async_gen(ignoring_exit(), "ignoring_exit"))
BW_ENTRY(raising_gen, 1, 1, bw::coro::make_async_gen(raising_gen(arg(args, nargs, 0)), "raising_gen"))

PyObject* py_raise_in_handler(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!count("raise_in_handler", 5, 5, nargs)) return nullptr;
    int cause = PyObject_IsTrue(args[3]);
    if (cause < 0) return nullptr;
    return bw::coro::make_coroutine(raise_in_handler(arg(args, nargs, 0), arg(args, nargs, 1), arg(args, nargs, 2),
                                                     cause != 0, arg(args, nargs, 4)),
                                    "raise_in_handler");
}

bool size_arg(PyObject* obj, Py_ssize_t* out) {
    *out = PyLong_AsSsize_t(obj);
    return !(*out == -1 && PyErr_Occurred());
}

PyObject* py_hold_gen(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!count("hold_gen", 2, 3, nargs)) return nullptr;
    Py_ssize_t n;
    if (!size_arg(args[1], &n)) return nullptr;
    return bw::coro::make_async_gen(hold_gen(arg(args, nargs, 0), n, arg(args, nargs, 2)), "hold_gen");
}

PyObject* py_catching(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!count("catching", 2, 2, nargs)) return nullptr;
    Py_ssize_t n;
    if (!size_arg(args[0], &n)) return nullptr;
    return bw::coro::make_async_gen(catching(n, arg(args, nargs, 1)), "catching");
}

PyObject* py_range_gen(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!count("range_gen", 1, 1, nargs)) return nullptr;
    Py_ssize_t n;
    if (!size_arg(args[0], &n)) return nullptr;
    return bw::coro::make_async_gen(range_gen(n), "range_gen");
}

#define BW_DEF(name) {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(py_##name)), METH_FASTCALL, nullptr}

PyMethodDef methods[] = {
    BW_DEF(echo_after),   BW_DEF(await_all),   BW_DEF(raise_after),     BW_DEF(catch_after),
    BW_DEF(handled_across_await), BW_DEF(hold), BW_DEF(hold_plain),   BW_DEF(raise_stop),
    BW_DEF(return_null),  BW_DEF(return_with_error), BW_DEF(throw_cxx), BW_DEF(call_method),
    BW_DEF(call_fn),      BW_DEF(drain),       BW_DEF(ignore_exit),     BW_DEF(noop),
    BW_DEF(relay),        BW_DEF(ignoring_exit), BW_DEF(raising_gen),   BW_DEF(raise_in_handler),
    BW_DEF(hold_gen),     BW_DEF(catching),    BW_DEF(range_gen),       BW_DEF(call_on_exit),
    {nullptr, nullptr, 0, nullptr},
};

int exec(PyObject* module) {
    if (!bw::coro::coroutine_type()) return -1;
    if (PyModule_AddObjectRef(module, "NativeCoroutine", reinterpret_cast<PyObject*>(bw::coro::coroutine_type())) < 0)
        return -1;
    if (PyModule_AddObjectRef(module, "NativeAsyncGenerator",
                              reinterpret_cast<PyObject*>(bw::coro::async_gen_type())) < 0)
        return -1;
    return 0;
}

bw::capi::PackageModule module_def{"brindlewick._corotest", "_corotest", "Native coroutines for testing bw::coro.",
                                   methods, exec};

}  // namespace

PyMODINIT_FUNC PyInit__corotest(void) { return module_def.init(); }
