// RSGI request adapter: a pooled Request built from an RSGI scope and
// protocol (instantiate_rsgi_request); its headers come from
// extract_rsgi_headers (header_text.cpp).
#include <Python.h>

#include "brindlewick/args.hpp"
#include "brindlewick/pyref.hpp"
#include "scribe_core.hpp"

namespace bw::scribe {

namespace {

// scope.<name>, which must be a str or None.
PyObject* scope_text(PyObject* scope, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(scope, name));
    if (!value) return nullptr;
    if (value.get() != Py_None && !PyUnicode_Check(value.get())) {
        args::raise_expected("str", value.get());
        return nullptr;
    }
    return value.release();
}

// Bytes a path keeps percent-encoded: what a request target cannot hold as
// it is (controls, space, non-ASCII, and the delimiters % ? # and the
// characters RFC 3986 never allows: " < > \ ^ ` { | }).
inline bool needs_escape(unsigned char c) {
    return c <= 0x20 || c >= 0x7F || c == '%' || c == '?' || c == '#' || c == '"' || c == '<' || c == '>' ||
           c == '\\' || c == '^' || c == '`' || c == '{' || c == '|' || c == '}';
}

}  // namespace

PyObject* path_as_sent(PyObject* decoded) {
    Ref utf8 = Ref::steal(PyUnicode_AsUTF8String(decoded));
    if (!utf8) return nullptr;
    const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(utf8.get()));
    Py_ssize_t length = PyBytes_GET_SIZE(utf8.get());
    Py_ssize_t escapes = 0;
    for (Py_ssize_t i = 0; i < length; i++) escapes += needs_escape(data[i]);
    if (escapes == 0) return utf8.release();
    PyObject* out = PyBytes_FromStringAndSize(nullptr, length + 2 * escapes);
    if (!out) return nullptr;
    static const char hex[] = "0123456789ABCDEF";
    char* p = PyBytes_AS_STRING(out);
    for (Py_ssize_t i = 0; i < length; i++) {
        unsigned char c = data[i];
        if (needs_escape(c)) {
            *p++ = '%';
            *p++ = hex[c >> 4];
            *p++ = hex[c & 15];
        } else {
            *p++ = static_cast<char>(c);
        }
    }
    return out;
}

RequestObject* instantiate_rsgi_request(PyObject* scope, PyObject* protocol) {
    // The connection record of an RSGI scope: the server hands the path
    // over decoded (its raw form is not kept), the query as it was sent.
    Ref path = Ref::steal(scope_text(scope, state.str_path));
    if (!path) return nullptr;
    // A scope without a path gives the empty path rather than a failure
    // in a later URL property.
    if (path.get() == Py_None) path = Ref::borrow(state.empty_str);
    Ref raw_path = Ref::steal(path_as_sent(path.get()));
    if (!raw_path) return nullptr;
    Ref query = Ref::steal(scope_text(scope, state.str_query_string));
    if (!query) return nullptr;
    Ref raw_query = query.get() != Py_None && PyUnicode_GET_LENGTH(query.get()) > 0
                        ? Ref::steal(PyUnicode_AsLatin1String(query.get()))
                        : Ref::borrow(state.empty_bytes);
    if (!raw_query) return nullptr;
    Ref scope_headers = Ref::steal(PyObject_GetAttr(scope, state.k_headers));
    if (!scope_headers) return nullptr;
    Ref headers = Ref::steal(extract_rsgi_headers(scope_headers.get()));
    if (!headers) return nullptr;
    scope_headers.reset();
    Ref method = Ref::steal(scope_text(scope, state.str_method));
    if (!method) return nullptr;

    messages::IncomingRequest record{method.get(), raw_path.get(), path.get(), raw_query.get(),
                                     headers.get(), 1, scope, messages::kScopeRSGI};
    RequestObject* request = state.acquire_incoming(&record);
    if (!request) return nullptr;
    return bind_body(request, protocol, state.RSGIContent);
}

RequestObject* bind_body(RequestObject* request, PyObject* channel, PyTypeObject* type) {
    if (state.bind_request_body(request, channel, type) == 0) return request;
    // Back to the pool (nothing else has seen it); the error of the
    // content's constructor is what the caller sees.
    PendingError pending;
    if (Py_REFCNT(request) == 1 && state.release_request(request) < 0)
        PendingError::unraisable(reinterpret_cast<PyObject*>(request));
    Py_DECREF(request);
    return nullptr;
}

namespace {

PyObject* py_extract_rsgi_headers(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"raw_headers"};
    static args::Signature sig{"extract_rsgi_headers", names, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    return extract_rsgi_headers(a[0]);
}

PyObject* py_instantiate_rsgi_request(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"scope", "protocol"};
    static args::Signature sig{"instantiate_rsgi_request", names, 2, 2};
    PyObject* a[2];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    return reinterpret_cast<PyObject*>(instantiate_rsgi_request(a[0], a[1]));
}

}  // namespace

PyMethodDef rsgi_adapter_functions[] = {
    {"extract_rsgi_headers", BW_METH_FASTCALL_KW(py_extract_rsgi_headers),
     "extract_rsgi_headers(raw_headers) -> list\n\nThe headers (through items() when present) as a new list of "
     "(bytes, bytes) pairs, in order."},
    {"instantiate_rsgi_request", BW_METH_FASTCALL_KW(py_instantiate_rsgi_request),
     "instantiate_rsgi_request(scope, protocol) -> Request\n\nA pooled Request for an RSGI scope; its body is "
     "read through the protocol."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace bw::scribe
