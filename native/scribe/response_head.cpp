// Response head composition shared by the writers (see response_head.hpp):
// compose_head, its two encodings of the header list (bytes pairs for ASGI,
// str pairs for RSGI), the rule for streamed pieces, and the Python
// functions set_headers_for_response_content and write_response_cookie.
#include "response_head.hpp"

#include <cstring>

#include "brindlewick/args.hpp"
#include "brindlewick/fast_parse.h"
#include "brindlewick/header_check.hpp"
#include "brindlewick/pyref.hpp"

namespace bw::scribe {

using coro::Root;

namespace {

enum class Name : uint8_t { Other, ContentType, ContentLength, TransferEncoding };

bool equal_lower(const char* text, Py_ssize_t size, const char* lower, Py_ssize_t lower_size) {
    if (size != lower_size) return false;
    for (Py_ssize_t i = 0; i < size; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c + 32);
        if (c != static_cast<unsigned char>(lower[i])) return false;
    }
    return true;
}

// Which of the headers the composition owns `name` (exact bytes) is, in any case.
Name classify(PyObject* name) {
    if (name == state.h_content_type) return Name::ContentType;
    if (name == state.h_content_length) return Name::ContentLength;
    const char* p = PyBytes_AS_STRING(name);
    Py_ssize_t n = PyBytes_GET_SIZE(name);
    if (n == 12 && equal_lower(p, n, "content-type", 12)) return Name::ContentType;
    if (n == 14 && equal_lower(p, n, "content-length", 14)) return Name::ContentLength;
    if (n == 17 && equal_lower(p, n, "transfer-encoding", 17)) return Name::TransferEncoding;
    return Name::Other;
}

// An exact bytes object for a header name or value the application gave:
// bytes (a subclass copied), bytearray, or str as UTF-8.
PyObject* exact_bytes(PyObject* obj) {
    if (PyBytes_CheckExact(obj)) return Py_NewRef(obj);
    if (PyBytes_Check(obj)) return PyBytes_FromStringAndSize(PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj));
    if (PyByteArray_Check(obj))
        return PyBytes_FromStringAndSize(PyByteArray_AS_STRING(obj), PyByteArray_GET_SIZE(obj));
    if (PyUnicode_Check(obj)) return PyUnicode_AsUTF8String(obj);
    return args::raise_expected("bytes", obj), nullptr;
}

inline bool is_plain_entry(PyObject* h) {
    return PyTuple_CheckExact(h) && PyTuple_GET_SIZE(h) == 2 && PyBytes_CheckExact(PyTuple_GET_ITEM(h, 0)) &&
           PyBytes_CheckExact(PyTuple_GET_ITEM(h, 1));
}

// An empty list with room for `room` items: appending them reallocates
// nothing (the head's content headers go in after the application's).
PyObject* empty_list_with_room(Py_ssize_t room) {
    PyObject* list = PyList_New(room);
    if (list) Py_SET_SIZE(list, 0);  // the slots stay allocated, all null
    return list;
}

// An exact (bytes, bytes) tuple for a header pair in another form (a list,
// a tuple subclass, str or bytearray items).
PyObject* plain_pair(PyObject* entry) {
    Ref pair = Ref::steal(PySequence_Tuple(entry));
    if (!pair) return nullptr;
    if (PyTuple_GET_SIZE(pair.get()) != 2) {
        PyErr_Format(PyExc_ValueError, "a header must be a (name, value) pair, got %zd items",
                     PyTuple_GET_SIZE(pair.get()));
        return nullptr;
    }
    Ref name = Ref::steal(exact_bytes(PyTuple_GET_ITEM(pair.get(), 0)));
    if (!name) return nullptr;
    Ref value = Ref::steal(exact_bytes(PyTuple_GET_ITEM(pair.get(), 1)));
    if (!value) return nullptr;
    return PyTuple_Pack(2, name.get(), value.get());
}

// A new list of exact (bytes, bytes) tuples from any list of pairs.  The
// size is read again on every turn: taking an item of a pair that is not a
// tuple may run Python code that changes the list.
PyObject* plain_copy(PyObject* raw) {
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(raw); i++) {
        Ref h = Ref::borrow(PyList_GET_ITEM(raw, i));
        Ref pair = is_plain_entry(h.get()) ? std::move(h) : Ref::steal(plain_pair(h.get()));
        if (!pair || PyList_Append(out.get(), pair.get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* content_type_text_bytes(PyObject* type);

// The content-type to send for a content's `type` field: the core
// library's shared copy of a common type; application/octet-stream for a
// missing or empty one.
PyObject* content_type_value(PyObject* type) {
    if (type == Py_None) return Py_NewRef(state.v_octet_stream);
    // Content classes keep one bytes object for their type: the answers for
    // the last few are remembered by identity (both references owned, so a
    // remembered address is never that of a freed object).
    for (const TypeHit& hit : state.content_type_hits)
        if (hit.type == type) return Py_NewRef(hit.value);
    Ref value = Ref::steal(content_type_text_bytes(type));
    if (!value || !PyBytes_CheckExact(type)) return value.release();
    TypeHit& slot = state.content_type_hits[state.content_type_next++ & 3];
    PyObject* old_type = slot.type;
    PyObject* old_value = slot.value;
    slot = {Py_NewRef(type), Py_NewRef(value.get())};
    Py_XDECREF(old_type);
    Py_XDECREF(old_value);
    return value.release();
}

PyObject* content_type_text_bytes(PyObject* type) {
    Ref bytes = Ref::steal(exact_bytes(type));
    if (!bytes) return nullptr;
    Py_ssize_t n = PyBytes_GET_SIZE(bytes.get());
    if (n == 0) return Py_NewRef(state.v_octet_stream);
    PyObject* shared = get_interned_content_type_bytes(PyBytes_AS_STRING(bytes.get()), n);
    if (shared) return Py_NewRef(shared);
    if (http::check_header(state.h_content_type, bytes.get()) < 0) return nullptr;
    return bytes.release();
}

// The byte length of a whole body; -1 with TypeError for another type.
Py_ssize_t whole_length(PyObject* body) {
    if (PyBytes_Check(body)) return PyBytes_GET_SIZE(body);
    if (PyByteArray_Check(body)) return PyByteArray_GET_SIZE(body);
    if (PyMemoryView_Check(body)) return PyMemoryView_GET_BUFFER(body)->len;
    if (PyUnicode_Check(body)) {
        Py_ssize_t n;
        return PyUnicode_AsUTF8AndSize(body, &n) ? n : -1;
    }
    return args::raise_expected("bytes", body), -1;
}

PyObject* digits(Py_ssize_t n) {
    if (n == 0) return Py_NewRef(state.v_zero);
    char text[24];
    int size = PyOS_snprintf(text, sizeof text, "%zd", n);
    return PyBytes_FromStringAndSize(text, size);
}

}  // namespace

int compose_head(ResponseObject* response, bool head_request, HeadText text, ResponseHead& h) {
    h.response = Ref::borrow(messages::as_object(response));
    int status = response->status;
    if (status < 200 || status > 599) {
        PyErr_Format(PyExc_ValueError, "Invalid response status %d: a response is sent with a status from 200 to 599",
                     status);
        return -1;
    }
    h.status = status;
    // Neither a 204 nor a 304 is framed: ASGI servers hold a 304 with a
    // content-length to that many body bytes and cut the connection.
    bool bodiless = status == 204 || status == 304;
    h.send_body = !head_request && !bodiless;

    // The content first: its truth test and fields may run Python code; the
    // header walk below runs none.
    h.content = Ref::borrow(response->content);
    PyObject* content = h.content.get();
    // The content classes' own truth test is native and always true; any
    // other (an override of __bool__, a foreign object) is asked.
    PyNumberMethods* number = Py_TYPE(content)->tp_as_number;
    bool native = number && number->nb_bool == state.content_nb_bool;
    int present = native ? 1 : content == Py_None ? 0 : PyObject_IsTrue(content);
    if (present < 0) return -1;
    if (!present) {
        h.content = Ref::borrow(Py_None);
        h.kind = BodyKind::Empty;
        h.length = bodiless ? -1 : 0;
    } else {
        if (!native && !PyObject_TypeCheck(content, state.Content)) return args::raise_expected("Content", content), -1;
        auto* c = reinterpret_cast<ContentObject*>(content);
        Ref type = Ref::borrow(c->type);
        if (status != 204) {
            h.content_type = Ref::steal(content_type_value(type.get()));
            if (!h.content_type) return -1;
        }
        Py_ssize_t length = c->length;
        PyObject* body = c->body;
        // A body of known length is sent whole; streamed content has none.
        if (length >= 0 && body != Py_None) {
            h.body = Ref::borrow(body);
            h.kind = BodyKind::Whole;
            h.length = whole_length(body);
            if (h.length < 0) return -1;
        } else if (length < 0 || PyObject_TypeCheck(content, state.StreamedContent)) {
            h.kind = BodyKind::Stream;
            h.length = length;
        } else {
            h.kind = BodyKind::Empty;
            h.length = 0;
        }
        if (bodiless) h.length = -1;
    }

    // The application's headers, every pair checked.
    Ref raw = Ref::borrow(response->_raw_headers);
    if (raw.get() == Py_None || (PyList_Check(raw.get()) && PyList_GET_SIZE(raw.get()) == 0)) {
        h.headers = Ref::borrow(state.empty_headers);
        h.chunked = h.kind == BodyKind::Stream && h.length < 0 && !bodiless;
        return 0;
    }
    if (!PyList_Check(raw.get())) return args::raise_expected("list", raw.get()), -1;
    // The framing the composition sets replaces the application's; an
    // unknown length keeps the application's framing, if it gave one.
    bool own_framing = h.length >= 0 || bodiless;
    bool has_type = false, has_length = false, has_encoding = false;
    auto keep = [&](PyObject* name) {
        switch (classify(name)) {
            case Name::ContentType: has_type = true; return true;
            case Name::ContentLength: has_length = true; return !own_framing;
            case Name::TransferEncoding: has_encoding = true; return !own_framing;
            case Name::Other: return true;
        }
        return true;
    };
    if (text == HeadText::Str) {
        // Checked and converted in one pass into the list handed to the
        // server.  The size is read on every turn: converting allocates, and
        // a collection may run a finalizer that changes the list.
        Ref list = Ref::steal(empty_list_with_room(PyList_GET_SIZE(raw.get()) + 2));
        if (!list) return -1;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(raw.get()); i++) {
            Ref entry = Ref::borrow(PyList_GET_ITEM(raw.get(), i));
            Ref pair = is_plain_entry(entry.get()) ? std::move(entry) : Ref::steal(plain_pair(entry.get()));
            if (!pair) return -1;
            PyObject* name = PyTuple_GET_ITEM(pair.get(), 0);
            if (!keep(name)) continue;
            Ref converted = Ref::steal(checked_str_pair(name, PyTuple_GET_ITEM(pair.get(), 1)));
            if (!converted || PyList_Append(list.get(), converted.get()) < 0) return -1;
        }
        h.headers = std::move(list);
    } else {
        // Checked and sent from a copy of its own: Python code that runs
        // between the composition and the encoding (a `send`, a finalizer)
        // cannot slip an unchecked pair in.
        Py_ssize_t n = PyList_GET_SIZE(raw.get());
        Ref list = Ref::steal(PyList_GetSlice(raw.get(), 0, n));
        if (!list) return -1;
        for (Py_ssize_t i = 0; i < n; i++) {
            if (!is_plain_entry(PyList_GET_ITEM(list.get(), i))) {
                list = Ref::steal(plain_copy(list.get()));
                if (!list) return -1;
                n = PyList_GET_SIZE(list.get());
                break;
            }
        }
        bool dropped = false;
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject* entry = PyList_GET_ITEM(list.get(), i);
            PyObject* name = PyTuple_GET_ITEM(entry, 0);
            if (http::check_header(name, PyTuple_GET_ITEM(entry, 1)) < 0) return -1;
            dropped |= !keep(name);
        }
        if (dropped) {
            Ref kept = Ref::steal(PyList_New(0));
            if (!kept) return -1;
            for (Py_ssize_t i = 0; i < n; i++) {
                PyObject* entry = PyList_GET_ITEM(list.get(), i);
                Name kind = classify(PyTuple_GET_ITEM(entry, 0));
                if ((kind == Name::ContentLength || kind == Name::TransferEncoding) && own_framing) continue;
                if (PyList_Append(kept.get(), entry) < 0) return -1;
            }
            list = std::move(kept);
        }
        h.headers = std::move(list);
    }
    if (has_type) h.content_type.reset();
    h.chunked = h.kind == BodyKind::Stream && h.length < 0 && !bodiless && !has_length && !has_encoding;
    return 0;
}

PyObject* head_bytes_list(ResponseHead& h) {
    bool framed = h.length >= 0 || h.chunked;
    Ref type_pair, framing;
    if (h.content_type) {
        type_pair = Ref::steal(PyTuple_Pack(2, state.h_content_type, h.content_type.get()));
        if (!type_pair) return nullptr;
    }
    if (framed) {
        Ref value = Ref::steal(h.chunked ? Py_NewRef(state.v_chunked) : digits(h.length));
        if (!value) return nullptr;
        framing = Ref::steal(PyTuple_Pack(2, h.chunked ? state.h_transfer_encoding : state.h_content_length, value.get()));
        if (!framing) return nullptr;
    }
    if (h.headers.get() != state.empty_headers) {
        // The head's own copy of the application's list: completed in place.
        if ((type_pair && PyList_Append(h.headers.get(), type_pair.get()) < 0) ||
            (framing && PyList_Append(h.headers.get(), framing.get()) < 0))
            return nullptr;
        return Py_NewRef(h.headers.get());
    }
    Ref list = Ref::steal(PyList_New((type_pair ? 1 : 0) + (framing ? 1 : 0)));
    if (!list) return nullptr;
    Py_ssize_t at = 0;
    if (type_pair) PyList_SET_ITEM(list.get(), at++, type_pair.release());
    if (framing) PyList_SET_ITEM(list.get(), at, framing.release());
    return list.release();
}

namespace {

// The content-type objects last found in STATIC_HEADERS_BY_CT_BYTES, with
// their lists: content classes keep one bytes object for their type, so an
// identity test finds the list without hashing.  Both references are owned
// (a remembered object is never freed while its address is compared).
PyObject* prebuilt_list(PyObject* type) {
    for (const PrebuiltHit& hit : state.prebuilt_hits)
        if (hit.type == type) return Py_NewRef(hit.list);
    PyObject* shared = PyDict_GetItemWithError(state.static_headers_by_ct, type);  // borrowed, never changed
    if (!shared) return nullptr;
    PrebuiltHit& slot = state.prebuilt_hits[state.prebuilt_next++ & 3];
    PyObject* old_type = slot.type;
    PyObject* old_list = slot.list;
    slot = {Py_NewRef(type), Py_NewRef(shared)};
    Py_XDECREF(old_type);
    Py_XDECREF(old_list);
    return Py_NewRef(shared);
}

}  // namespace

PyObject* head_str_list(ResponseHead& h, bool with_length) {
    bool framed = with_length && h.length >= 0;
    bool own = h.headers.get() != state.empty_headers;
    if (!own && !framed) {
        if (!h.content_type) return Py_NewRef(state.empty_headers);
        if (PyObject* shared = prebuilt_list(h.content_type.get())) return shared;
        if (PyErr_Occurred()) return nullptr;
    }
    // The head's own list of converted pairs, completed in place, or a new one.
    Ref list = own ? Ref::borrow(h.headers.get()) : Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    if (h.content_type) {
        Ref pair = Ref::steal(header_str_pair(state.h_content_type, state.outbound_name_str, h.content_type.get(),
                                              state.ct_str_cache));
        if (!pair || PyList_Append(list.get(), pair.get()) < 0) return nullptr;
    }
    if (framed) {
        Ref value = Ref::steal(digits(h.length));
        if (!value) return nullptr;
        Ref pair = Ref::steal(header_str_pair(state.h_content_length, state.outbound_name_str, value.get(),
                                              state.outbound_val_str));
        if (!pair || PyList_Append(list.get(), pair.get()) < 0) return nullptr;
    }
    return list.release();
}

int stream_piece(PyObject* piece, PyObject** out, bool keep_str) {
    *out = nullptr;
    if (piece == Py_None) return 0;
    if (PyBytes_Check(piece)) {
        if (PyBytes_GET_SIZE(piece) == 0) return 0;
        *out = PyBytes_CheckExact(piece) ? Py_NewRef(piece)
                                         : PyBytes_FromStringAndSize(PyBytes_AS_STRING(piece), PyBytes_GET_SIZE(piece));
    } else if (PyUnicode_Check(piece)) {
        if (PyUnicode_GET_LENGTH(piece) == 0) return 0;
        *out = keep_str && PyUnicode_CheckExact(piece) ? Py_NewRef(piece) : PyUnicode_AsUTF8String(piece);
    } else if (PyByteArray_Check(piece) || PyMemoryView_Check(piece)) {
        *out = PyBytes_FromObject(piece);
        if (*out && PyBytes_GET_SIZE(*out) == 0) {
            Py_CLEAR(*out);
            return 0;
        }
    } else {
        return args::raise_expected("bytes", piece), -1;
    }
    return *out ? 1 : -1;
}

int set_headers_for_response_content(ResponseObject* response) {
    ResponseHead head;
    if (compose_head(response, false, HeadText::Bytes, head) < 0) return -1;
    Ref list = Ref::steal(head_bytes_list(head));
    if (!list) return -1;
    Ref raw = Ref::borrow(response->_raw_headers);
    if (raw.get() == Py_None || !PyList_Check(raw.get())) {
        assign_field(response->_raw_headers, list.get());
        return 0;
    }
    // In place: a Headers view of the message keeps looking at this list.
    return PyList_SetSlice(raw.get(), 0, PY_SSIZE_T_MAX, list.get());
}

namespace {

PyObject* py_set_headers_for_response_content(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
    static const char* const names[] = {"message"};
    static args::Signature sig{"set_headers_for_response_content", names, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    if (!check_response(a[0], "message")) return nullptr;
    if (set_headers_for_response_content(messages::as_response(a[0])) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* py_write_response_cookie(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"cookie"};
    static args::Signature sig{"write_response_cookie", names, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    if (!args::instance(a[0], state.Cookie, "cookie")) return nullptr;
    return state.write_cookie_for_response(a[0]);
}

}  // namespace

PyMethodDef head_functions[] = {
    {"set_headers_for_response_content", BW_METH_FASTCALL_KW(py_set_headers_for_response_content),
     "set_headers_for_response_content(message: Response) -> None\n\nGives the response's header list the head the "
     "writers send: its headers checked, a content-type when it has none, then content-length (or, for a body of "
     "unknown length, transfer-encoding) in place of any of its own."},
    {"write_response_cookie", BW_METH_FASTCALL_KW(py_write_response_cookie),
     "write_response_cookie(cookie: Cookie) -> bytes\n\nThe cookie rendered as the value of a set-cookie header."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace bw::scribe
