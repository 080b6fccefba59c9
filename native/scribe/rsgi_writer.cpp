// RSGI response writer: the response's raw (bytes, bytes) headers as the
// (str, str) pairs RSGI wants, a content-type pair when needed, and exactly
// one protocol call chosen by the content (empty, bytes, str, file, file
// range, stream).  send_rsgi_response_sync completes every non-streamed
// response without a coroutine; a streamed body goes through the coroutine
// _send_rsgi_stream.
//
// Real servers differ from the textbook protocol in two places, both
// handled here: response_stream() may hand back the transport itself rather
// than an awaitable of it, and the range call may be named
// response_file_partial instead of response_file_range.
#include <Python.h>

#include <cstdint>
#include <cstring>

#include "brindlewick/args.hpp"
#include "brindlewick/coro.hpp"
#include "brindlewick/pyref.hpp"
#include "scribe_core.hpp"

namespace bw::scribe {

using coro::Root;
using coro::Task;

namespace {

// ---- headers ---------------------------------------------------------------------

// A new reference to the str that `table` holds for the bytes `obj`, else
// the Latin-1 decoding of `obj`; a str unchanged; anything else as str(obj).
PyObject* header_text(PyObject* obj, PyObject* table) {
    if (PyBytes_Check(obj)) {
        PyObject* hit = nullptr;
        if (PyDict_GetItemRef(table, obj, &hit) < 0) return nullptr;
        if (hit) {
            if (BW_LIKELY(PyUnicode_Check(hit))) return hit;
            Ref wrong = Ref::steal(hit);
            PyErr_Format(PyExc_TypeError, "Expected str, got %.200s", Py_TYPE(hit)->tp_name);
            return nullptr;
        }
        return PyUnicode_DecodeLatin1(PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj), nullptr);
    }
    if (PyUnicode_Check(obj)) return Py_NewRef(obj);
    return PyObject_Str(obj);
}

// The text of a content type for the content-type pair.
PyObject* content_type_text(PyObject* type) {
    if (PyBytes_Check(type)) return header_text(type, state.ct_str_cache);
    if (PyUnicode_Check(type)) return Py_NewRef(type);
    return PyObject_Str(type);
}

PyObject* content_type_list(PyObject* type) {
    Ref text = Ref::steal(content_type_text(type));
    if (!text) return nullptr;
    Ref pair = Ref::steal(PyTuple_Pack(2, state.s_content_type, text.get()));
    if (!pair) return nullptr;
    PyObject* list = PyList_New(1);
    if (list) PyList_SET_ITEM(list, 0, pair.release());
    return list;
}

bool is_content_type_name(PyObject* name) {
    if (name == state.h_content_type) return true;
    if (PyBytes_Check(name))
        return PyBytes_GET_SIZE(name) == 12 && std::memcmp(PyBytes_AS_STRING(name), "content-type", 12) == 0;
    return PyUnicode_Check(name) && PyUnicode_EqualToUTF8AndSize(name, "content-type", 12);
}

// The text of an exact bytes header name or value: the table's shared str
// or the Latin-1 decoding (no Python code runs: exact bytes hash natively).
inline PyObject* plain_text(PyObject* bytes, PyObject* table) {
    PyObject* hit = PyDict_GetItemWithError(table, bytes);  // borrowed, the table is never changed
    if (hit && PyUnicode_CheckExact(hit)) return Py_NewRef(hit);
    if (hit || PyErr_Occurred()) return header_text(bytes, table);
    return PyUnicode_DecodeLatin1(PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes), nullptr);
}

inline bool is_plain_entry(PyObject* h) {
    return PyTuple_CheckExact(h) && PyTuple_GET_SIZE(h) == 2 && PyBytes_CheckExact(PyTuple_GET_ITEM(h, 0)) &&
           PyBytes_CheckExact(PyTuple_GET_ITEM(h, 1));
}

// The usual raw list, every entry an exact (bytes, bytes) tuple: nothing
// in the conversion can run Python code, so the result list is made at
// its final size and filled in place.  Null without an error when the list
// holds anything else (the general path then converts it).
PyObject* plain_rsgi_headers(PyObject* raw, PyObject* content, PyObject* type) {
    Py_ssize_t n = PyList_GET_SIZE(raw);
    bool has_content_type = false;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* h = PyList_GET_ITEM(raw, i);
        if (!is_plain_entry(h)) return nullptr;
        if (!has_content_type && is_content_type_name(PyTuple_GET_ITEM(h, 0))) has_content_type = true;
    }
    bool add_type = !has_content_type && content != Py_None && type != Py_None;
    Ref extra;
    if (add_type) {
        // Converted first: a str() of an unusual type may run Python code.
        Ref text = Ref::steal(content_type_text(type));
        if (!text) return nullptr;
        extra = Ref::steal(PyTuple_Pack(2, state.s_content_type, text.get()));
        if (!extra) return nullptr;
        if (PyList_GET_SIZE(raw) != n) return nullptr;  // changed meanwhile: the general path
        for (Py_ssize_t i = 0; i < n; i++)
            if (!is_plain_entry(PyList_GET_ITEM(raw, i))) return nullptr;
    }
    Ref headers = Ref::steal(PyList_New(n + (add_type ? 1 : 0)));
    if (!headers) return nullptr;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* pair = PyTuple_New(2);
        if (!pair) return nullptr;
        PyList_SET_ITEM(headers.get(), i, pair);
        // An allocation may run a collection, and a finalizer may change the
        // list: check it again, and hold the entry while it is converted.
        if (PyList_GET_SIZE(raw) != n || !is_plain_entry(PyList_GET_ITEM(raw, i))) return nullptr;
        Ref entry = Ref::borrow(PyList_GET_ITEM(raw, i));
        PyObject* h = entry.get();
        PyObject* name = plain_text(PyTuple_GET_ITEM(h, 0), state.outbound_name_str);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(pair, 0, name);
        PyObject* value = plain_text(PyTuple_GET_ITEM(h, 1), state.outbound_val_str);
        if (!value) return nullptr;
        PyTuple_SET_ITEM(pair, 1, value);
    }
    if (add_type) PyList_SET_ITEM(headers.get(), n, extra.release());
    return headers.release();
}

// The content-type objects last found in STATIC_HEADERS_BY_CT_BYTES, with
// their lists: content classes keep one bytes object for their type, so an
// identity test finds the list without hashing and comparing the bytes.
// Both references are owned (a remembered object is never freed while its
// address is compared).  The table never changes, so an entry stays true.
struct PrebuiltHit {
    PyObject* type;
    PyObject* list;
};
PrebuiltHit prebuilt_hits[4] = {};
unsigned prebuilt_next = 0;

void remember_prebuilt(PyObject* type, PyObject* list) {
    PrebuiltHit& slot = prebuilt_hits[prebuilt_next++ & 3];
    PyObject* old_type = slot.type;
    PyObject* old_list = slot.list;
    slot = {Py_NewRef(type), Py_NewRef(list)};
    Py_XDECREF(old_type);
    Py_XDECREF(old_list);
}

// The header list handed to the protocol (new reference): a shared
// constant list when the response has no headers of its own.
PyObject* rsgi_headers(PyObject* raw, PyObject* content, PyObject* type) {
    if (raw == Py_None || (PyList_Check(raw) && PyList_GET_SIZE(raw) == 0)) {
        if (content == Py_None || type == Py_None) return Py_NewRef(state.empty_headers);
        for (const PrebuiltHit& hit : prebuilt_hits)
            if (hit.type == type) return Py_NewRef(hit.list);
        PyObject* shared = nullptr;
        if (PyBytes_Check(type) && PyDict_GetItemRef(state.static_headers_by_ct, type, &shared) < 0) return nullptr;
        if (shared) {
            if (BW_LIKELY(PyList_CheckExact(shared))) {
                if (PyBytes_CheckExact(type)) remember_prebuilt(type, shared);
                return shared;
            }
            Ref wrong = Ref::steal(shared);
            PyErr_Format(PyExc_TypeError, "Expected list, got %.200s", Py_TYPE(shared)->tp_name);
            return nullptr;
        }
        return content_type_list(type);
    }
    if (!PyList_Check(raw)) return args::raise_expected("list", raw), nullptr;
    if (PyObject* plain = plain_rsgi_headers(raw, content, type)) return plain;
    if (PyErr_Occurred()) return nullptr;
    Ref headers = Ref::steal(PyList_New(0));
    if (!headers) return nullptr;
    bool has_content_type = false;
    // The size is read on every turn: a lookup may run Python code (a bytes
    // subclass's __hash__, str()) that changes the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(raw); i++) {
        Ref h = Ref::borrow(PyList_GET_ITEM(raw, i));
        Ref name, value;
        if (PyTuple_CheckExact(h.get()) && PyTuple_GET_SIZE(h.get()) >= 2) {
            name = Ref::borrow(PyTuple_GET_ITEM(h.get(), 0));
            value = Ref::borrow(PyTuple_GET_ITEM(h.get(), 1));
        } else {
            name = Ref::steal(PySequence_GetItem(h.get(), 0));
            if (!name) return nullptr;
            value = Ref::steal(PySequence_GetItem(h.get(), 1));
            if (!value) return nullptr;
        }
        Ref name_text = Ref::steal(header_text(name.get(), state.outbound_name_str));
        if (!name_text) return nullptr;
        Ref value_text = Ref::steal(header_text(value.get(), state.outbound_val_str));
        if (!value_text) return nullptr;
        if (is_content_type_name(name.get())) has_content_type = true;
        PyObject* pair = PyTuple_New(2);
        if (!pair) return nullptr;
        PyTuple_SET_ITEM(pair, 0, name_text.release());
        PyTuple_SET_ITEM(pair, 1, value_text.release());
        Ref held = Ref::steal(pair);
        if (PyList_Append(headers.get(), pair) < 0) return nullptr;
    }
    if (!has_content_type && content != Py_None && type != Py_None) {
        Ref text = Ref::steal(content_type_text(type));
        if (!text) return nullptr;
        Ref pair = Ref::steal(PyTuple_Pack(2, state.s_content_type, text.get()));
        if (!pair || PyList_Append(headers.get(), pair.get()) < 0) return nullptr;
    }
    return headers.release();
}

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
struct NoFilePathEntry {
    PyTypeObject* type;
    unsigned int version;
};
NoFilePathEntry no_file_path_cache[4] = {};

bool lacks_file_path(PyTypeObject* type) {
    NoFilePathEntry& e = no_file_path_cache[(reinterpret_cast<uintptr_t>(type) >> 4) & 3];
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

inline bool is_bytes_like(PyObject* obj) {
    return PyBytes_CheckExact(obj) || PyMemoryView_Check(obj) || PyByteArray_Check(obj);
}

// A file content: 1 when a file call was made, 0 when the protocol has no
// file call for it (the body path goes on), -1 with an error set.
int send_file(PyObject* protocol, PyObject* content, PyObject* file_path, PyObject* status, PyObject* headers) {
    Ref range = Ref::steal(optional_attr(content, state.str_file_range));
    if (!range) return -1;
    if (range.get() != Py_None) {
        // The range calls, in the order servers name them; a range request
        // must not get the whole file while one of them exists.
        for (PyObject* name : {state.str_response_file_range, state.str_response_file_partial}) {
            int has = PyObject_HasAttrWithError(protocol, name);
            if (has < 0) return -1;
            if (!has) continue;
            Ref start = Ref::steal(PySequence_GetItem(range.get(), 0));
            if (!start) return -1;
            Ref end = Ref::steal(PySequence_GetItem(range.get(), 1));
            if (!end) return -1;
            return call_protocol(protocol, name, status, headers, file_path, start.get(), end.get()) < 0 ? -1 : 1;
        }
    }
    int has = PyObject_HasAttrWithError(protocol, state.str_response_file);
    if (has <= 0) return has;
    return call_protocol(protocol, state.str_response_file, status, headers, file_path) < 0 ? -1 : 1;
}

}  // namespace

PyObject* send_rsgi_response_sync(ResponseObject* response, PyObject* protocol) {
    // Held: the conversions below may run Python code that replaces the fields.
    Ref raw = Ref::borrow(response->_raw_headers);
    Ref content = Ref::borrow(response->content);
    if (content.get() != Py_None && !Py_IS_TYPE(content.get(), state.Content) &&
        !PyObject_TypeCheck(content.get(), state.Content))
        return args::raise_expected("Content", content.get()), nullptr;
    auto* c = reinterpret_cast<ContentObject*>(content.get());
    Ref type = Ref::borrow(content.get() == Py_None ? Py_None : c->type);
    Ref headers = Ref::steal(rsgi_headers(raw.get(), content.get(), type.get()));
    if (!headers) return nullptr;
    Ref status = Ref::steal(PyLong_FromLong(response->status));
    if (!status) return nullptr;

    if (content.get() == Py_None) {
        if (call_protocol(protocol, state.str_response_empty, status.get(), headers.get()) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    if (!lacks_file_path(Py_TYPE(content.get()))) {
        Ref file_path = Ref::steal(optional_attr(content.get(), state.str_file_path));
        if (!file_path) return nullptr;
        if (file_path.get() != Py_None) {
            int sent = send_file(protocol, content.get(), file_path.get(), status.get(), headers.get());
            if (sent < 0) return nullptr;
            if (sent) Py_RETURN_NONE;
        }
    }
    Ref body = Ref::borrow(c->body);
    PyObject* b = body.get();
    int r;
    if (b == Py_None) {
        if (PyObject_TypeCheck(content.get(), state.StreamedContent)) {
            PyObject* found = PyDict_GetItemWithError(state.module_dict, state.str_send_rsgi_stream);  // borrowed
            if (!found) {
                if (!PyErr_Occurred())
                    PyErr_Format(PyExc_NameError, "name '%U' is not defined", state.str_send_rsgi_stream);
                return nullptr;
            }
            Ref stream = Ref::borrow(found);
            PyObject* argv[] = {nullptr, as_object(response), protocol, headers.get(), content.get()};
            return PyObject_Vectorcall(stream.get(), argv + 1, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        }
        r = call_protocol(protocol, state.str_response_empty, status.get(), headers.get());
    } else if (PyBytes_CheckExact(b)) {
        r = call_protocol(protocol, state.str_response_bytes, status.get(), headers.get(), b);
    } else if (PyUnicode_CheckExact(b)) {
        r = call_protocol(protocol, state.str_response_str, status.get(), headers.get(), b);
    } else if (is_bytes_like(b)) {
        r = call_protocol(protocol, state.str_response_bytes, status.get(), headers.get(), b);
    } else {
        Ref text = Ref::steal(PyObject_Str(b));
        if (!text) return nullptr;
        r = call_protocol(protocol, state.str_response_str, status.get(), headers.get(), text.get());
    }
    if (r < 0) return nullptr;
    Py_RETURN_NONE;
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

Task send_rsgi_stream_body(Root response_root, Root protocol, Root headers, Root content) {
    auto* response = messages::as_response(response_root.get());
    Ref status = Ref::steal(PyLong_FromLong(response->status));
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
        int truth = PyObject_IsTrue(chunk.get());
        if (truth < 0) {
            failed = true;
            break;
        }
        if (truth) {
            PyObject* method;
            Ref piece;
            if (PyBytes_CheckExact(chunk.get())) {
                method = state.str_send_bytes;
                piece = std::move(chunk);
            } else if (PyUnicode_CheckExact(chunk.get())) {
                method = state.str_send_str;
                piece = std::move(chunk);
            } else if (is_bytes_like(chunk.get())) {
                method = state.str_send_bytes;
                piece = std::move(chunk);
            } else {
                method = state.str_send_str;
                piece = Ref::steal(PyObject_Str(chunk.get()));
            }
            if (!piece) {
                failed = true;
                break;
            }
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
    if (failed && !watch.absorb()) {
        watch.stop();
        co_return co_await abandon_pieces(chunks.get());
    }
    bool gone = watch.gone();
    watch.stop();
    if (gone) {
        raise_client_gone();
        co_return co_await abandon_pieces(chunks.get());
    }
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
    return coro::make_coroutine(send_rsgi_stream_body(Root::borrow(args[0]), Root::borrow(args[1]),
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
