// Watching the client while a response body streams.
//
// Servers report a client that left in their own way: an ASGI server
// answers `receive()` with "http.disconnect" (a `send` after that may
// neither fail nor wait), an RSGI server resolves
// `protocol.client_disconnect()` and fails the transport's sends.  A
// ClientWatch started by a body loop runs a listener task on that channel.
// When it hears the client go, it marks the watch and, if the writer's task
// is waiting inside the body loop at that moment (for its producer's next
// piece, or in `send`), cancels that task, so that a producer that would
// wait long for its next piece is stopped at once as well.  The writer
// turns its own cancellation back into "the client is gone" (absorb()),
// closes the producer and sends nothing more.
//
// The cancellation is made only while the writer is suspended inside the
// loop, so asyncio delivers it at that suspension point and nowhere else.
// A writer that runs without suspending (a producer and a `send` that never
// wait) gives the listener its turn through `loop_turn()` every few pieces.
#include <Python.h>

#include "brindlewick/coro.hpp"
#include "brindlewick/gc_fields.hpp"
#include "brindlewick/pyref.hpp"
#include "scribe_core.hpp"

namespace bw::scribe {

using coro::Root;
using coro::Task;

namespace {

struct WatchObject {
    PyObject_HEAD
    PyObject* writer_task;     // the task running the body loop
    PyObject* listener;        // the listener task, until stop()
    Py_ssize_t base_cancelling;  // writer_task.cancelling() when the watch started
    bool gone;                 // the client left
    bool streaming;            // the writer is inside its body loop
    bool cancel_sent;          // the listener cancelled the writer; not absorbed yet
};

using WatchFields = ObjectFields<WatchObject, &WatchObject::writer_task, &WatchObject::listener>;

inline WatchObject* as_watch(PyObject* op) { return reinterpret_cast<WatchObject*>(op); }

PyType_Slot watch_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(WatchFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(WatchFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(WatchFields::clear)},
    {Py_tp_doc, const_cast<char*>("State shared by a streaming writer and the task listening to its client.")},
    {0, nullptr},
};

PyType_Spec watch_spec = {
    "brindlewick.scribe._ClientWatch",
    sizeof(WatchObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    watch_slots,
};

// ---- the loop turn ------------------------------------------------------------------

// An awaitable that suspends exactly once with a bare yield: asyncio's task
// then runs one round of the event loop before it resumes (what
// `await asyncio.sleep(0)` does).
struct TurnObject {
    PyObject_HEAD
    bool yielded;
};

PyObject* turn_await(PyObject* op) { return Py_NewRef(op); }

PyObject* turn_next(PyObject* op) {
    auto* self = reinterpret_cast<TurnObject*>(op);
    if (self->yielded) return nullptr;  // StopIteration: the await completes with None
    self->yielded = true;
    return Py_NewRef(Py_None);
}

PyType_Slot turn_slots[] = {
    {Py_am_await, reinterpret_cast<void*>(turn_await)},
    {Py_tp_iter, reinterpret_cast<void*>(turn_await)},
    {Py_tp_iternext, reinterpret_cast<void*>(turn_next)},
    {Py_tp_doc, const_cast<char*>("Awaitable giving the event loop one turn.")},
    {0, nullptr},
};

PyType_Spec turn_spec = {
    "brindlewick.scribe._LoopTurn",
    sizeof(TurnObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    turn_slots,
};

// message[key] of an ASGI message (a dict, or any mapping); null with an
// error when it is missing.
PyObject* message_item(PyObject* message, PyObject* key) {
    if (!PyDict_CheckExact(message)) return PyObject_GetItem(message, key);
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(message, key, &value) == 0) PyErr_SetObject(PyExc_KeyError, key);
    return value;
}

enum class Heard { Disconnect, LastBody, Body, Other };

// What an ASGI message says (Other, maybe with an error set, when it is
// unreadable).
Heard classify(PyObject* message) {
    Ref kind = Ref::steal(message_item(message, state.k_type));
    if (!kind || !PyUnicode_Check(kind.get())) return Heard::Other;
    if (PyUnicode_EqualToUTF8(kind.get(), "http.disconnect")) return Heard::Disconnect;
    if (!PyUnicode_EqualToUTF8(kind.get(), "http.request")) return Heard::Other;
    PyObject* more = nullptr;
    if (PyDict_CheckExact(message)) {
        if (PyDict_GetItemRef(message, state.k_more_body, &more) < 0) return Heard::Other;
    } else if (!(more = PyObject_GetItem(message, state.k_more_body))) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return Heard::Other;
        PyErr_Clear();
    }
    Ref held = Ref::steal(more);
    int truth = more ? PyObject_IsTrue(more) : 0;
    return truth > 0 ? Heard::Body : truth == 0 ? Heard::LastBody : Heard::Other;
}

// The listener: waits for the client to leave, then tells the writer.  A
// failure of the channel ends the watch quietly (the writer's own calls
// report such a failure); its cancellation by stop() ends the task.
Task listen_body(Root watch_root, Root channel, bool asgi) {
    if (asgi) {
        bool body_ended = false;
        for (;;) {
            Ref message = co_await coro::await_call(channel.get());
            if (!message) break;
            Heard heard = classify(message.get());
            if (PyErr_Occurred() || heard == Heard::Disconnect) break;
            // What is left of a request body is dropped.  Anything else (more
            // body after its end, another message) is not a server this
            // listener understands: it stops, and leaves the writer alone.
            if (heard == Heard::Other || body_ended) co_return Py_NewRef(Py_None);
            body_ended = heard == Heard::LastBody;
            // A `receive` that answers without waiting must not keep this task
            // from letting the writer run.
            if (!co_await Ref::steal(loop_turn())) break;
        }
    } else {
        Ref done = co_await coro::await_method(channel.get(), state.str_client_disconnect);
        (void)done;
    }
    if (PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(state.CancelledError)) co_return nullptr;
        PyErr_Clear();
        co_return Py_NewRef(Py_None);
    }
    WatchObject* watch = as_watch(watch_root.get());
    watch->gone = true;
    if (watch->streaming && watch->writer_task) {
        Ref task = Ref::borrow(watch->writer_task);
        Ref r = Ref::steal(PyObject_CallMethodNoArgs(task.get(), state.str_cancel));
        if (!r) co_return nullptr;
        watch->cancel_sent = true;
    }
    co_return Py_NewRef(Py_None);
}

// task.cancelling(), 0 for a task-like object without it.
Py_ssize_t cancelling(PyObject* task) {
    Ref count = Ref::steal(PyObject_CallMethodNoArgs(task, state.str_cancelling));
    Py_ssize_t n = count && PyLong_Check(count.get()) ? PyLong_AsSsize_t(count.get()) : 0;
    if (PyErr_Occurred()) PyErr_Clear();
    return n < 0 ? 0 : n;
}

}  // namespace

int ClientWatch::start(PyObject* channel, bool asgi) {
    if (!asgi) {
        int has = PyObject_HasAttrWithError(channel, state.str_client_disconnect);
        if (has <= 0) return has;
    }
    Ref loop = Ref::steal(PyObject_CallNoArgs(state.get_running_loop));
    if (!loop) return -1;
    if (loop.get() == Py_None) return 0;  // driven outside an event loop: nobody to listen
    Ref task = Ref::steal(PyObject_CallOneArg(state.current_task, loop.get()));
    if (!task) return -1;
    if (task.get() == Py_None) return 0;
    auto* watch = PyObject_GC_New(WatchObject, state.ClientWatchType);
    if (!watch) return -1;
    watch->writer_task = task.release();
    watch->listener = nullptr;
    watch->base_cancelling = 0;
    watch->gone = watch->streaming = watch->cancel_sent = false;
    PyObject_GC_Track(watch);
    watch_ = Root::steal(reinterpret_cast<PyObject*>(watch));
    watch->base_cancelling = cancelling(watch->writer_task);

    Ref body = Ref::steal(coro::make_coroutine(listen_body(Root::borrow(watch_.get()), Root::borrow(channel), asgi),
                                               "ClientWatch.listen"));
    if (!body) return -1;
    Ref listener = Ref::steal(PyObject_CallMethodOneArg(loop.get(), state.str_create_task, body.get()));
    if (!listener) return -1;
    watch->listener = listener.release();
    return 0;
}

bool ClientWatch::gone() const { return watch_ && as_watch(watch_.get())->gone; }

bool ClientWatch::active() const { return static_cast<bool>(watch_); }

void ClientWatch::streaming(bool inside) {
    if (watch_) as_watch(watch_.get())->streaming = inside;
}

int ClientWatch::absorb() {
    if (!watch_) return 0;
    WatchObject* watch = as_watch(watch_.get());
    watch->streaming = false;
    if (!watch->cancel_sent || !PyErr_ExceptionMatches(state.CancelledError)) return 0;
    watch->cancel_sent = false;
    PyObject* pending = PyErr_GetRaisedException();
    Ref task = Ref::borrow(watch->writer_task);
    Ref left = Ref::steal(PyObject_CallMethodNoArgs(task.get(), state.str_uncancel));
    Py_ssize_t remaining = left && PyLong_Check(left.get()) ? PyLong_AsSsize_t(left.get()) : -1;
    if (!left || remaining < 0) {  // not a task that can take a cancellation back
        PyErr_Clear();
        PyErr_SetRaisedException(pending);
        return 0;
    }
    if (remaining > watch->base_cancelling) {  // cancelled by someone else as well
        PyErr_SetRaisedException(pending);
        return 0;
    }
    Py_DECREF(pending);
    watch->gone = true;
    return 1;
}

void ClientWatch::stop() {
    if (!watch_) return;
    WatchObject* watch = as_watch(watch_.get());
    watch->streaming = false;
    PendingError pending;
    if (watch->cancel_sent) {
        // The producer took the cancellation in and carried on: take it back.
        watch->cancel_sent = false;
        Ref task = Ref::borrow(watch->writer_task);
        Ref r = Ref::steal(PyObject_CallMethodNoArgs(task.get(), state.str_uncancel));
        if (!r) PyErr_Clear();
    }
    if (PyObject* listener = watch->listener) {
        watch->listener = nullptr;
        Ref r = Ref::steal(PyObject_CallMethodNoArgs(listener, state.str_cancel));
        if (!r) PendingError::unraisable(listener);
        Py_DECREF(listener);
    }
    Py_CLEAR(watch->writer_task);
    watch_.reset();
}

bool ClientWatch::finish(bool failed) {
    if (failed && !absorb()) {
        stop();
        return true;
    }
    bool left = gone();
    stop();
    if (left) raise_client_gone();
    return left;
}

PyObject* loop_turn() {
    auto* turn = PyObject_New(TurnObject, state.LoopTurnType);
    if (turn) turn->yielded = false;
    return reinterpret_cast<PyObject*>(turn);
}

namespace {

Task abandon_body(Root pieces, Root error) {
    int has = PyObject_HasAttrWithError(pieces.get(), state.str_aclose);
    if (has > 0) {
        Ref closed = co_await coro::await_method(pieces.get(), state.str_aclose);
        if (closed) has = 0;
    }
    if (has != 0) {
        // Closing failed: that error replaces the one of the loop, chained to it.
        PyObject* own = PyErr_GetRaisedException();
        PyException_SetContext(own, error.release());
        PyErr_SetRaisedException(own);
        co_return nullptr;
    }
    PyErr_SetRaisedException(error.release());
    co_return nullptr;
}

}  // namespace

coro::Await abandon_pieces(PyObject* pieces) {
    Root error = Root::steal(PyErr_GetRaisedException());
    return coro::await_on(
        Ref::steal(coro::make_coroutine(abandon_body(Root::borrow(pieces), std::move(error)), "abandon_pieces")));
}

// Whether the client may be listened to through `receive` while a body
// streams: only when the request body is not wanted any more (absent, or
// read to its end), since the listener takes whatever message comes next.
bool may_listen_asgi(RequestObject* request) {
    Ref content = Ref::borrow(request->content);
    if (content.get() == Py_None || !PyObject_TypeCheck(content.get(), state.ASGIContent)) return true;
    Ref complete = Ref::steal(PyObject_GetAttr(content.get(), state.str_complete));
    int read = complete ? PyObject_IsTrue(complete.get()) : -1;
    if (read != 0) {
        PyErr_Clear();
        return read > 0;
    }
    auto* message = static_cast<messages::MessageObject*>(request);
    int chunked = message->vtab->_has_header(message, state.h_transfer_encoding);
    Ref length = Ref::steal(message->vtab->get_first_header(message, state.h_content_length, 0));
    if (chunked < 0 || !length) {
        PyErr_Clear();
        return false;
    }
    if (chunked) return false;
    return length.get() == Py_None ||
           (PyBytes_Check(length.get()) && PyBytes_GET_SIZE(length.get()) == 1 && PyBytes_AS_STRING(length.get())[0] == '0');
}

PyObject* raise_client_gone() {
    PyErr_SetString(state.MessageAborted, "The client disconnected while the response body was being sent.");
    return nullptr;
}

int init_client_watch(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &watch_spec, nullptr);
    if (!type) return -1;
    Py_XSETREF(state.ClientWatchType, reinterpret_cast<PyTypeObject*>(type));
    type = PyType_FromModuleAndSpec(module, &turn_spec, nullptr);
    if (!type) return -1;
    Py_XSETREF(state.LoopTurnType, reinterpret_cast<PyTypeObject*>(type));
    return 0;
}

}  // namespace bw::scribe
