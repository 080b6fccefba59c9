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
//    body; a body that goes on awaiting or yielding is a RuntimeError.
// Each resume pushes the frame's own exception-handling state on the thread,
// so what a body handles (bw::coro::Handling) survives its suspensions and
// never leaks into its caller.
#define BRINDLEWICK_CORE_BUILD
#include "brindlewick/coro.hpp"

#include <cstring>
#include <exception>
#include <new>

namespace bw::coro {

namespace {

// The frame that Roots constructed now belong to: the frame being created
// (while its parameters are copied in) or the frame being resumed.
[[gnu::tls_model("initial-exec")]] thread_local FrameObject* tls_target = nullptr;

PyTypeObject* g_coro_type = nullptr;
PyTypeObject* g_agen_type = nullptr;
PyTypeObject* g_step_type = nullptr;

enum Step { kNext, kYield, kReturn, kError };

using Handle = std::coroutine_handle<>;

const char* noun(const FrameObject* f) { return f->kind == Kind::Coroutine ? "coroutine" : "async generator"; }

const char* qualname_of(const FrameObject* f) { return f->qualname ? f->qualname : "<native>"; }

// Runs frame-owned destructors with the frame's exception state on top of
// the thread's, and with no pending error visible to them.
void destroy_frame(FrameObject* f) {
    if (!f->frame) return;
    void* address = std::exchange(f->frame, nullptr);
    PyObject* pending = PyErr_GetRaisedException();
    PyThreadState* ts = PyThreadState_Get();
    f->exc_state.previous_item = ts->exc_info;
    ts->exc_info = &f->exc_state;
    FrameObject* saved = std::exchange(tls_target, nullptr);
    Handle::from_address(address).destroy();
    tls_target = saved;
    ts->exc_info = f->exc_state.previous_item;
    f->exc_state.previous_item = nullptr;
    // Roots that outlived the frame (misuse) must not point into it.
    for (RootLink* node = f->roots.next; node;) {
        RootLink* next = node->next;
        node->prev = node->next = nullptr;
        node = next;
    }
    f->roots.next = nullptr;
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

// After the body ended: its outcome as a step.
Step finish(FrameObject* f, PyObject** out) {
    Ref result = Ref::steal(std::exchange(f->result, nullptr));
    f->status = Status::Done;
    f->closed = true;
    destroy_frame(f);
    Py_CLEAR(f->exc_state.exc_value);
    if (PyErr_Occurred()) {
        if (result) {
            replace_error(PyExc_SystemError, "native coroutine returned a result with an exception set");
        } else if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            replace_error(PyExc_RuntimeError, f->kind == Kind::Coroutine ? "coroutine raised StopIteration"
                                                                          : "async generator raised StopIteration");
        } else if (f->kind == Kind::AsyncGen && PyErr_ExceptionMatches(PyExc_StopAsyncIteration)) {
            replace_error(PyExc_RuntimeError, "async generator raised StopAsyncIteration");
        }
        return kError;
    }
    if (f->kind == Kind::AsyncGen) {
        *out = Py_NewRef(Py_None);
        return kReturn;
    }
    if (!result) {
        PyErr_Format(PyExc_SystemError, "native coroutine '%s' returned NULL without setting an exception",
                     qualname_of(f));
        return kError;
    }
    *out = result.release();
    return kReturn;
}

// Resumes the body, handing it `value` (stolen; null = the pending error).
Step resume(FrameObject* f, PyObject* value, PyObject** out) {
    Py_INCREF(f);  // the body may drop the last outside reference
    f->value = value;
    f->yielded = false;
    f->status = Status::Running;
    PyThreadState* ts = PyThreadState_Get();
    f->exc_state.previous_item = ts->exc_info;
    ts->exc_info = &f->exc_state;
    FrameObject* saved = std::exchange(tls_target, f);
    Handle h = Handle::from_address(f->frame);
    h.resume();
    tls_target = saved;
    ts->exc_info = f->exc_state.previous_item;
    f->exc_state.previous_item = nullptr;
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

Step send_core_unguarded(FrameObject* f, PyObject* arg, PyObject** out);

// Chains of native coroutines awaiting each other recurse on the C stack:
// deep ones end in RecursionError, as Python's own do.
#if PY_VERSION_HEX < 0x030E0000
// Before 3.14 the interpreter counts C recursion against a fixed limit that
// does not know how much stack each level takes; a chain of native awaits
// takes several C frames per level, so it keeps a tighter count of its own.
constexpr int kMaxDriveDepth = 2000;
thread_local int drive_depth = 0;
#endif

Step send_core(FrameObject* f, PyObject* arg, PyObject** out) {
#if PY_VERSION_HEX < 0x030E0000
    if (BW_UNLIKELY(drive_depth >= kMaxDriveDepth)) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while driving a native coroutine");
        return kError;
    }
    drive_depth++;
#endif
    if (BW_UNLIKELY(Py_EnterRecursiveCall(" while driving a native coroutine"))) {
#if PY_VERSION_HEX < 0x030E0000
        drive_depth--;
#endif
        return kError;
    }
    Step s = send_core_unguarded(f, arg, out);
    Py_LeaveRecursiveCall();
#if PY_VERSION_HEX < 0x030E0000
    drive_depth--;
#endif
    return s;
}

Step send_core_unguarded(FrameObject* f, PyObject* arg, PyObject** out) {
    switch (f->status) {
        case Status::Suspended:
            if (f->inner) {
                PyObject* r = nullptr;
                f->status = Status::Running;
                PySendResult s = PyIter_Send(f->inner, arg, &r);
                f->status = Status::Suspended;
                if (s == PYGEN_NEXT) {
                    *out = r;
                    return kNext;
                }
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

// Raises `exc` (borrowed instance) at the body's suspension point, handing it
// to the awaited iterator first.
Step throw_core(FrameObject* f, PyObject* exc, bool close_on_genexit, PyObject** out) {
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
        if (close_on_genexit && PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
            f->status = Status::Running;
            int err = close_iter(f->inner);
            f->status = Status::Suspended;
            Py_CLEAR(f->inner);
            if (err < 0) return resume(f, nullptr, out);  // the close error replaces GeneratorExit
        } else {
            PyObject* meth = nullptr;
            if (PyObject_GetOptionalAttrString(f->inner, "throw", &meth) < 0) {
                Py_CLEAR(f->inner);
                return resume(f, nullptr, out);
            }
            if (meth) {
                f->status = Status::Running;
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
            Py_CLEAR(f->inner);
        }
    }
    PyErr_SetRaisedException(Py_NewRef(exc));
    return resume(f, nullptr, out);
}

// close() of a coroutine (and the synchronous close of an async generator):
// returns the body's return value, None, or null with an error.
PyObject* close_core(FrameObject* f) {
    if (!check_not_running(f)) return nullptr;
    if (f->status == Status::Done) Py_RETURN_NONE;
    if (f->status == Status::Created) {
        f->status = Status::Done;
        f->closed = true;
        destroy_frame(f);
        Py_RETURN_NONE;
    }
    int err = 0;
    if (f->inner) {
        f->status = Status::Running;
        err = close_iter(f->inner);
        f->status = Status::Suspended;
        Py_CLEAR(f->inner);
    }
    if (err == 0) PyErr_SetNone(PyExc_GeneratorExit);
    PyObject* out = nullptr;
    Step s = resume(f, nullptr, &out);
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

FrameObject* as_frame(PyObject* op) { return reinterpret_cast<FrameObject*>(op); }

int frame_traverse(PyObject* op, visitproc visit, void* arg) {
    FrameObject* f = as_frame(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(f->inner);
    Py_VISIT(f->value);
    Py_VISIT(f->out);
    Py_VISIT(f->result);
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
    Py_CLEAR(f->exc_state.exc_value);
    return 0;
}

void frame_finalize(PyObject* op) {
    FrameObject* f = as_frame(op);
    if (f->status == Status::Done || !f->frame) return;
    PyObject* pending = PyErr_GetRaisedException();
    if (f->status == Status::Created) {
        // A Task dropped before make_coroutine() (no name yet) is silent.
        if (f->kind == Kind::Coroutine && f->qualname &&
            PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%s' was never awaited", qualname_of(f)) < 0)
            PyErr_WriteUnraisable(op);
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
    PyThreadState* ts = PyThreadState_Get();
    if (ts->async_gen_firstiter) {
        Ref firstiter = Ref::borrow(ts->async_gen_firstiter);
        Ref r = Ref::steal(PyObject_CallOneArg(firstiter.get(), reinterpret_cast<PyObject*>(g)));
        if (!r) return -1;
    }
    return 0;
}

PyObject* step_new(PyObject* gen, StepMode mode, PyObject* arg) {
    if (agen_init_hooks(as_frame(gen)) < 0) return nullptr;
    StepObject* o = PyObject_GC_New(StepObject, g_step_type);
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

int init_types() {
    if (g_coro_type) return 0;
    PyObject* coro = PyType_FromSpec(&coro_spec);
    if (!coro) return -1;
    PyObject* agen = PyType_FromSpec(&agen_spec);
    if (!agen) {
        Py_DECREF(coro);
        return -1;
    }
    PyObject* step = PyType_FromSpec(&step_spec);
    if (!step) {
        Py_DECREF(coro);
        Py_DECREF(agen);
        return -1;
    }
    // The types live as long as the process.
    g_agen_type = reinterpret_cast<PyTypeObject*>(agen);
    g_step_type = reinterpret_cast<PyTypeObject*>(step);
    g_coro_type = reinterpret_cast<PyTypeObject*>(coro);
    return 0;
}

}  // namespace

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
    _PyErr_StackItem* top = PyThreadState_Get()->exc_info;
    saved_ = std::exchange(top->exc_value, Py_XNewRef(exc_));
}

Handling::~Handling() {
    _PyErr_StackItem* top = PyThreadState_Get()->exc_info;
    PyObject* old = std::exchange(top->exc_value, std::exchange(saved_, nullptr));
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

PyTypeObject* coroutine_type() noexcept { return init_types() < 0 ? nullptr : g_coro_type; }
PyTypeObject* async_gen_type() noexcept { return init_types() < 0 ? nullptr : g_agen_type; }

bool is_native_coroutine(PyObject* obj) noexcept { return g_coro_type && Py_IS_TYPE(obj, g_coro_type); }
bool is_native_async_gen(PyObject* obj) noexcept { return g_agen_type && Py_IS_TYPE(obj, g_agen_type); }

void* allocate_frame(Kind kind, size_t size) noexcept {
    if (BW_UNLIKELY(init_types() < 0)) return nullptr;
    PyTypeObject* type = kind == Kind::Coroutine ? g_coro_type : g_agen_type;
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
    if (t == g_coro_type || PyCoro_CheckExact(o)) {
        if (t == g_coro_type && as_frame(o)->inner) {
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

int start_await(FrameObject*, PyObject* iter, PyObject** out) noexcept {
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

PyObject* make_coroutine(Task&& task, const char* qualname) noexcept {
    FrameObject* f = task.release();
    if (!f) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return nullptr;
    }
    f->qualname = qualname;
    return reinterpret_cast<PyObject*>(f);
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
