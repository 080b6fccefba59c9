// RSGI response writer: the head that compose_head decided (response_head.cpp)
// encoded as (str, str) header pairs and exactly one protocol call chosen by
// the body (empty, bytes, str, file, file range, stream).
// send_rsgi_response_sync completes every non-streamed response without a
// coroutine; a streamed body goes through the coroutine _send_rsgi_stream.
// The server frames whole bodies itself; files, streams of known length and
// the heads of HEAD requests get their content-length from here.
//
// Real servers differ from the textbook protocol in two places, both
// handled here: response_stream() may hand back the transport itself rather
// than an awaitable of it, and the range call may be named
// response_file_partial instead of response_file_range.
#include <Python.h>

#include <sys/stat.h>

#include <cstdint>
#include <cstring>

#include "brindlewick/args.hpp"
#include "brindlewick/coro.hpp"
#include "brindlewick/pyref.hpp"
#include "response_head.hpp"
#include "scribe_core.hpp"

namespace bw::scribe {

using coro::Root;
using coro::Task;

namespace {

// ---- protocol calls ----------------------------------------------------------------

// protocol.<name>(status, headers[, a[, b[, c]]]); the result is dropped.
int call_protocol(PyObject* protocol, PyObject* name, PyObject* status, PyObject* headers, PyObject* a = nullptr,
                  PyObject* b = nullptr, PyObject* c = nullptr) {
    PyObject* argv[] = {protocol, status, headers, a, b, c};
    size_t n = 3 + (a != nullptr) + (b != nullptr) + (c != nullptr);
    Ref r = Ref::steal(PyObject_VectorcallMethod(name, argv, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return r ? 0 : -1;
}

// content.<name>, None when the content has no such attribute.
PyObject* optional_attr(PyObject* obj, PyObject* name) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(obj, name, &value) < 0) return nullptr;
    return value ? value : Py_NewRef(Py_None);
}

// Content types known to have no `file_path`: their instances have no
// attribute dictionary and neither the type nor a base defines the name.
// Keyed by the type's version tag, which changes when the type or a base
// is modified.  Most responses carry a native content type, so the
// attribute lookup (a miss) is skipped for them.
bool lacks_file_path(PyTypeObject* type) {
    NoFilePathEntry& e = state.no_file_path[(reinterpret_cast<uintptr_t>(type) >> 4) & 3];
    unsigned int version = type_version(type);
    if (BW_LIKELY(e.type == type && e.version == version && version != 0)) return true;
    if (type->tp_dictoffset != 0 || PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) return false;
    PyObject* found = nullptr;
    // The lookup on the type finds what an instance without a dictionary would.
    if (PyObject_GetOptionalAttr(reinterpret_cast<PyObject*>(type), state.str_file_path, &found) < 0) {
        PyErr_Clear();  // not cacheable: the instance lookup will report it
        return false;
    }
    if (found) {
        Py_DECREF(found);
        return false;
    }
    version = assign_type_version(type);
    if (version) e = {type, version};
    return true;
}


// A file content: 1 when a file call was made, 0 when the protocol has no
// file call for it (the body path goes on), -1 with an error set.
// The size of the file at `path` (str, bytes or a path-like object), -1
// when it cannot be read (no error set: the server reports the file itself).
Py_ssize_t file_size(PyObject* path) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path, &encoded)) {
        PyErr_Clear();
        return -1;
    }
    Ref held = Ref::steal(encoded);
    struct stat info;
    if (stat(PyBytes_AS_STRING(encoded), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    return static_cast<Py_ssize_t>(info.st_size);
}

// A file content: 1 when a file call was made, 0 when the protocol has no
// file call for it (the body path goes on), -1 with an error set.  The
// length sent is the range's, or the file's own size: the server would
// otherwise chunk the file, HTTP/1.1 and HEAD alike.
int send_file(ResponseHead& head, PyObject* protocol, PyObject* file_path, PyObject* status) {
    PyObject* content = head.content.get();
    Ref range = Ref::steal(optional_attr(content, state.str_file_range));
    if (!range) return -1;
    PyObject* call = nullptr;
    Ref start, end;
    if (range.get() != Py_None) {
        // The range calls, in the order servers name them; a range request
        // must not get the whole file while one of them exists.
        for (PyObject* name : {state.str_response_file_range, state.str_response_file_partial}) {
            int has = PyObject_HasAttrWithError(protocol, name);
            if (has < 0) return -1;
            if (has) {
                call = name;
                break;
            }
        }
        if (call) {
            start = Ref::steal(PySequence_GetItem(range.get(), 0));
            if (!start) return -1;
            end = Ref::steal(PySequence_GetItem(range.get(), 1));
            if (!end) return -1;
            Py_ssize_t first = PyLong_Check(start.get()) ? PyLong_AsSsize_t(start.get()) : -1;
            Py_ssize_t last = PyLong_Check(end.get()) ? PyLong_AsSsize_t(end.get()) : -1;
            if (PyErr_Occurred()) PyErr_Clear();
            head.length = first >= 0 && last >= first ? last - first : -1;
        }
    }
    if (!call) {
        int has = PyObject_HasAttrWithError(protocol, state.str_response_file);
        if (has <= 0) return has;
        call = state.str_response_file;
        head.length = file_size(file_path);
    }
    Ref headers = Ref::steal(head_str_list(head, true));
    if (!headers) return -1;
    int r = start ? call_protocol(protocol, call, status, headers.get(), file_path, start.get(), end.get())
                  : call_protocol(protocol, call, status, headers.get(), file_path);
    return r < 0 ? -1 : 1;
}

}  // namespace

namespace {
Task send_rsgi_stream_body(int status, Root protocol, Root headers, Root content);
}  // namespace

PyObject* send_rsgi_head(ResponseHead&& head, PyObject* protocol) {
    Ref status = Ref::steal(PyLong_FromLong(head.status));
    if (!status) return nullptr;
    if (!head.send_body || head.kind == BodyKind::Empty) {
        // A head only: with the length a body would have had (HEAD), which
        // the server would otherwise count as 0.
        Ref headers = Ref::steal(head_str_list(head, !head.send_body));
        if (!headers || call_protocol(protocol, state.str_response_empty, status.get(), headers.get()) < 0)
            return nullptr;
        Py_RETURN_NONE;
    }
    PyObject* content = head.content.get();
    if (!lacks_file_path(Py_TYPE(content))) {
        Ref file_path = Ref::steal(optional_attr(content, state.str_file_path));
        if (!file_path) return nullptr;
        if (file_path.get() != Py_None) {
            Py_ssize_t declared = head.length;
            int sent = send_file(head, protocol, file_path.get(), status.get());
            if (sent < 0) return nullptr;
            if (sent) Py_RETURN_NONE;
            head.length = declared;
        }
    }
    if (head.kind == BodyKind::Stream) {
        Ref headers = Ref::steal(head_str_list(head, true));
        if (!headers) return nullptr;
        return coro::make_coroutine(send_rsgi_stream_body(head.status, Root::borrow(protocol), Root(std::move(headers)),
                                                          Root::borrow(content)),
                                    "_send_rsgi_stream");
    }
    // A whole body: the server frames it and counts its length itself.
    Ref headers = Ref::steal(head_str_list(head, false));
    if (!headers) return nullptr;
    PyObject* b = head.body.get();
    PyObject* call = PyUnicode_Check(b) ? state.str_response_str : state.str_response_bytes;
    if (call_protocol(protocol, call, status.get(), headers.get(), b) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* send_rsgi_response_sync(ResponseObject* response, PyObject* protocol) {
    ResponseHead head;
    if (compose_head(response, false, HeadText::Str, head) < 0) return nullptr;
    return send_rsgi_head(std::move(head), protocol);
}

namespace {

// ---- streaming ----------------------------------------------------------------------

// Whether `obj` can be awaited (what `await obj` would accept).
bool is_awaitable(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_as_async && type->tp_as_async->am_await) return true;
    if (PyGen_CheckExact(obj)) {
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyGen_GetCode(reinterpret_cast<PyGenObject*>(obj))));
        return code && (reinterpret_cast<PyCodeObject*>(code.get())->co_flags & CO_ITERABLE_COROUTINE);
    }
    return false;
}

Task send_rsgi_stream_body(int status_code, Root protocol, Root headers, Root content) {
    Ref status = Ref::steal(PyLong_FromLong(status_code));
    if (!status) co_return nullptr;
    Root transport;
    {
        PyObject* argv[] = {protocol.get(), status.get(), headers.get()};
        Ref r = Ref::steal(PyObject_VectorcallMethod(state.str_response_stream, argv,
                                                      3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        if (!r) co_return nullptr;
        // Some servers hand back the transport itself, others an awaitable of it.
        if (is_awaitable(r.get())) {
            Ref awaited = co_await std::move(r);
            if (!awaited) co_return nullptr;
            transport = std::move(awaited);
        } else {
            transport = std::move(r);
        }
    }
    Ref stream = Ref::steal(PyObject_CallMethodNoArgs(content.get(), state.str_stream));
    if (!stream) co_return nullptr;
    Root chunks = Root::steal(async_for_iter(stream.get()));
    if (!chunks) co_return nullptr;
    stream.reset();
    // The client is watched while the body streams: a transport whose sends
    // fail once the peer is gone stops the loop by that failure, and
    // client_disconnect() also stops a producer that waits for its next piece.
    ClientWatch watch;
    if (watch.start(protocol.get(), false) < 0) co_return nullptr;
    watch.streaming(true);
    bool failed = false;
    for (unsigned n = 1; !watch.gone(); n++) {
        Ref chunk = co_await coro::anext(chunks.get());
        if (!chunk) {
            failed = !coro::end_of_iteration();
            break;
        }
        PyObject* out;
        int send_it = stream_piece(chunk.get(), &out, true);
        if (send_it < 0) {
            failed = true;
            break;
        }
        if (send_it) {
            Ref piece = Ref::steal(out);
            PyObject* method = PyUnicode_Check(out) ? state.str_send_str : state.str_send_bytes;
            PyObject* argv[] = {transport.get(), piece.get()};
            Ref sent = Ref::steal(
                PyObject_VectorcallMethod(method, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            if (sent && is_awaitable(sent.get())) sent = co_await std::move(sent);
            if (!sent) {
                failed = true;
                break;
            }
        }
        if (watch.active() && n % kPiecesPerLoopTurn == 0 && !co_await Ref::steal(loop_turn())) {
            failed = true;
            break;
        }
    }
    if (watch.finish(failed)) co_return co_await abandon_pieces(chunks.get());
    co_return Py_NewRef(Py_None);
}

Task send_rsgi_body(Root response, Root protocol) {
    Ref pending = Ref::steal(send_rsgi_response_sync(messages::as_response(response.get()), protocol.get()));
    if (!pending) co_return nullptr;
    if (pending.get() != Py_None && !co_await std::move(pending)) co_return nullptr;
    co_return Py_NewRef(Py_None);
}

PyObject* py_send_rsgi_response_sync(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"response", "protocol"};
    static args::Signature sig{"send_rsgi_response_sync", names, 2, 2};
    PyObject* a[2];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    if (!check_response(a[0], "response")) return nullptr;
    return send_rsgi_response_sync(messages::as_response(a[0]), a[1]);
}

PyObject* py_send_rsgi_response(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"response", "protocol"};
    static args::Signature sig{"send_rsgi_response", names, 2, 2};
    PyObject* a[2];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    if (!check_response(a[0], "response")) return nullptr;
    return coro::make_coroutine(send_rsgi_body(Root::borrow(a[0]), Root::borrow(a[1])), "send_rsgi_response");
}

PyObject* py_send_rsgi_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        PyErr_SetString(PyExc_TypeError, "_send_rsgi_stream() takes no keyword arguments");
        return nullptr;
    }
    if (nargs != 4) return args::raise_count("_send_rsgi_stream", 4, 4, nargs), nullptr;
    if (!check_response(args[0], "response") || !args::exact(args[2], &PyList_Type, "headers", false)) return nullptr;
    return coro::make_coroutine(send_rsgi_stream_body(messages::as_response(args[0])->status, Root::borrow(args[1]),
                                                      Root::borrow(args[2]), Root::borrow(args[3])),
                                "_send_rsgi_stream");
}

}  // namespace

PyMethodDef rsgi_writer_functions[] = {
    {"send_rsgi_response_sync", BW_METH_FASTCALL_KW(py_send_rsgi_response_sync),
     "send_rsgi_response_sync(response: Response, protocol) -> None | coroutine\n\nHands the response to the "
     "RSGI protocol; for a streamed body returns the coroutine that sends it (await it)."},
    {"send_rsgi_response", BW_METH_FASTCALL_KW(py_send_rsgi_response),
     "send_rsgi_response(response: Response, protocol) -> coroutine\n\nSends the response through the RSGI "
     "protocol, streaming the body when needed."},
    {"_send_rsgi_stream", BW_METH_FASTCALL_KW(py_send_rsgi_stream),
     "_send_rsgi_stream(response, protocol, headers, content) -> coroutine\n\nStreams a body through "
     "protocol.response_stream()."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace bw::scribe
