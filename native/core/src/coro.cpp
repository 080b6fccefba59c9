// Native coroutines and async generators: the driver and the Python types.
//
// A FrameObject owns one C++ coroutine frame, stored at its end.  Driving it
// follows Python's generator machinery step for step:
//  * send(v): if the body is suspended on an awaitable, v goes to that
//    awaitable's iterator (PyIter_Send); whatever it yields is handed out
//    unchanged, and when it completes (or fails) the body is resumed with the
//    result (or with the error pending).  At a `co_yield`, v resumes the body.
//  * throw(e): delegated to the awaited iterator's throw() when it has one
//    (that is how asyncio's CancelledError reaches a Future), otherwise raised
//    at the body's suspension point.
//  * close(): closes the awaited iterator, then raises GeneratorExit in the
//    body; a body that goes on awaiting or yielding is a RuntimeError.  A
//    chain of native coroutines awaiting each other is closed level by level
//    from the bottom up, without recursion.
// Each resume, and each send into the awaited iterator, pushes the frame's
// own exception-handling state on the thread, so what a body handles
// (bw::coro::Handling) is what the awaited code sees and chains to, survives
// the body's suspensions and never leaks into its caller.
#define BRINDLEWICK_CORE_BUILD
#include "brindlewick/coro.hpp"

#include <frameobject.h>  // PyFrame_New: public, but not included by Python.h

#include <cstring>
#include <exception>
#include <new>

#include "brindlewick/buffer.hpp"
#include "core_state.hpp"

namespace bw::coro {

namespace {

using core::state;

// Thread-locals, per thread by nature: they describe the C stack of the
// thread that runs them, and coroutines are created and resumed by the
// thread holding the interpreter lock.
//
// The frame that Roots constructed now belong to: the frame being created
// (while its parameters are copied in) or the frame being resumed.
[[gnu::tls_model("initial-exec")]] thread_local FrameObject* tls_target = nullptr;
// How many drives (send, throw, close) are nested on this thread's stack.
[[gnu::tls_model("initial-exec")]] thread_local int tls_drive_depth = 0;
// A drive on this stack has hit the recursion limit: closes of coroutines
// dropped while the error unwinds would run with no stack left, so they are
// deferred until the outermost drive returns.
[[gnu::tls_model("initial-exec")]] thread_local bool tls_recursion_hit = false;
// Closes deferred that way (linked through FrameObject::deferred_next).
[[gnu::tls_model("initial-exec")]] thread_local FrameObject* tls_deferred = nullptr;
[[gnu::tls_model("initial-exec")]] thread_local bool tls_running_deferred = false;
// The native coroutine whose drive (send or throw) was just refused for want
// of stack before anything ran in it, or that handed such a refusal up
// unchanged; null otherwise.  Cleared by every drive that starts and by
// every resume of a body, so it names only the object that the pending
// RecursionError came straight from.
[[gnu::tls_model("initial-exec")]] thread_local FrameObject* tls_refused = nullptr;

enum Step { kNext, kYield, kReturn, kError };

using Handle = std::coroutine_handle<>;

const char* noun(const FrameObject* f) { return f->kind == Kind::Coroutine ? "coroutine" : "async generator"; }

const char* qualname_of(const FrameObject* f) { return f->qualname ? f->qualname : "<native>"; }

FrameObject* as_frame(PyObject* op) { return reinterpret_cast<FrameObject*>(op); }

PyObject* close_core(FrameObject* f);

void destroy_frame(FrameObject* f);

// Runs what was deferred while a recursion error unwound (the cleanup of
// bodies that finished then, the closes of coroutines dropped then), now
// that the stack is back where the outermost drive started.  Errors are
// reported as the finalizer reports them; a pending error is kept.
void run_deferred_closes() {
    tls_running_deferred = true;
    PyObject* pending = PyErr_GetRaisedException();
    while (FrameObject* f = tls_deferred) {
        tls_deferred = std::exchange(f->deferred_next, nullptr);
        if (f->status == Status::Done) {
            destroy_frame(f);
            Py_CLEAR(f->exc_state.exc_value);
            Py_DECREF(f);
            continue;
        }
        PyObject* r = close_core(f);
        if (r) Py_DECREF(r);
        else PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(f));
        Py_DECREF(f);
    }
    PyErr_SetRaisedException(pending);
    tls_running_deferred = false;
}

// Queues `f` (a new reference is taken) for run_deferred_closes().
void defer(FrameObject* f) {
    f->deferred_next = tls_deferred;
    tls_deferred = reinterpret_cast<FrameObject*>(Py_NewRef(reinterpret_cast<PyObject*>(f)));
}

// Whether cleanup must wait for the outermost drive: a recursion error is
// unwinding, and Python code run by a body's destructors now would fail for
// want of stack (so that its `finally` would never run).
bool must_defer() { return tls_recursion_hit && tls_drive_depth > 0; }

// Marks one drive on this thread's stack for as long as it lives.
struct DriveScope {
    DriveScope() noexcept { ++tls_drive_depth; }
    ~DriveScope() {
        if (--tls_drive_depth != 0) return;
        tls_recursion_hit = false;
        if (tls_deferred && !tls_running_deferred) run_deferred_closes();
    }
    DriveScope(const DriveScope&) = delete;
    DriveScope& operator=(const DriveScope&) = delete;
};

// Chains of native coroutines awaiting each other recurse on the C stack:
// deep ones end in RecursionError, as Python's own do.
#if PY_VERSION_HEX < 0x030E0000
// Before 3.14 the interpreter counts C recursion against a fixed limit that
// does not know how much stack each level takes; a chain of native awaits
// takes several C frames per level, so it keeps a tighter count of its own.
constexpr int kMaxDriveDepth = 2000;
#endif

// One level of C recursion for a drive: false with RecursionError when the
// stack is used up.
bool enter_drive_level() {
#if PY_VERSION_HEX < 0x030E0000
    if (BW_UNLIKELY(tls_drive_depth > kMaxDriveDepth)) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while driving a native coroutine");
        tls_recursion_hit = true;
        return false;
    }
#endif
    if (BW_UNLIKELY(Py_EnterRecursiveCall(" while driving a native coroutine"))) {
        tls_recursion_hit = true;
        return false;
    }
    return true;
}

// Enters one level of driving of `f`: false with RecursionError when the
// stack is used up, and nothing has run.  A true result is paired with
// Py_LeaveRecursiveCall().
bool enter_drive(FrameObject* f) {
    tls_refused = nullptr;
    if (BW_LIKELY(enter_drive_level())) return true;
    tls_refused = f;
    return false;
}

// After the awaited iterator `inner` of `f` failed: whether that was a drive
// of a native coroutine refused for want of stack (nothing ran anywhere
// below).  Then `f` stays suspended at the same await and hands the refusal
// up without resuming its body: a chain too deep for the stack it is driven
// from raises RecursionError and is left as it was, so that a later send
// from a shallower stack continues it and close() (which never recurses)
// runs every level's cleanup.  Resuming the bodies instead would run their
// cleanup at the deepest point of the stack, where it fails for want of
// stack too.
bool pass_refusal_up(FrameObject* f, PyObject* inner) {
    if (BW_LIKELY(!tls_refused || reinterpret_cast<PyObject*>(tls_refused) != inner)) return false;
    tls_refused = f;
    return true;
}

// Runs frame-owned destructors with the frame's exception state on top of
// the thread's, and with no pending error visible to them.
void destroy_frame(FrameObject* f) {
    if (!f->frame) return;
    void* address = std::exchange(f->frame, nullptr);
    PyObject* pending = PyErr_GetRaisedException();
    PyThreadState* ts = PyThreadState_Get();
    push_exc_item(ts, &f->exc_state);
    FrameObject* saved = std::exchange(tls_target, nullptr);
    Handle::from_address(address).destroy();
    tls_target = saved;
    pop_exc_item(ts, &f->exc_state);
    // Roots that outlived the frame (misuse) must not point into it.
    for (RootLink* node = f->roots.next; node;) {
        RootLink* next = node->next;
        node->prev = node->next = nullptr;
        node = next;
    }
    f->roots.next = nullptr;
    Py_CLEAR(f->pyframe);  // a finished coroutine has no frame (cr_frame is None)
    PyErr_SetRaisedException(pending);
}

// Replaces the pending error by `type(message)` with the original as cause.
void replace_error(PyObject* type, const char* message) {
    PyObject* original = PyErr_GetRaisedException();
    PyErr_SetString(type, message);
    PyObject* replacement = PyErr_GetRaisedException();
    if (original) {
        PyException_SetCause(replacement, Py_NewRef(original));
        PyException_SetContext(replacement, original);
    }
    PyErr_SetRaisedException(replacement);
}

PyObject* new_pyframe(const FrameObject* f);

// An error leaving a body passes through the frame standing for it, as it
// passes through a Python coroutine's frame: tracebacks name the native
// body (`File "<native>", line 1, in read`).  A failure to make the entry
// leaves the error as it was.
void add_traceback_entry(FrameObject* f) {
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* frame = new_pyframe(f);
    if (!frame) {
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        return;
    }
    PyErr_SetRaisedException(Py_NewRef(exc));
    if (PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame)) < 0) {
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
    } else {
        Py_DECREF(exc);
    }
    Py_DECREF(frame);
}

// After the body ended: its outcome as a step.
Step finish(FrameObject* f, PyObject** out) {
    Ref result = Ref::steal(std::exchange(f->result, nullptr));
    f->status = Status::Done;
    f->closed = true;
    if (BW_UNLIKELY(must_defer())) {
        defer(f);  // its destructors run once the stack has unwound
    } else {
        destroy_frame(f);
        Py_CLEAR(f->exc_state.exc_value);
    }
    if (PyErr_Occurred()) {
        if (result) {
            replace_error(PyExc_SystemError, "native coroutine returned a result with an exception set");
        } else if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            replace_error(PyExc_RuntimeError, f->kind == Kind::Coroutine ? "coroutine raised StopIteration"
                                                                          : "async generator raised StopIteration");
        } else if (f->kind == Kind::AsyncGen && PyErr_ExceptionMatches(PyExc_StopAsyncIteration)) {
            replace_error(PyExc_RuntimeError, "async generator raised StopAsyncIteration");
        }
        // The GeneratorExit of a close is the closer's to swallow: no frame
        // is made for a traceback nobody sees.
        if (!PyErr_ExceptionMatches(PyExc_GeneratorExit)) add_traceback_entry(f);
        return kError;
    }
    if (f->kind == Kind::AsyncGen) {
        *out = Py_NewRef(Py_None);
        return kReturn;
    }
    if (!result) {
        PyErr_Format(PyExc_SystemError, "native coroutine '%s' returned NULL without setting an exception",
                     qualname_of(f));
        add_traceback_entry(f);
        return kError;
    }
    *out = result.release();
    return kReturn;
}

// Resumes the body, handing it `value` (stolen; null = the pending error).
// An error raised into the body is chained to the exception the body is
// handling, as the interpreter does when it resumes a frame with one.
Step resume(FrameObject* f, PyObject* value, PyObject** out) {
    Py_INCREF(f);  // the body may drop the last outside reference
    f->value = value;
    f->yielded = false;
    f->status = Status::Running;
    PyThreadState* ts = PyThreadState_Get();
    push_exc_item(ts, &f->exc_state);
    if (!value && f->exc_state.exc_value && f->exc_state.exc_value != Py_None && PyErr_Occurred()) {
        PyObject* exc = PyErr_GetRaisedException();
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);  // sets __context__
        Py_DECREF(exc);
    }
    FrameObject* saved = std::exchange(tls_target, f);
    Handle h = Handle::from_address(f->frame);
    h.resume();
    tls_target = saved;
    tls_refused = nullptr;  // whatever the body drove, the outcome is the body's
    pop_exc_item(ts, &f->exc_state);
    if (PyObject* left = std::exchange(f->value, nullptr)) Py_DECREF(left);
    Step s;
    if (h.done()) {
        s = finish(f, out);
    } else {
        f->status = Status::Suspended;
        *out = std::exchange(f->out, nullptr);
        s = f->yielded ? kYield : kNext;
    }
    Py_DECREF(f);
    return s;
}

bool check_not_running(FrameObject* f) {
    if (BW_LIKELY(f->status != Status::Running)) return true;
    PyErr_Format(PyExc_ValueError, "%s already executing", noun(f));
    return false;
}

// Value of the pending StopIteration (new reference), clearing it.
PyObject* fetch_stop_value() {
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* value = Py_NewRef(reinterpret_cast<PyStopIterationObject*>(exc)->value);
    Py_DECREF(exc);
    return value;
}

// Sends into the awaited iterator with the frame's handled exception on the
// thread's stack (the awaited code runs inside the body's await).  The
// status is Running meanwhile, so f->inner cannot change under the call.
PySendResult send_inner(FrameObject* f, PyObject* arg, PyObject** r) {
    PyThreadState* ts = PyThreadState_Get();
    f->status = Status::Running;
    push_exc_item(ts, &f->exc_state);
    PySendResult s = PyIter_Send(f->inner, arg, r);
    pop_exc_item(ts, &f->exc_state);
    f->status = Status::Suspended;
    return s;
}

Step send_core_unguarded(FrameObject* f, PyObject* arg, PyObject** out) {
    switch (f->status) {
        case Status::Suspended:
            if (f->inner) {
                PyObject* r = nullptr;
                PySendResult s = send_inner(f, arg, &r);
                if (s == PYGEN_NEXT) {
                    *out = r;
                    return kNext;
                }
                if (BW_UNLIKELY(s == PYGEN_ERROR && pass_refusal_up(f, f->inner))) return kError;
                Py_CLEAR(f->inner);
                return resume(f, s == PYGEN_RETURN ? r : nullptr, out);
            }
            return resume(f, Py_NewRef(arg), out);
        case Status::Created:
            if (arg != Py_None) {
                PyErr_Format(PyExc_TypeError, "can't send non-None value to a just-started %s", noun(f));
                return kError;
            }
            return resume(f, nullptr, out);
        case Status::Running:
            check_not_running(f);
            return kError;
        case Status::Done:
            break;
    }
    if (f->kind == Kind::AsyncGen) {
        *out = Py_NewRef(Py_None);
        return kReturn;
    }
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return kError;
}

Step send_core(FrameObject* f, PyObject* arg, PyObject** out) {
    DriveScope scope;
    if (BW_UNLIKELY(!enter_drive(f))) return kError;
    Step s = send_core_unguarded(f, arg, out);
    Py_LeaveRecursiveCall();
    return s;
}

// Closes an awaited iterator: 0, or -1 with its error pending.
int close_iter(PyObject* it) {
    PyObject* close = nullptr;
    if (PyObject_GetOptionalAttrString(it, "close", &close) < 0) return -1;
    if (!close) return 0;
    PyObject* r = PyObject_CallNoArgs(close);
    Py_DECREF(close);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

Step throw_core(FrameObject* f, PyObject* exc, bool close_on_genexit, PyObject** out);

// Raises `exc` (borrowed instance) at the body's suspension point, handing it
// to the awaited iterator first.
Step throw_unguarded(FrameObject* f, PyObject* exc, bool close_on_genexit, PyObject** out) {
    if (!check_not_running(f)) return kError;
    if (f->status == Status::Done) {
        if (f->kind == Kind::Coroutine) {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        } else {
            PyErr_SetRaisedException(Py_NewRef(exc));
        }
        return kError;
    }
    if (f->status == Status::Created) {
        // Raised before the first statement: the body never runs.
        f->status = Status::Done;
        f->closed = true;
        destroy_frame(f);
        PyErr_SetRaisedException(Py_NewRef(exc));
        return kError;
    }
    if (f->inner) {
        // Running while Python code looks up and runs the iterator's methods:
        // a re-entrant send or close is refused instead of changing f->inner
        // under this call.
        f->status = Status::Running;
        if (close_on_genexit && PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
            int err = close_iter(f->inner);
            f->status = Status::Suspended;
            Py_CLEAR(f->inner);
            if (err < 0) return resume(f, nullptr, out);  // the close error replaces GeneratorExit
        } else if (Py_IS_TYPE(f->inner, state.coro_type)) {
            // A native coroutine is thrown into directly, as the interpreter
            // throws into its own: no method call in between, so that a
            // drive refused for want of stack is the awaited frame's own.
            PyObject* r = nullptr;
            Step s = throw_core(as_frame(f->inner), exc, close_on_genexit, &r);
            f->status = Status::Suspended;
            if (s == kNext || s == kYield) {
                *out = r;
                return kNext;
            }
            if (s == kError && BW_UNLIKELY(pass_refusal_up(f, f->inner))) return kError;
            Py_CLEAR(f->inner);
            return resume(f, s == kReturn ? r : nullptr, out);
        } else {
            PyObject* meth = nullptr;
            if (PyObject_GetOptionalAttrString(f->inner, "throw", &meth) < 0) {
                f->status = Status::Suspended;
                Py_CLEAR(f->inner);
                return resume(f, nullptr, out);
            }
            if (meth) {
                PyObject* r = PyObject_CallOneArg(meth, exc);
                f->status = Status::Suspended;
                Py_DECREF(meth);
                if (r) {
                    *out = r;
                    return kNext;
                }
                Py_CLEAR(f->inner);
                if (PyErr_ExceptionMatches(PyExc_StopIteration)) return resume(f, fetch_stop_value(), out);
                return resume(f, nullptr, out);
            }
            f->status = Status::Suspended;
            Py_CLEAR(f->inner);
        }
    }
    PyErr_SetRaisedException(Py_NewRef(exc));
    return resume(f, nullptr, out);
}

Step throw_core(FrameObject* f, PyObject* exc, bool close_on_genexit, PyObject** out) {
    DriveScope scope;
    if (BW_UNLIKELY(!enter_drive(f))) return kError;
    Step s = throw_unguarded(f, exc, close_on_genexit, out);
    Py_LeaveRecursiveCall();
    return s;
}

// What close() gives once GeneratorExit (or the error closing the awaited
// iterator) went into the body and it answered with step `s`.
PyObject* close_outcome(FrameObject* f, Step s, PyObject* out) {
    if (s == kNext || s == kYield) {
        Py_DECREF(out);
        PyErr_Format(PyExc_RuntimeError, "%s ignored GeneratorExit", noun(f));
        return nullptr;
    }
    if (s == kReturn) return out;
    if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

// The levels of a chain to close: `top`, then each suspended native
// coroutine that the previous one awaits.  Each holds a reference.
using Chain = SmallArray<FrameObject*, 16>;

bool collect_chain(FrameObject* top, Chain& chain) {
    for (FrameObject* f = top;;) {
        if (!chain.push_back(f)) return false;
        Py_INCREF(f);
        PyObject* in = f->inner;
        if (!in || !Py_IS_TYPE(in, state.coro_type)) return true;
        FrameObject* g = as_frame(in);
        if (g->status != Status::Suspended || !g->frame) return true;
        f = g;
    }
}

// close() of a coroutine (and the synchronous close of an async generator):
// returns the body's return value, None, or null with an error.
//
// Python closes `await` chains recursively: closing a frame first closes
// what it awaits.  Here the chain of suspended native coroutines is walked
// down first and closed from the bottom up, one level at a time, so that a
// chain of any length closes within a constant amount of C stack and every
// body's cleanup runs in the same order as Python's.  While a lower level is
// closed, the levels above it count as running, as Python's do.
PyObject* close_core(FrameObject* top) {
    if (!check_not_running(top)) return nullptr;
    if (top->status == Status::Done) Py_RETURN_NONE;
    if (top->status == Status::Created) {
        top->status = Status::Done;
        top->closed = true;
        destroy_frame(top);
        Py_RETURN_NONE;
    }
    DriveScope scope;
    Chain chain;
    bool collected = collect_chain(top, chain);
    if (!collected) {
        for (FrameObject* f : chain) Py_DECREF(f);
        return nullptr;
    }
    for (FrameObject* f : chain) f->status = Status::Running;
    size_t n = chain.size();
    PyObject* result = nullptr;
    int err = 0;
    FrameObject* bottom = chain[n - 1];
    if (bottom->inner) {
        err = close_iter(bottom->inner);
        Py_CLEAR(bottom->inner);
    }
    for (size_t i = n; i-- > 0;) {
        FrameObject* f = chain[i];
        if (i + 1 < n) {
            // The level below is closed: its outcome is what closing the
            // awaited iterator gave this one.
            Py_CLEAR(f->inner);
            err = result ? 0 : -1;
            Py_CLEAR(result);
        }
        f->status = Status::Suspended;
        if (err == 0) PyErr_SetNone(PyExc_GeneratorExit);
        PyObject* out = nullptr;
        Step s = resume(f, nullptr, &out);
        result = close_outcome(f, s, out);
    }
    for (FrameObject* f : chain) Py_DECREF(f);
    return result;
}

// The exception of throw(value) / throw(type[, value[, traceback]]).
PyObject* exception_from_args(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        if (nargs < 1) PyErr_SetString(PyExc_TypeError, "throw expected at least 1 argument, got 0");
        else PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0)
        return nullptr;
    PyObject* type = args[0];
    PyObject* value = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject* exc;
    if (PyExceptionClass_Check(type)) {
        if (value == Py_None) PyErr_SetNone(type);
        else PyErr_SetObject(type, value);
        exc = PyErr_GetRaisedException();
        if (!PyExceptionInstance_Check(exc) || !PyErr_GivenExceptionMatches(exc, type)) {
            // Construction failed: that error is what gets raised.
            PyErr_SetRaisedException(exc);
            return nullptr;
        }
    } else if (PyExceptionInstance_Check(type)) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Py_NewRef(type);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return nullptr;
    }
    if (tb != Py_None && PyException_SetTraceback(exc, tb) < 0) {
        Py_DECREF(exc);
        return nullptr;
    }
    return exc;
}

// StopIteration(value) as the pending error (nothing pending for None from
// tp_iternext, where a bare null means the same).
void set_stop_iteration(PyObject* value) {
    PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (exc) {
        PyErr_SetRaisedException(exc);
    }
}

// Maps a step onto the result of a Python-level method.
PyObject* method_result(Step s, PyObject* out) {
    if (s == kNext || s == kYield) return out;
    if (s == kError) return nullptr;
    set_stop_iteration(out);
    Py_DECREF(out);
    return nullptr;
}

// ---- object protocol shared by both kinds ------------------------------------

int frame_traverse(PyObject* op, visitproc visit, void* arg) {
    FrameObject* f = as_frame(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(f->inner);
    Py_VISIT(f->value);
    Py_VISIT(f->out);
    Py_VISIT(f->result);
    Py_VISIT(f->pyframe);
    Py_VISIT(f->origin);
    Py_VISIT(f->exc_state.exc_value);
    for (RootLink* node = f->roots.next; node; node = node->next) Py_VISIT(static_cast<Root*>(node)->get());
    return 0;
}

int frame_clear(PyObject* op) {
    FrameObject* f = as_frame(op);
    if (f->status == Status::Running) return 0;
    if (f->frame) {
        f->status = Status::Done;
        f->closed = true;
    }
    Py_CLEAR(f->inner);
    destroy_frame(f);
    Py_CLEAR(f->value);
    Py_CLEAR(f->out);
    Py_CLEAR(f->result);
    Py_CLEAR(f->pyframe);
    Py_CLEAR(f->origin);
    Py_CLEAR(f->exc_state.exc_value);
    return 0;
}

// The never-awaited warning, with the creation point when cr_origin was
// recorded: the interpreter's own formatter (warnings module) when there is
// one, so the text is the one Python coroutines give.
int warn_never_awaited(FrameObject* f) {
    PyObject* op = reinterpret_cast<PyObject*>(f);
    if (state.warn_unawaited) {
        Ref r = Ref::steal(PyObject_CallOneArg(state.warn_unawaited, op));
        if (r) return 0;
        if (!PyErr_ExceptionMatches(PyExc_RuntimeWarning)) PyErr_Clear();
        else return -1;  // warnings turned into errors
    }
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%s' was never awaited", qualname_of(f));
}

void frame_finalize(PyObject* op) {
    FrameObject* f = as_frame(op);
    if (f->status == Status::Done || !f->frame) return;
    PyObject* pending = PyErr_GetRaisedException();
    if (f->status == Status::Created) {
        // A Task dropped before make_coroutine() (no name yet) is silent.
        if (f->kind == Kind::Coroutine && f->qualname && warn_never_awaited(f) < 0) PyErr_WriteUnraisable(op);
    } else if (f->status == Status::Suspended && must_defer()) {
        // Dropped while a recursion error unwinds: there is no stack left to
        // run its cleanup here, so it is closed once the outermost drive
        // returns (which keeps it alive until then).
        defer(f);
    } else if (f->status == Status::Suspended) {
        // Closed here and now, async generators included: a native body ends
        // on the error its co_yield gives and never awaits while closing, so
        // the event loop's asynchronous finalizer (which would keep the frame
        // and all it holds alive until a later loop turn) is not needed.
        PyObject* r = close_core(f);
        if (r) Py_DECREF(r);
        else PyErr_WriteUnraisable(op);
    }
    PyErr_SetRaisedException(pending);
}

void frame_dealloc(PyObject* op) {
    FrameObject* f = as_frame(op);
    PyObject_GC_UnTrack(op);
#if PY_VERSION_HEX < 0x030E0000
    // Long chains of coroutines awaiting each other are released one level
    // at a time (3.14 does this for every collectable object by itself).
    Py_TRASHCAN_BEGIN(op, frame_dealloc)
#endif
    if (f->weakreflist) PyObject_ClearWeakRefs(op);
    bool resurrected = false;
    if (f->status != Status::Done && f->frame) {
        // Unfinished: close it (or warn) first; the finalizer may resurrect it.
        PyObject_GC_Track(op);
        resurrected = PyObject_CallFinalizerFromDealloc(op) < 0;
        if (!resurrected) PyObject_GC_UnTrack(op);
    }
    if (!resurrected) {
        f->status = Status::Done;
        frame_clear(op);
        PyTypeObject* type = Py_TYPE(op);
        type->tp_free(op);
        Py_DECREF(type);
    }
#if PY_VERSION_HEX < 0x030E0000
    Py_TRASHCAN_END
#endif
}

PyObject* frame_repr(PyObject* op) {
    FrameObject* f = as_frame(op);
    return PyUnicode_FromFormat("<native %s object %s at %p>", noun(f), qualname_of(f), op);
}

PyObject* get_qualname(PyObject* op, void*) { return PyUnicode_FromString(qualname_of(as_frame(op))); }

PyObject* get_name(PyObject* op, void*) {
    const char* q = qualname_of(as_frame(op));
    const char* dot = std::strrchr(q, '.');
    return PyUnicode_FromString(dot ? dot + 1 : q);
}

PyObject* get_await(PyObject* op, void*) {
    FrameObject* f = as_frame(op);
    return Py_NewRef(f->inner ? f->inner : Py_None);
}

// The code object naming coroutines of `qualname` (new reference): an empty
// code object whose co_name / co_qualname say which native body it is, made
// once per qualname.
PyObject* code_for(const char* qualname) {
    for (int i = 0; i < state.code_count; i++)
        if (state.codes[i].qualname == qualname) return Py_NewRef(state.codes[i].code);
    const char* dot = std::strrchr(qualname, '.');
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("<native>", dot ? dot + 1 : qualname, 1)));
    if (!empty) return nullptr;
    Ref name = Ref::steal(PyUnicode_FromString(qualname));
    if (!name) return nullptr;
    Ref replace = Ref::steal(PyObject_GetAttr(empty.get(), state.str_replace));
    if (!replace) return nullptr;
    Ref kwnames = Ref::steal(PyTuple_Pack(1, state.str_co_qualname));
    if (!kwnames) return nullptr;
    PyObject* argv[] = {nullptr, name.get()};
    PyObject* code = PyObject_Vectorcall(replace.get(), argv + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get());
    if (!code) return nullptr;
    if (state.code_count < core::State::kMaxCodes) {
        state.codes[state.code_count++] = core::CodeEntry{qualname, Py_NewRef(code)};
    }
    return code;
}

PyObject* get_code(PyObject* op, void*) { return code_for(qualname_of(as_frame(op))); }

// A frame object of the body's code (new reference), null with an error.
PyObject* new_pyframe(const FrameObject* f) {
    Ref code = Ref::steal(code_for(qualname_of(f)));
    if (!code) return nullptr;
    return reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), state.frame_globals, nullptr));
}

// cr_frame / ag_frame: None once the body has finished (what inspect reads
// as "closed"); before that a frame object that stands for the native body
// in stack listings and asyncio's call graphs (its code is cr_code).
PyObject* get_frame(PyObject* op, void*) {
    FrameObject* f = as_frame(op);
    if (f->status == Status::Done || !f->frame) Py_RETURN_NONE;
    if (!f->pyframe) {
        PyObject* frame = new_pyframe(f);
        if (!frame) return nullptr;
        if (f->pyframe || f->status == Status::Done) {  // set meanwhile by a collection's finalizer
            Py_DECREF(frame);
            return Py_NewRef(f->pyframe ? f->pyframe : Py_None);
        }
        f->pyframe = frame;
    }
    return Py_NewRef(f->pyframe);
}

PyObject* get_origin(PyObject* op, void*) {
    PyObject* origin = as_frame(op)->origin;
    return Py_NewRef(origin ? origin : Py_None);
}

PyObject* get_running(PyObject* op, void*) { return bool_ref(as_frame(op)->status == Status::Running); }
PyObject* get_suspended(PyObject* op, void*) { return bool_ref(as_frame(op)->status == Status::Suspended); }
PyObject* get_running_async(PyObject* op, void*) { return bool_ref(as_frame(op)->running_async); }

// ---- coroutine ---------------------------------------------------------------

PyObject* coro_await(PyObject* op) {
    if (as_frame(op)->inner) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return Py_NewRef(op);
}

PySendResult coro_am_send(PyObject* op, PyObject* arg, PyObject** result) {
    PyObject* out = nullptr;
    switch (send_core(as_frame(op), arg, &out)) {
        case kNext:
        case kYield:
            *result = out;
            return PYGEN_NEXT;
        case kReturn:
            *result = out;
            return PYGEN_RETURN;
        case kError:
            break;
    }
    *result = nullptr;
    return PYGEN_ERROR;
}

PyObject* coro_iternext(PyObject* op) {
    PyObject* out = nullptr;
    Step s = send_core(as_frame(op), Py_None, &out);
    if (s == kReturn && out == Py_None) {
        Py_DECREF(out);
        return nullptr;
    }
    return method_result(s, out);
}

PyObject* coro_send(PyObject* op, PyObject* arg) {
    PyObject* out = nullptr;
    auto s = send_core(as_frame(op), arg, &out);
    return method_result(s, out);
}

PyObject* coro_throw(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
    Ref exc = Ref::steal(exception_from_args(args, nargs));
    if (!exc) return nullptr;
    PyObject* out = nullptr;
    auto s = throw_core(as_frame(op), exc.get(), true, &out);
    return method_result(s, out);
}

PyObject* coro_close(PyObject* op, PyObject*) { return close_core(as_frame(op)); }

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(value): resumes the coroutine with value."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(coro_throw)), METH_FASTCALL,
     "throw(exc): raises exc where the coroutine is suspended."},
    {"close", coro_close, METH_NOARGS, "close(): raises GeneratorExit where the coroutine is suspended."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, "Object being awaited, or None.", nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, "Frame standing for the native body, or None once finished.", nullptr},
    {"cr_code", get_code, nullptr, "Code object naming the native body.", nullptr},
    {"cr_origin", get_origin, nullptr, "Where the coroutine was created, when origin tracking is on.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef frame_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FrameObject, weakreflist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot coro_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(frame_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(frame_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(frame_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(frame_finalize)},
    {Py_tp_repr, reinterpret_cast<void*>(frame_repr)},
    {Py_tp_iternext, reinterpret_cast<void*>(coro_iternext)},
    {Py_am_await, reinterpret_cast<void*>(coro_await)},
    {Py_am_send, reinterpret_cast<void*>(coro_am_send)},
    {Py_tp_methods, coro_methods},
    {Py_tp_getset, coro_getset},
    {Py_tp_members, frame_members},
    {Py_tp_doc, const_cast<char*>("A coroutine implemented in native code.")},
    {0, nullptr},
};

PyType_Spec coro_spec = {
    "brindlewick.NativeCoroutine", sizeof(FrameObject), 1,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, coro_slots,
};

// ---- async generator -----------------------------------------------------------

enum StepMode : uint8_t { kSend, kThrow, kClose };
enum StepState : uint8_t { kInit, kIter, kClosed };

// The awaitable of one __anext__() / asend() / athrow() / aclose().
struct StepObject {
    PyObject_HEAD
    FrameObject* gen;
    PyObject* arg;  // value to send, or exception to throw
    StepMode mode;
    StepState state;
};

StepObject* as_step(PyObject* op) { return reinterpret_cast<StepObject*>(op); }

int agen_init_hooks(FrameObject* g) {
    if (g->hooks_done) return 0;
    g->hooks_done = true;
    Ref firstiter = Ref::steal(async_gen_firstiter_hook());
    if (firstiter) {
        Ref r = Ref::steal(PyObject_CallOneArg(firstiter.get(), reinterpret_cast<PyObject*>(g)));
        if (!r) return -1;
    }
    return 0;
}

PyObject* step_new(PyObject* gen, StepMode mode, PyObject* arg) {
    if (agen_init_hooks(as_frame(gen)) < 0) return nullptr;
    StepObject* o = PyObject_GC_New(StepObject, state.step_type);
    if (!o) return nullptr;
    o->gen = reinterpret_cast<FrameObject*>(Py_NewRef(gen));
    o->arg = Py_XNewRef(arg);
    o->mode = mode;
    o->state = kInit;
    PyObject_GC_Track(o);
    return reinterpret_cast<PyObject*>(o);
}

void step_done(StepObject* o) {
    if (o->state == kIter) o->gen->running_async = false;
    o->state = kClosed;
}

PySendResult step_outcome(StepObject* o, Step s, PyObject* r, PyObject** out) {
    *out = nullptr;
    switch (s) {
        case kNext:
            *out = r;
            return PYGEN_NEXT;
        case kYield:
            step_done(o);
            if (o->mode == kClose) {
                Py_DECREF(r);
                PyErr_SetString(PyExc_RuntimeError, "async generator ignored GeneratorExit");
                return PYGEN_ERROR;
            }
            *out = r;
            return PYGEN_RETURN;
        case kReturn:
            step_done(o);
            Py_XDECREF(r);
            if (o->mode == kClose) {
                *out = Py_NewRef(Py_None);
                return PYGEN_RETURN;
            }
            PyErr_SetNone(PyExc_StopAsyncIteration);
            return PYGEN_ERROR;
        case kError:
            step_done(o);
            if (o->mode == kClose &&
                (PyErr_ExceptionMatches(PyExc_StopAsyncIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit))) {
                PyErr_Clear();
                *out = Py_NewRef(Py_None);
                return PYGEN_RETURN;
            }
            return PYGEN_ERROR;
    }
    return PYGEN_ERROR;
}

const char* step_reuse_message(const StepObject* o) {
    return o->mode == kSend ? "cannot reuse already awaited __anext__()/asend()"
                            : "cannot reuse already awaited aclose()/athrow()";
}

// One step of the awaitable: sends `arg`, or throws `exc` (borrowed) if set.
PySendResult step_drive(StepObject* o, PyObject* arg, PyObject* exc, PyObject** out) {
    *out = nullptr;
    if (o->state == kClosed) {
        PyErr_SetString(PyExc_RuntimeError, step_reuse_message(o));
        return PYGEN_ERROR;
    }
    FrameObject* g = o->gen;
    PyObject* r = nullptr;
    Step s;
    if (o->state == kInit) {
        if (g->running_async) {
            o->state = kClosed;
            PyErr_SetString(PyExc_RuntimeError,
                            o->mode == kSend    ? "anext(): asynchronous generator is already running"
                            : o->mode == kClose ? "aclose(): asynchronous generator is already running"
                                                : "athrow(): asynchronous generator is already running");
            return PYGEN_ERROR;
        }
        if (o->mode != kSend && g->closed) {
            o->state = kClosed;
            *out = Py_NewRef(Py_None);
            return PYGEN_RETURN;
        }
        if (!exc && o->mode != kSend && arg != Py_None) {
            PyErr_SetString(PyExc_RuntimeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        o->state = kIter;
        g->running_async = true;
        if (exc) {
            s = throw_core(g, exc, true, &r);
        } else if (o->mode == kSend) {
            s = send_core(g, arg == Py_None ? o->arg : arg, &r);
        } else if (o->mode == kClose) {
            g->closed = true;
            Ref genexit = Ref::steal(PyObject_CallNoArgs(PyExc_GeneratorExit));
            if (!genexit) {
                step_done(o);
                return PYGEN_ERROR;
            }
            s = throw_core(g, genexit.get(), false, &r);
        } else {
            s = throw_core(g, o->arg, false, &r);
        }
    } else {
        s = exc ? throw_core(g, exc, true, &r) : send_core(g, arg, &r);
    }
    return step_outcome(o, s, r, out);
}

PyObject* step_method_result(PySendResult s, PyObject* out) {
    if (s == PYGEN_NEXT) return out;
    if (s == PYGEN_ERROR) return nullptr;
    set_stop_iteration(out);
    Py_DECREF(out);
    return nullptr;
}

PySendResult step_am_send(PyObject* op, PyObject* arg, PyObject** result) {
    return step_drive(as_step(op), arg, nullptr, result);
}

PyObject* step_iternext(PyObject* op) {
    PyObject* out = nullptr;
    PySendResult s = step_drive(as_step(op), Py_None, nullptr, &out);
    if (s == PYGEN_RETURN && out == Py_None) {
        Py_DECREF(out);
        return nullptr;
    }
    return step_method_result(s, out);
}

PyObject* step_send(PyObject* op, PyObject* arg) {
    PyObject* out = nullptr;
    auto s = step_drive(as_step(op), arg, nullptr, &out);
    return step_method_result(s, out);
}

PyObject* step_throw(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
    Ref exc = Ref::steal(exception_from_args(args, nargs));
    if (!exc) return nullptr;
    PyObject* out = nullptr;
    auto s = step_drive(as_step(op), Py_None, exc.get(), &out);
    return step_method_result(s, out);
}

PyObject* step_close(PyObject* op, PyObject*) {
    StepObject* o = as_step(op);
    if (o->state == kClosed) Py_RETURN_NONE;
    Ref genexit = Ref::steal(PyObject_CallNoArgs(PyExc_GeneratorExit));
    if (!genexit) return nullptr;
    PyObject* out = nullptr;
    PySendResult s = step_drive(o, Py_None, genexit.get(), &out);
    step_done(o);
    if (s == PYGEN_NEXT) {
        Py_DECREF(out);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (s == PYGEN_RETURN) {
        Py_DECREF(out);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_StopAsyncIteration) ||
        PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject* step_await(PyObject* op) { return Py_NewRef(op); }

int step_traverse(PyObject* op, visitproc visit, void* arg) {
    StepObject* o = as_step(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(reinterpret_cast<PyObject*>(o->gen));
    Py_VISIT(o->arg);
    return 0;
}

int step_clear(PyObject* op) {
    StepObject* o = as_step(op);
    if (o->gen) step_done(o);
    PyObject* gen = reinterpret_cast<PyObject*>(o->gen);
    o->gen = nullptr;
    Py_XDECREF(gen);
    Py_CLEAR(o->arg);
    return 0;
}

void step_dealloc(PyObject* op) {
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    // An abandoned, unfinished step must not leave the generator "running".
    step_clear(op);
    type->tp_free(op);
    Py_DECREF(type);
}

PyMethodDef step_methods[] = {
    {"send", step_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(step_throw)), METH_FASTCALL, nullptr},
    {"close", step_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot step_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(step_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(step_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(step_clear)},
    {Py_tp_iternext, reinterpret_cast<void*>(step_iternext)},
    {Py_am_await, reinterpret_cast<void*>(step_await)},
    {Py_am_send, reinterpret_cast<void*>(step_am_send)},
    {Py_tp_methods, step_methods},
    {0, nullptr},
};

PyType_Spec step_spec = {
    "brindlewick.NativeAsyncGeneratorStep", sizeof(StepObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, step_slots,
};

PyObject* agen_aiter(PyObject* op) { return Py_NewRef(op); }
PyObject* agen_anext(PyObject* op) { return step_new(op, kSend, Py_None); }
PyObject* agen_asend(PyObject* op, PyObject* arg) { return step_new(op, kSend, arg); }

PyObject* agen_athrow(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
    Ref exc = Ref::steal(exception_from_args(args, nargs));
    if (!exc) return nullptr;
    return step_new(op, kThrow, exc.get());
}

PyObject* agen_aclose(PyObject* op, PyObject*) { return step_new(op, kClose, nullptr); }

PyMethodDef agen_methods[] = {
    {"asend", agen_asend, METH_O, "asend(value): awaitable that resumes the generator with value."},
    {"athrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(agen_athrow)), METH_FASTCALL,
     "athrow(exc): awaitable that raises exc where the generator is suspended."},
    {"aclose", agen_aclose, METH_NOARGS, "aclose(): awaitable that closes the generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef agen_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"ag_await", get_await, nullptr, "Object being awaited, or None.", nullptr},
    {"ag_running", get_running_async, nullptr, nullptr, nullptr},
    {"ag_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"ag_frame", get_frame, nullptr, "Frame standing for the native body, or None once finished.", nullptr},
    {"ag_code", get_code, nullptr, "Code object naming the native body.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot agen_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(frame_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(frame_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(frame_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(frame_finalize)},
    {Py_tp_repr, reinterpret_cast<void*>(frame_repr)},
    {Py_am_aiter, reinterpret_cast<void*>(agen_aiter)},
    {Py_am_anext, reinterpret_cast<void*>(agen_anext)},
    {Py_tp_methods, agen_methods},
    {Py_tp_getset, agen_getset},
    {Py_tp_members, frame_members},
    {Py_tp_doc, const_cast<char*>("An asynchronous generator implemented in native code.")},
    {0, nullptr},
};

PyType_Spec agen_spec = {
    "brindlewick.NativeAsyncGenerator", sizeof(FrameObject), 1,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, agen_slots,
};

}  // namespace
}  // namespace bw::coro

namespace bw {

int core::init_coroutines() noexcept {
    using namespace bw::coro;
    if (state.coroutines_ready) return 0;
    Ref coro = Ref::steal(PyType_FromSpec(&coro_spec));
    if (!coro) return -1;
    Ref agen = Ref::steal(PyType_FromSpec(&agen_spec));
    if (!agen) return -1;
    Ref step = Ref::steal(PyType_FromSpec(&step_spec));
    if (!step) return -1;
    getter cr_await = nullptr;
    for (PyGetSetDef* d = PyCoro_Type.tp_getset; d && d->name; d++)
        if (std::strcmp(d->name, "cr_await") == 0) cr_await = d->get;
    if (!cr_await) {
        PyErr_SetString(PyExc_SystemError, "coroutine type without cr_await");
        return -1;
    }
    Ref warnings = Ref::steal(PyImport_ImportModule("warnings"));
    if (!warnings) return -1;
    PyObject* warn = nullptr;
    if (PyObject_GetOptionalAttrString(warnings.get(), "_warn_unawaited_coroutine", &warn) < 0) return -1;
    Ref warn_ref = Ref::steal(warn);
    Ref globals = Ref::steal(PyDict_New());
    if (!globals || PyDict_SetItemString(globals.get(), "__name__", Ref::steal(PyUnicode_FromString("brindlewick")).get()) < 0)
        return -1;
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) < 0) return -1;
    PyObject* strs[3] = {PyUnicode_InternFromString("replace"), PyUnicode_InternFromString("co_qualname"),
                         PyUnicode_InternFromString("cancelling")};
    if (!strs[0] || !strs[1] || !strs[2]) {
        for (PyObject* o : strs) Py_XDECREF(o);
        return -1;
    }
    // Kept for the life of the process.
    state.coro_type = reinterpret_cast<PyTypeObject*>(coro.release());
    state.agen_type = reinterpret_cast<PyTypeObject*>(agen.release());
    state.step_type = reinterpret_cast<PyTypeObject*>(step.release());
    state.py_coro_cr_await = cr_await;
    state.warn_unawaited = warn_ref.release();
    state.frame_globals = globals.release();
    state.str_replace = strs[0];
    state.str_co_qualname = strs[1];
    state.str_cancelling = strs[2];
    state.coroutines_ready = true;
    return 0;
}

}  // namespace bw

namespace bw::coro {

// ---- public entry points ---------------------------------------------------------

void Root::link() noexcept {
    FrameObject* f = tls_target;
    if (!f) return;
    prev = &f->roots;
    next = f->roots.next;
    if (next) next->prev = this;
    f->roots.next = this;
}

Handling::Handling() noexcept : Handling(nullptr) {}

Handling::Handling(PyObject* exc) noexcept {
    exc_ = exc ? Py_NewRef(exc) : PyErr_GetRaisedException();
    saved_ = std::exchange(top_handled_exception(PyThreadState_Get()), Py_XNewRef(exc_));
}

Handling::~Handling() {
    PyObject* old = std::exchange(top_handled_exception(PyThreadState_Get()), std::exchange(saved_, nullptr));
    Py_XDECREF(old);
    Py_XDECREF(exc_);
}

std::nullptr_t raise_from(PyObject* cause) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc) {
        PyException_SetCause(exc, Py_XNewRef(cause));
        PyErr_SetRaisedException(exc);
    }
    return nullptr;
}

static bool check_ready() noexcept {
    if (BW_LIKELY(state.coroutines_ready)) return true;
    PyErr_SetString(PyExc_SystemError, "native coroutines used before the core library was initialised");
    return false;
}

PyTypeObject* coroutine_type() noexcept { return check_ready() ? state.coro_type : nullptr; }
PyTypeObject* async_gen_type() noexcept { return check_ready() ? state.agen_type : nullptr; }

bool is_native_coroutine(PyObject* obj) noexcept { return state.coro_type && Py_IS_TYPE(obj, state.coro_type); }
bool is_native_async_gen(PyObject* obj) noexcept { return state.agen_type && Py_IS_TYPE(obj, state.agen_type); }

// The frame is allocated with its object through the Python allocator and
// never throws: a failure is MemoryError, and the promise's
// get_return_object_on_allocation_failure() makes the entry point's Task
// empty, which make_coroutine() reports.
void* allocate_frame(Kind kind, size_t size) noexcept {
    if (BW_UNLIKELY(!check_ready())) return nullptr;
    PyTypeObject* type = kind == Kind::Coroutine ? state.coro_type : state.agen_type;
    FrameObject* f = PyObject_GC_NewVar(FrameObject, type, static_cast<Py_ssize_t>(size));
    if (!f) return nullptr;
    std::memset(reinterpret_cast<char*>(f) + offsetof(FrameObject, weakreflist), 0,
                sizeof(FrameObject) - offsetof(FrameObject, weakreflist));
    f->kind = kind;
    f->status = Status::Created;
    if (BW_UNLIKELY(reinterpret_cast<uintptr_t>(f->storage()) % __STDCPP_DEFAULT_NEW_ALIGNMENT__ != 0)) {
        PyObject_GC_Del(f);
        Py_DECREF(type);
        PyErr_SetString(PyExc_SystemError, "misaligned native coroutine frame");
        return nullptr;
    }
    f->prev_creating = std::exchange(tls_target, f);
    return f->storage();
}

FrameObject* attach_frame(void* frame_address) noexcept {
    FrameObject* f = tls_target;
    if (BW_UNLIKELY(!f || f->storage() != frame_address))
        Py_FatalError("native coroutine frame not allocated inside its object");
    tls_target = std::exchange(f->prev_creating, nullptr);
    f->frame = frame_address;
    PyObject_GC_Track(f);
    return f;
}

void set_error_from_cxx_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "C++ exception in native coroutine: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in native coroutine");
    }
}

PyObject* get_awaitable_iter(PyObject* o) noexcept {
    PyTypeObject* t = Py_TYPE(o);
    if (t == state.coro_type) {
        if (as_frame(o)->inner) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return nullptr;
        }
        return Py_NewRef(o);
    }
    if (PyCoro_CheckExact(o)) {
        // A Python coroutine suspended in an await has an awaiter already
        // (the interpreter's `await` makes the same check).
        PyObject* awaiting = state.py_coro_cr_await(o, nullptr);
        if (!awaiting) return nullptr;
        bool busy = awaiting != Py_None;
        Py_DECREF(awaiting);
        if (busy) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return nullptr;
        }
        return Py_NewRef(o);
    }
    if (PyGen_CheckExact(o)) {
        PyCodeObject* code = PyGen_GetCode(reinterpret_cast<PyGenObject*>(o));
        bool iterable = code && (code->co_flags & CO_ITERABLE_COROUTINE);
        Py_XDECREF(code);
        if (iterable) return Py_NewRef(o);
    }
    unaryfunc getter = t->tp_as_async ? t->tp_as_async->am_await : nullptr;
    if (!getter) {
#if PY_VERSION_HEX >= 0x030E0000
        PyErr_Format(PyExc_TypeError, "'%.100s' object can't be awaited", t->tp_name);
#else  // the interpreter's own wording before 3.14
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", t->tp_name);
#endif
        return nullptr;
    }
    PyObject* it = getter(o);
    if (!it) return nullptr;
    if (PyCoro_CheckExact(it)) {
        Py_DECREF(it);
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return nullptr;
    }
    if (!PyIter_Check(it)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it)->tp_name);
        Py_DECREF(it);
        return nullptr;
    }
    return it;
}

int start_await(PyObject* iter, PyObject** out) noexcept {
    PyObject* r = nullptr;
    PySendResult s = PyIter_Send(iter, Py_None, &r);
    *out = r;
    if (s == PYGEN_NEXT) return 0;
    return s == PYGEN_RETURN ? 1 : -1;
}

PyObject* call_anext(PyObject* it) noexcept {
    PyTypeObject* t = Py_TYPE(it);
    unaryfunc anext = t->tp_as_async ? t->tp_as_async->am_anext : nullptr;
    if (!anext) {
        PyErr_Format(PyExc_TypeError, "'%.100s' object is not an async iterator", t->tp_name);
        return nullptr;
    }
    return anext(it);
}

PyObject* aiter(PyObject* o) noexcept {
    PyTypeObject* t = Py_TYPE(o);
    unaryfunc get = t->tp_as_async ? t->tp_as_async->am_aiter : nullptr;
    if (!get) {
        PyErr_Format(PyExc_TypeError, "'%.100s' object is not an async iterable", t->tp_name);
        return nullptr;
    }
    PyObject* it = get(o);
    if (!it) return nullptr;
    PyTypeObject* it_type = Py_TYPE(it);
    if (!it_type->tp_as_async || !it_type->tp_as_async->am_anext) {
        PyErr_Format(PyExc_TypeError, "aiter() returned not an async iterator of type '%.100s'", it_type->tp_name);
        Py_DECREF(it);
        return nullptr;
    }
    return it;
}

// cr_origin: (filename, lineno, function) of the `depth` innermost Python
// frames, innermost first, as Python coroutines record it.  0, or -1 with an
// error set.
static int record_origin(FrameObject* f, int depth) {
    Ref entries = Ref::steal(PyList_New(0));
    if (!entries) return -1;
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(PyThreadState_GetFrame(PyThreadState_Get())));
    for (int i = 0; i < depth && frame; i++) {
        auto* pf = reinterpret_cast<PyFrameObject*>(frame.get());
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(pf)));
        auto* co = reinterpret_cast<PyCodeObject*>(code.get());
        Ref entry = Ref::steal(Py_BuildValue("(OiO)", co->co_filename, PyFrame_GetLineNumber(pf), co->co_name));
        if (!entry || PyList_Append(entries.get(), entry.get()) < 0) return -1;
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(pf)));
    }
    PyObject* origin = PyList_AsTuple(entries.get());
    if (!origin) return -1;
    assign_field_steal(f->origin, origin);
    return 0;
}

PyObject* make_coroutine(Task&& task, const char* qualname) noexcept {
    FrameObject* f = task.release();
    if (!f) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return nullptr;
    }
    f->qualname = qualname;
    int depth = coroutine_origin_tracking_depth();
    if (BW_UNLIKELY(depth > 0) && record_origin(f, depth) < 0) {
        f->qualname = nullptr;  // dropped unstarted without a warning
        Py_DECREF(f);
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(f);
}

int TaskCancellation::record() noexcept {
    if (!state.current_task) {
        // First use: asyncio is imported by whoever runs tasks; cached only
        // once found, so a failed import is not remembered.
        Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
        if (!asyncio) return -1;
        PyObject* fn = PyObject_GetAttrString(asyncio.get(), "current_task");
        if (!fn) return -1;
        assign_field_steal(state.current_task, fn);
    }
    Root task = Root::steal(PyObject_CallNoArgs(state.current_task));
    if (!task) return -1;
    if (task.get() == Py_None) return 0;
    // A task-like object of another event loop may lack cancelling(): there
    // is nothing to compare then, and the body behaves as if outside a task.
    PyObject* method = nullptr;
    if (PyObject_GetOptionalAttr(task.get(), state.str_cancelling, &method) < 0) return -1;
    if (!method) return 0;
    Ref n = Ref::steal(PyObject_CallNoArgs(method));
    Py_DECREF(method);
    if (!n) return -1;
    Py_ssize_t count = PyLong_AsSsize_t(n.get());
    if (count == -1 && PyErr_Occurred()) return -1;
    task_ = std::move(task);
    count_ = count;
    return 0;
}

int TaskCancellation::task_cancelled() noexcept {
    if (!task_) return 0;
    PyObject* pending = PyErr_GetRaisedException();
    Ref n = Ref::steal(PyObject_CallMethodNoArgs(task_.get(), state.str_cancelling));
    Py_ssize_t count = n ? PyLong_AsSsize_t(n.get()) : -1;
    if (count == -1 && PyErr_Occurred()) {
        Py_XDECREF(pending);
        return -1;
    }
    PyErr_SetRaisedException(pending);
    return count > count_ ? 1 : 0;
}

PyObject* make_async_gen(AsyncGen&& gen, const char* qualname) noexcept {
    FrameObject* f = gen.release();
    if (!f) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return nullptr;
    }
    f->qualname = qualname;
    return reinterpret_cast<PyObject*>(f);
}

}  // namespace bw::coro
