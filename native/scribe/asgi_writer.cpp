// ASGI response writer: send_asgi_response (the start message and the body
// messages through the server's `send`), get_chunks (a body cut into pieces
// of at most MAX_RESPONSE_CHUNK_SIZE bytes) and write_chunks (HTTP/1.1
// chunked framing of a streamed body, for the package's own servers).
//
// The head (status, headers, framing, body kind) is decided by
// compose_head (response_head.cpp); this file encodes it as ASGI messages.
// A body ends exactly once.  An empty piece in the middle of a stream sends
// nothing: ending the body there ("more_body": False, or the 0-length chunk
// of the chunked framing) and then sending more would make a real server
// abort the response or corrupt the framing.  The end is sent when the
// pieces run out.
#include <Python.h>

#include <cstring>

#include "brindlewick/args.hpp"
#include "brindlewick/coro.hpp"
#include "brindlewick/gc_fields.hpp"
#include "brindlewick/pyref.hpp"
#include "response_head.hpp"
#include "scribe_core.hpp"

namespace bw::scribe {

using coro::AsyncGen;
using coro::Root;
using coro::Task;

namespace {

// ---- get_chunks ----------------------------------------------------------------

struct ChunksObject {
    PyObject_HEAD
    PyObject* data;
    Py_ssize_t offset;
    Py_ssize_t length;
    int done;  // the closing empty piece was handed out
};

using ChunksFields = ObjectFields<ChunksObject, &ChunksObject::data>;

PyObject* chunks_next(PyObject* op) {
    auto* self = reinterpret_cast<ChunksObject*>(op);
    if (self->done) return nullptr;
    if (self->offset >= self->length) {
        self->done = 1;
        Py_CLEAR(self->data);
        return Py_NewRef(state.empty_bytes);
    }
    Py_ssize_t start = self->offset;
    Py_ssize_t end = self->length - start > kMaxResponseChunkSize ? start + kMaxResponseChunkSize : self->length;
    self->offset = end;
    PyObject* data = self->data;
    if (PyBytes_CheckExact(data)) {
        if (start == 0 && end == PyBytes_GET_SIZE(data)) return Py_NewRef(data);
        return PyBytes_FromStringAndSize(PyBytes_AS_STRING(data) + start, end - start);
    }
    Ref held = Ref::borrow(data);  // slicing may run Python code
    return PySequence_GetSlice(held.get(), start, end);
}

PyObject* self_iter(PyObject* op) { return Py_NewRef(op); }

PyType_Slot chunks_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(ChunksFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(ChunksFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(ChunksFields::clear)},
    {Py_tp_iter, reinterpret_cast<void*>(self_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(chunks_next)},
    {Py_tp_doc, const_cast<char*>("Iterator of get_chunks(): the pieces of a body, then b\"\".")},
    {0, nullptr},
};

PyType_Spec chunks_spec = {
    "brindlewick.scribe._Chunks",
    sizeof(ChunksObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    chunks_slots,
};

PyObject* py_get_chunks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data"};
    static args::Signature sig{"get_chunks", names, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    Py_ssize_t length = PyObject_Length(a[0]);
    if (length < 0) return nullptr;
    auto* self = PyObject_GC_New(ChunksObject, state.ChunksType);
    if (!self) return nullptr;
    self->data = Py_NewRef(a[0]);
    self->offset = 0;
    self->length = length;
    self->done = 0;
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

// ---- messages ----------------------------------------------------------------

// {"type": "http.response.body", "body": body[, "more_body": more]}
// The messages are copies of templates made once (the same keys in the
// same order): copying a small dict and replacing a value costs less than
// building it key by key.
PyObject* body_message(PyObject* body, int more) {
    PyObject* shape = more < 0 ? state.body_template_plain : state.body_template;
    Ref message = Ref::steal(PyDict_Copy(shape));
    if (!message || PyDict_SetItem(message.get(), state.k_body, body) < 0) return nullptr;
    if (more > 0 && PyDict_SetItem(message.get(), state.k_more_body, Py_True) < 0) return nullptr;
    return message.release();
}

PyObject* start_message(ResponseHead& head) {
    Ref status = Ref::steal(PyLong_FromLong(head.status));
    if (!status) return nullptr;
    Ref headers = Ref::steal(head_bytes_list(head));
    if (!headers) return nullptr;
    Ref message = Ref::steal(PyDict_Copy(state.start_template));
    if (!message || PyDict_SetItem(message.get(), state.k_status, status.get()) < 0 ||
        PyDict_SetItem(message.get(), state.k_headers, headers.get()) < 0)
        return nullptr;
    return message.release();
}

// ---- send_asgi_response -----------------------------------------------------------

// A streamed or chunked body: the pieces of `pieces` (an async iterator, or
// a plain one when `sync`), each sent as a body message.  With a `receive`,
// the client is watched meanwhile (client_watch.cpp): when it leaves, the
// producer is closed, nothing more is sent, and MessageAborted is raised.
Task send_asgi_pieces(Root pieces, Root send, Root receive, bool sync) {
    ClientWatch watch;
    if (receive.get() != Py_None && watch.start(receive.get(), true) < 0) co_return nullptr;
    watch.streaming(true);
    bool failed = false;
    for (unsigned n = 1; !watch.gone(); n++) {
        Ref piece;
        if (sync) {
            piece = Ref::steal(PyIter_Next(pieces.get()));
            if (!piece) {
                failed = PyErr_Occurred() != nullptr;
                break;
            }
        } else {
            piece = co_await coro::anext(pieces.get());
            if (!piece) {
                failed = !coro::end_of_iteration();
                break;
            }
        }
        PyObject* out;
        int send_it = stream_piece(piece.get(), &out, false);
        if (send_it < 0) {
            failed = true;
            break;
        }
        if (send_it) {
            Ref bytes = Ref::steal(out);
            Ref message = Ref::steal(body_message(bytes.get(), 1));
            if (!message || !co_await coro::await_call(send.get(), message.get())) {
                failed = true;
                break;
            }
        }
        if (watch.active() && n % kPiecesPerLoopTurn == 0 && !co_await Ref::steal(loop_turn())) {
            failed = true;
            break;
        }
    }
    if (watch.finish(failed)) co_return co_await abandon_pieces(pieces.get());
    // The pieces ran out: end the body.
    Ref closing = Ref::steal(body_message(state.empty_bytes, 0));
    if (!closing || !co_await coro::await_call(send.get(), closing.get())) co_return nullptr;
    co_return Py_NewRef(Py_None);
}

// The response of `head`: the start message, then the body messages.  The
// client is watched through `receive` (None: not) while a streamed or
// chunked body is sent, when may_listen_asgi(request) allows it.
Task send_asgi_body(ResponseHead head, [[maybe_unused]] Root response, Root send, Root receive, Root request) {
    // `response` (the head's) is held as a Root so that the collector sees it
    // while this coroutine is suspended.
    {
        Ref start = Ref::steal(start_message(head));
        if (!start) co_return nullptr;
        if (!co_await coro::await_call(send.get(), start.get())) co_return nullptr;
    }
    if (!head.send_body || head.kind == BodyKind::Empty) {
        Ref message = Ref::steal(body_message(state.empty_bytes, -1));
        if (!message || !co_await coro::await_call(send.get(), message.get())) co_return nullptr;
        co_return Py_NewRef(Py_None);
    }
    bool large = head.kind == BodyKind::Stream || head.length > kMaxResponseChunkSize;
    if (large && receive.get() != Py_None && !may_listen_asgi(messages::as_request(request.get())))
        receive = Root::borrow(Py_None);
    if (head.kind == BodyKind::Stream) {
        Ref parts = Ref::steal(PyObject_CallMethodNoArgs(head.content.get(), state.str_get_parts));
        if (!parts) co_return nullptr;
        Root pieces = Root::steal(async_for_iter(parts.get()));
        if (!pieces) co_return nullptr;
        parts.reset();
        co_return co_await Ref::steal(coro::make_coroutine(
            send_asgi_pieces(std::move(pieces), Root::borrow(send.get()), Root::borrow(receive.get()), false),
            "send_asgi_response"));
    }
    // A whole body: bytes as they are, anything else as its bytes.
    Ref body = Ref::borrow(head.body.get());
    if (!PyBytes_CheckExact(body.get())) {
        body = Ref::steal(PyUnicode_Check(body.get()) ? PyUnicode_AsUTF8String(body.get()) : PyBytes_FromObject(body.get()));
        if (!body) co_return nullptr;
    }
    if (head.length > kMaxResponseChunkSize) {
        // Looked up now, so a replaced module attribute is honoured.
        PyObject* found = PyDict_GetItemWithError(state.module_dict, state.str_get_chunks);  // borrowed
        if (!found) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", state.str_get_chunks);
            co_return nullptr;
        }
        Ref get_chunks = Ref::borrow(found);
        Ref chunks = Ref::steal(PyObject_CallOneArg(get_chunks.get(), body.get()));
        if (!chunks) co_return nullptr;
        Root pieces = Root::steal(PyObject_GetIter(chunks.get()));
        if (!pieces) co_return nullptr;
        chunks.reset();
        co_return co_await Ref::steal(coro::make_coroutine(
            send_asgi_pieces(std::move(pieces), Root::borrow(send.get()), Root::borrow(receive.get()), true),
            "send_asgi_response"));
    }
    Ref message = Ref::steal(body_message(body.get(), 0));
    if (!message || !co_await coro::await_call(send.get(), message.get())) co_return nullptr;
    co_return Py_NewRef(Py_None);
}

PyObject* py_send_asgi_response(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"response", "send"};
    static args::Signature sig{"send_asgi_response", names, 2, 2};
    PyObject* a[2];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    if (!check_response(a[0], "response")) return nullptr;
    ResponseHead head;
    if (compose_head(messages::as_response(a[0]), false, HeadText::Bytes, head) < 0) return nullptr;
    return send_asgi_response(std::move(head), a[1], nullptr, nullptr);
}

// ---- write_chunks ---------------------------------------------------------------------

// b"<hex length>\r\n" + piece + b"\r\n"; `*empty` set (and null returned,
// no error) for a piece of no bytes.
PyObject* frame_chunk(PyObject* piece, bool* empty) {
    Py_buffer view;
    if (PyObject_GetBuffer(piece, &view, PyBUF_SIMPLE) < 0) return nullptr;
    *empty = view.len == 0;
    PyObject* out = nullptr;
    if (!*empty) {
        char head[24];
        int head_len = PyOS_snprintf(head, sizeof head, "%zx\r\n", view.len);
        out = PyBytes_FromStringAndSize(nullptr, head_len + view.len + 2);
        if (out) {
            char* p = PyBytes_AS_STRING(out);
            std::memcpy(p, head, static_cast<size_t>(head_len));
            std::memcpy(p + head_len, view.buf, static_cast<size_t>(view.len));
            std::memcpy(p + head_len + view.len, "\r\n", 2);
        }
    }
    PyBuffer_Release(&view);
    return out;
}

AsyncGen write_chunks_body(Root content) {
    Ref parts = Ref::steal(PyObject_CallMethodNoArgs(content.get(), state.str_get_parts));
    if (!parts) co_return;
    Root pieces = Root::steal(async_for_iter(parts.get()));
    if (!pieces) co_return;
    parts.reset();
    for (;;) {
        Ref piece = co_await coro::anext(pieces.get());
        if (!piece) {
            if (!coro::end_of_iteration()) co_return;
            break;
        }
        if (piece.get() == Py_None) continue;
        if (!PyBytes_Check(piece.get()) && !PyByteArray_Check(piece.get()) && !PyMemoryView_Check(piece.get())) {
            args::raise_expected("bytes", piece.get());
            co_return;
        }
        bool empty = false;
        Ref chunk = Ref::steal(frame_chunk(piece.get(), &empty));
        if (empty) continue;
        if (!chunk) co_return;
        Ref sent = co_yield std::move(chunk);
        if (!sent) co_return;
    }
    co_yield state.chunk_terminator;
}

PyObject* py_write_chunks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"http_content"};
    static args::Signature sig{"write_chunks", names, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    if (!args::instance(a[0], state.Content, "http_content")) return nullptr;
    return coro::make_async_gen(write_chunks_body(Root::borrow(a[0])), "write_chunks");
}

}  // namespace

PyObject* send_asgi_response(ResponseHead&& head, PyObject* send, PyObject* receive, RequestObject* request) {
    if (!receive || !request) receive = Py_None;
    Root response = Root::borrow(head.response.get());
    return coro::make_coroutine(send_asgi_body(std::move(head), std::move(response), Root::borrow(send), Root::borrow(receive),
                                               Root::borrow(receive == Py_None ? Py_None : messages::as_object(request))),
                                "send_asgi_response");
}

PyMethodDef asgi_functions[] = {
    {"send_asgi_response", BW_METH_FASTCALL_KW(py_send_asgi_response),
     "send_asgi_response(response: Response, send) -> coroutine\n\nSends the response through an ASGI send "
     "callable: http.response.start, then the body messages."},
    {"get_chunks", BW_METH_FASTCALL_KW(py_get_chunks),
     "get_chunks(data: bytes) -> iterator of bytes\n\nThe pieces of data of at most MAX_RESPONSE_CHUNK_SIZE "
     "bytes, then b\"\"."},
    {"write_chunks", BW_METH_FASTCALL_KW(py_write_chunks),
     "write_chunks(http_content: Content) -> async iterator of bytes\n\nThe content's pieces in HTTP/1.1 "
     "chunked framing, then the terminating chunk."},
    {nullptr, nullptr, 0, nullptr},
};

namespace {

PyObject* message_template(std::initializer_list<std::pair<PyObject*, PyObject*>> items) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (auto [key, value] : items)
        if (PyDict_SetItem(dict.get(), key, value) < 0) return nullptr;
    return dict.release();
}

}  // namespace

int init_asgi_writer(PyObject* module) {
    for (auto [slot, shape] : {
             std::pair{&state.start_template,
                       message_template({{state.k_type, state.t_start}, {state.k_status, Py_None},
                                         {state.k_headers, Py_None}})},
             std::pair{&state.body_template,
                       message_template({{state.k_type, state.t_body}, {state.k_body, state.empty_bytes},
                                         {state.k_more_body, Py_False}})},
             std::pair{&state.body_template_plain,
                       message_template({{state.k_type, state.t_body}, {state.k_body, state.empty_bytes}})},
         }) {
        if (!shape) return -1;
        Py_XSETREF(*slot, shape);
    }
    PyObject* type = PyType_FromModuleAndSpec(module, &chunks_spec, nullptr);
    if (!type) return -1;
    Py_XSETREF(state.ChunksType, reinterpret_cast<PyTypeObject*>(type));
    return 0;
}

}  // namespace bw::scribe
