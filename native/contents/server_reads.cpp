// Asynchronous reads of ASGIContent, RSGIContent and StreamedContent.
//
// The bodies are native coroutines and async generators (bw::coro).  The
// content object carries the state between calls:
//  * a whole-body read keeps what it has received in `parts` when it is
//    interrupted (cancelled, or the server raised), and the next read goes on
//    from there; when it completes the body is kept in `body`;
//  * stream() hands chunks out as they arrive; a body that arrives in one
//    piece is kept as the whole body, a longer one is not kept at all (the
//    state becomes kBodyStreamed and a later whole-body read refuses);
//  * a disconnect (ASGI), a server that fails to deliver a body whose
//    length the message declared (RSGI), or fewer bytes than that length
//    mark the content aborted: every later read raises MessageAborted
//    without asking the server again;
//  * a read that passes the limit its message set (limit_server_body) drops
//    what it received and raises PayloadTooLarge, and so does every later
//    read.  Without a declared length an RSGI body read whole is taken
//    through the protocol's iterator, so that the limit holds while it
//    arrives.
#include <Python.h>

#include "brindlewick/compat.hpp"
#include "brindlewick/args.hpp"
#include "brindlewick/coro.hpp"
#include "brindlewick/pyref.hpp"
#include "server_reads.hpp"

namespace bw::contents {

namespace {

using coro::AsyncGen;
using coro::Root;
using coro::Task;

inline ServerContentObject* as_server(PyObject* op) { return reinterpret_cast<ServerContentObject*>(op); }

bool is_bytes_like(PyObject* v) { return PyBytes_Check(v) || PyByteArray_Check(v) || PyMemoryView_Check(v); }

// Clears the busy flag when the reading frame ends, however it ends.  The
// body's `owner` parameter keeps the object alive for longer than the guard.
struct BusyGuard {
    ServerContentObject* self;
    explicit BusyGuard(ServerContentObject* s) : self(s) { s->busy = 1; }
    ~BusyGuard() { self->busy = 0; }
};

// Awaitable of `source()`: the call is made at once, holding a reference to
// the source for its duration (a dispose run by the call cannot free it).
coro::Await call_source(ServerContentObject* self) {
    Ref source = Ref::borrow(self->source);
    return coro::await_call(source.get());
}

// Refuses a read that cannot give the whole body.  0 when the read may go on.
int check_can_read(ServerContentObject* self, bool streaming) {
    switch (self->state) {
        case kBodyDisposed:
            PyErr_SetString(state.InvalidOperation, "The content was disposed; its body is no longer available.");
            return -1;
        case kBodyAborted:
            PyErr_SetNone(state.MessageAborted);
            return -1;
        case kBodyTooLarge:
            raise_too_large(self->limit);
            return -1;
        case kBodyStreamed:
            PyErr_SetString(state.InvalidOperation,
                            streaming ? "The body was already streamed; it cannot be streamed again."
                                      : "The body was consumed by stream(); it cannot be read whole.");
            return -1;
        default:
            break;
    }
    if (self->busy) {
        PyErr_SetString(state.InvalidOperation, "The body is already being read.");
        return -1;
    }
    return 0;
}

// The result of a whole-body read: the body, or a memoryview of it.
PyObject* whole_body(ServerContentObject* self, bool as_view) {
    if (as_view) return memoryview_of(self->body);
    return Py_NewRef(self->body);
}

// A chunk as kept or handed out: bytes stay as they are (no copy), other
// bytes-like objects are copied so later changes by the server cannot alter
// the body.
PyObject* chunk_bytes(PyObject* chunk) {
    if (PyBytes_CheckExact(chunk)) return Py_NewRef(chunk);
    if (!is_bytes_like(chunk)) return args::raise_expected("bytes", chunk), nullptr;
    return PyBytes_FromObject(chunk);
}

int append_part(ServerContentObject* self, PyObject* chunk) {
    if (self->parts == Py_None) {
        PyObject* list = PyList_New(0);
        if (!list) return -1;
        assign_field_steal(self->parts, list);
    }
    return PyList_Append(self->parts, chunk);
}

// Moves what `parts` holds (plus `last`, which may be null) into the body.
int complete_body(ServerContentObject* self, PyObject* last) {
    Ref body;
    Py_ssize_t kept = self->parts == Py_None ? 0 : PyList_GET_SIZE(self->parts);
    if (kept == 0) {
        body = Ref::borrow(last ? last : state.empty_bytes);
    } else {
        if (last && PyBytes_GET_SIZE(last) > 0 && PyList_Append(self->parts, last) < 0) return -1;
        body = Ref::steal(bytes_join(state.empty_bytes, self->parts));
        if (!body) return -1;
    }
    assign_field(self->body, body.get());
    assign_field(self->parts, Py_None);
    self->length = PyBytes_GET_SIZE(body.get());
    self->state = kBodyComplete;
    return 0;
}

// ---- ASGI ----------------------------------------------------------------------

enum MessageKind { kChunk, kDisconnect };

PyObject* message_get(PyObject* message, PyObject* key, int* found) {
    PyObject* value = nullptr;
    int r = PyDict_Check(message) ? PyDict_GetItemRef(message, key, &value)
                                  : PyMapping_GetOptionalItem(message, key, &value);
    *found = r;
    return value;
}

// Reads one receive() result.  Returns the kind, or -1 with an error set.
int read_message(PyObject* message, Ref& chunk, bool& more) {
    if (!PyDict_Check(message) && (!PyMapping_Check(message) || PyList_Check(message) || PyTuple_Check(message) ||
                                   PyUnicode_Check(message) || PyBytes_Check(message))) {
        PyErr_Format(PyExc_TypeError, "ASGI receive() must give a message dict, got %.200s",
                     Py_TYPE(message)->tp_name);
        return -1;
    }
    int found;
    Ref type = Ref::steal(message_get(message, state.str_type, &found));
    if (found < 0) return -1;
    if (type && PyUnicode_Check(type.get())) {
        if (type.get() == state.str_http_disconnect || PyUnicode_Compare(type.get(), state.str_http_disconnect) == 0)
            return kDisconnect;
        if (type.get() == state.str_http_request || PyUnicode_Compare(type.get(), state.str_http_request) == 0) {
            Ref body = Ref::steal(message_get(message, state.str_body, &found));
            if (found < 0) return -1;
            if (!body) {
                chunk = Ref::borrow(state.empty_bytes);
            } else {
                if (!is_bytes_like(body.get())) {
                    PyErr_Format(PyExc_TypeError, "the body of an ASGI http.request message must be bytes, got %.200s",
                                 Py_TYPE(body.get())->tp_name);
                    return -1;
                }
                chunk = Ref::steal(chunk_bytes(body.get()));
                if (!chunk) return -1;
            }
            Ref more_obj = Ref::steal(message_get(message, state.str_more_body, &found));
            if (found < 0) return -1;
            int truth = more_obj ? PyObject_IsTrue(more_obj.get()) : 0;
            if (truth < 0) return -1;
            more = truth == 1;
            return kChunk;
        }
    }
    if (PyErr_Occurred()) return -1;
    PyErr_Format(PyExc_ValueError, "unexpected ASGI message type %R while reading a request body",
                 type ? type.get() : Py_None);
    return -1;
}

// Sum of what an interrupted read kept.
Py_ssize_t kept_size(ServerContentObject* self) {
    if (self->parts == Py_None) return 0;
    Py_ssize_t n = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(self->parts); i++) n += PyBytes_GET_SIZE(PyList_GET_ITEM(self->parts, i));
    return n;
}

// Whether `received` bytes pass the limit of the current read.
inline bool past_limit(ServerContentObject* self, Py_ssize_t received) {
    return self->limit >= 0 && received > self->limit;
}

// Whether a body that ended after `received` bytes is shorter than declared.
inline bool cut_short(ServerContentObject* self, Py_ssize_t received) {
    return self->declared >= 0 && received < self->declared;
}

int abort_body(ServerContentObject* self) {
    self->state = kBodyAborted;
    assign_field(self->parts, Py_None);
    PyErr_SetNone(state.MessageAborted);
    return -1;
}

// A server that failed to deliver a body the message declared: the body is
// aborted, MessageAborted raised from the server's own error (granian says
// "RSGI transport is closed" when the client went away mid-body).  Other
// failures (no declared length, cancellation) propagate as they are.
void abort_from_server_error(ServerContentObject* self) {
    if (self->declared < 0 || !PyErr_ExceptionMatches(PyExc_Exception)) return;
    PyObject* cause = PyErr_GetRaisedException();
    abort_body(self);
    PyObject* exc = PyErr_GetRaisedException();
    PyException_SetCause(exc, cause);  // steals `cause`
    PyErr_SetRaisedException(exc);
}

int refuse_body(ServerContentObject* self) {
    self->state = kBodyTooLarge;
    assign_field(self->parts, Py_None);
    raise_too_large(self->limit);
    return -1;
}

Task asgi_read_body(Root owner, bool as_view) {
    auto* self = as_server(owner.get());
    if (self->state == kBodyComplete) co_return whole_body(self, as_view);
    if (check_can_read(self, false) < 0) co_return nullptr;
    BusyGuard busy(self);
    Py_ssize_t received = kept_size(self);
    for (;;) {
        // A dispose while suspended is seen after the await.
        Ref message = co_await call_source(self);
        if (!message) co_return nullptr;  // what came so far stays in `parts`
        if (self->state == kBodyDisposed) {
            check_can_read(self, false);
            co_return nullptr;
        }
        Ref chunk;
        bool more = false;
        int kind = read_message(message.get(), chunk, more);
        if (kind < 0) co_return nullptr;
        // Reading the message ran Python code (a mapping's lookups, the
        // truth of more_body), which may have disposed the content.
        if (self->state == kBodyDisposed) {
            check_can_read(self, false);
            co_return nullptr;
        }
        if (kind == kDisconnect) {
            abort_body(self);
            co_return nullptr;
        }
        received += PyBytes_GET_SIZE(chunk.get());
        if (past_limit(self, received)) {
            refuse_body(self);
            co_return nullptr;
        }
        if (!more) {
            if (cut_short(self, received)) {
                abort_body(self);
                co_return nullptr;
            }
            if (complete_body(self, chunk.get()) < 0) co_return nullptr;
            co_return whole_body(self, as_view);
        }
        if (PyBytes_GET_SIZE(chunk.get()) > 0 && append_part(self, chunk.get()) < 0) co_return nullptr;
        self->state = kBodyPartial;
    }
}

// Hands out what an interrupted read kept before asking the server for more.
// Returns the list (new reference) or None.
PyObject* take_parts(ServerContentObject* self) {
    PyObject* parts = self->parts;
    self->parts = Py_NewRef(Py_None);
    return parts;
}

AsyncGen asgi_stream_body(Root owner) {
    auto* self = as_server(owner.get());
    if (self->state == kBodyComplete) {
        // `body` may have been replaced by any object: held across its length.
        Ref body = Ref::borrow(self->body);
        Py_ssize_t n = PyObject_Length(body.get());
        if (n < 0) co_return;
        if (n > 0) {
            Ref sent = co_yield std::move(body);
            (void)sent;
        }
        co_return;
    }
    if (check_can_read(self, true) < 0) co_return;
    BusyGuard busy(self);
    Py_ssize_t received = kept_size(self);
    if (past_limit(self, received)) {
        refuse_body(self);
        co_return;
    }
    Root kept = Root::steal(take_parts(self));
    bool handed_out = false;
    if (kept.get() != Py_None) {
        self->state = kBodyStreamed;
        handed_out = true;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(kept.get()); i++) {
            Ref chunk = Ref::borrow(PyList_GET_ITEM(kept.get(), i));
            Ref sent = co_yield std::move(chunk);
            if (!sent) co_return;
        }
    }
    kept.reset();
    for (;;) {
        if (self->state == kBodyDisposed) {  // disposed between two chunks
            check_can_read(self, true);
            co_return;
        }
        Ref message = co_await call_source(self);
        if (!message) co_return;
        if (self->state == kBodyDisposed) {
            check_can_read(self, true);
            co_return;
        }
        Ref chunk;
        bool more = false;
        int kind = read_message(message.get(), chunk, more);
        if (kind < 0) co_return;
        if (self->state == kBodyDisposed) {  // by Python code run while reading the message
            check_can_read(self, true);
            co_return;
        }
        if (kind == kDisconnect) {
            abort_body(self);
            co_return;
        }
        received += PyBytes_GET_SIZE(chunk.get());
        if (past_limit(self, received)) {
            refuse_body(self);
            co_return;
        }
        if (!more && cut_short(self, received)) {
            abort_body(self);
            co_return;
        }
        if (!more && !handed_out) {
            // The whole body in one message: keep it, so that a later read
            // (or a disconnection probe that ran first) loses nothing.
            if (complete_body(self, chunk.get()) < 0) co_return;
        }
        if (PyBytes_GET_SIZE(chunk.get()) > 0) {
            if (self->state != kBodyComplete) self->state = kBodyStreamed;
            handed_out = true;
            Ref sent = co_yield std::move(chunk);
            if (!sent) co_return;
        }
        if (!more) co_return;
    }
}

// ---- RSGI ----------------------------------------------------------------------

Task rsgi_read_body(Root owner, bool as_view) {
    auto* self = as_server(owner.get());
    if (self->state == kBodyComplete) co_return whole_body(self, as_view);
    if (check_can_read(self, false) < 0) co_return nullptr;
    if (self->state == kBodyPartial) {
        PyErr_SetString(state.InvalidOperation, "The body is in an unknown state after an interrupted read.");
        co_return nullptr;
    }
    BusyGuard busy(self);
    Ref data;
    if (self->limit >= 0 && self->declared < 0) {
        // No declared length: `await protocol()` would take a body of any
        // size, so the pieces are taken from the iterator and counted.
        Root iterator = Root::steal(coro::aiter(Ref::borrow(self->source).get()));
        if (!iterator) co_return nullptr;
        Ref parts = Ref::steal(PyList_New(0));
        if (!parts) co_return nullptr;
        Py_ssize_t received = 0;
        for (;;) {
            Ref chunk_obj = co_await coro::anext(iterator.get());
            if (!chunk_obj) {
                if (!coro::end_of_iteration()) co_return nullptr;
                break;
            }
            if (self->state == kBodyDisposed) {
                check_can_read(self, false);
                co_return nullptr;
            }
            Ref chunk = Ref::steal(chunk_bytes(chunk_obj.get()));
            if (!chunk) co_return nullptr;
            if (PyBytes_GET_SIZE(chunk.get()) == 0) continue;
            // Pieces were taken from the server: an interrupted read cannot
            // be taken up again.
            self->state = kBodyPartial;
            received += PyBytes_GET_SIZE(chunk.get());
            if (past_limit(self, received)) {
                refuse_body(self);
                co_return nullptr;
            }
            if (PyList_Append(parts.get(), chunk.get()) < 0) co_return nullptr;
        }
        data = PyList_GET_SIZE(parts.get()) == 1 ? Ref::borrow(PyList_GET_ITEM(parts.get(), 0))
                                                 : Ref::steal(bytes_join(state.empty_bytes, parts.get()));
    } else {
        data = co_await call_source(self);
        if (!data) abort_from_server_error(self);
    }
    if (!data) co_return nullptr;
    if (self->state == kBodyDisposed) {
        check_can_read(self, false);
        co_return nullptr;
    }
    // The protocol's body is used as delivered (no copy) when it is bytes.
    if (!is_bytes_like(data.get())) {
        PyErr_Format(PyExc_TypeError, "the RSGI protocol must give the body as bytes, got %.200s",
                     Py_TYPE(data.get())->tp_name);
        co_return nullptr;
    }
    Py_ssize_t length = PyObject_Length(data.get());
    if (length < 0) co_return nullptr;
    if (PyMemoryView_Check(data.get())) {
        length = PyMemoryView_GET_BUFFER(data.get())->len;
    }
    if (past_limit(self, length)) {
        refuse_body(self);
        co_return nullptr;
    }
    if (cut_short(self, length)) {
        abort_body(self);
        co_return nullptr;
    }
    assign_field(self->body, data.get());
    self->length = length;
    self->state = kBodyComplete;
    co_return whole_body(self, as_view);
}

AsyncGen rsgi_stream_body(Root owner) {
    auto* self = as_server(owner.get());
    if (self->state == kBodyComplete) {
        // `body` may have been replaced by any object: held across its length.
        Ref body = Ref::borrow(self->body);
        Py_ssize_t n = PyObject_Length(body.get());
        if (n < 0) co_return;
        if (n > 0) {
            Ref sent = co_yield std::move(body);
            (void)sent;
        }
        co_return;
    }
    if (check_can_read(self, true) < 0) co_return;
    BusyGuard busy(self);
    Root iterator = Root::steal(coro::aiter(Ref::borrow(self->source).get()));
    if (!iterator) co_return;
    // The first piece is kept until a second one shows up: a body that came
    // in one piece stays readable afterwards.
    Ref first;
    bool handed_out = false;
    Py_ssize_t received = 0;
    for (;;) {
        Ref chunk_obj = co_await coro::anext(iterator.get());
        if (!chunk_obj) {
            if (!coro::end_of_iteration()) {
                abort_from_server_error(self);
                co_return;
            }
            // granian's iterator ends without a word when the client goes
            // away mid-body: only the count tells.
            if (cut_short(self, received)) {
                abort_body(self);
                co_return;
            }
            if (!handed_out || first) {
                if (complete_body(self, first ? first.get() : state.empty_bytes) < 0) co_return;
            }
            co_return;
        }
        if (self->state == kBodyDisposed) {
            check_can_read(self, true);
            co_return;
        }
        Ref chunk = Ref::steal(chunk_bytes(chunk_obj.get()));
        if (!chunk) co_return;
        if (PyBytes_GET_SIZE(chunk.get()) == 0) continue;
        received += PyBytes_GET_SIZE(chunk.get());
        if (past_limit(self, received)) {
            refuse_body(self);
            co_return;
        }
        if (!handed_out) {
            first = Ref::borrow(chunk.get());
        } else {
            first.reset();
        }
        handed_out = true;
        self->state = kBodyStreamed;
        Ref sent = co_yield std::move(chunk);
        if (!sent) co_return;
    }
}

// ---- StreamedContent -----------------------------------------------------------

Task streamed_read_body(Root owner, bool as_view) {
    auto* self = reinterpret_cast<StreamedContentObject*>(owner.get());
    // Held for the call: the provider may re-initialise the content.
    Ref provider = Ref::borrow(self->data_provider);
    if (provider.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "StreamedContent has no data_provider");
        co_return nullptr;
    }
    Ref iterable = Ref::steal(PyObject_CallNoArgs(provider.get()));
    if (!iterable) co_return nullptr;
    Root iterator = Root::steal(coro::aiter(iterable.get()));
    if (!iterator) co_return nullptr;
    iterable.reset();
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts) co_return nullptr;
    for (;;) {
        Ref chunk_obj = co_await coro::anext(iterator.get());
        if (!chunk_obj) {
            if (!coro::end_of_iteration()) co_return nullptr;
            break;
        }
        Ref chunk = Ref::steal(chunk_bytes(chunk_obj.get()));
        if (!chunk || PyList_Append(parts.get(), chunk.get()) < 0) co_return nullptr;
    }
    Ref body = PyList_GET_SIZE(parts.get()) == 1 ? Ref::borrow(PyList_GET_ITEM(parts.get(), 0))
                                                 : Ref::steal(bytes_join(state.empty_bytes, parts.get()));
    if (!body || !as_view) co_return std::move(body);
    co_return PyMemoryView_FromObject(body.get());
}

}  // namespace

void raise_too_large(Py_ssize_t limit) {
    PyErr_Format(state.PayloadTooLarge, "The request body is larger than the limit of %zd bytes.", limit);
}

PyObject* asgi_read(ServerContentObject* self, bool as_view) {
    return coro::make_coroutine(asgi_read_body(Root::borrow(reinterpret_cast<PyObject*>(self)), as_view),
                                as_view ? "ASGIContent.read_buffer" : "ASGIContent.read");
}

PyObject* rsgi_read(ServerContentObject* self, bool as_view) {
    return coro::make_coroutine(rsgi_read_body(Root::borrow(reinterpret_cast<PyObject*>(self)), as_view),
                                as_view ? "RSGIContent.read_buffer" : "RSGIContent.read");
}

PyObject* asgi_stream(ServerContentObject* self) {
    return coro::make_async_gen(asgi_stream_body(Root::borrow(reinterpret_cast<PyObject*>(self))),
                                "ASGIContent.stream");
}

PyObject* rsgi_stream(ServerContentObject* self) {
    return coro::make_async_gen(rsgi_stream_body(Root::borrow(reinterpret_cast<PyObject*>(self))),
                                "RSGIContent.stream");
}

PyObject* streamed_read(PyObject* self, bool as_view) {
    return coro::make_coroutine(streamed_read_body(Root::borrow(self), as_view),
                                as_view ? "StreamedContent.read_buffer" : "StreamedContent.read");
}

}  // namespace bw::contents
