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
        PyErr_Format(PyExc_TypeError, "Expected str, got %.200s", Py_TYPE(value.get())->tp_name);
        return nullptr;
    }
    return value.release();
}

// Methods whose requests carry no body: the protocol is kept for them
// instead of an RSGIContent.
bool is_bodyless_method(PyObject* method) {
    if (method == Py_None) return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(method);
    if (n != 3 && n != 4 && n != 7) return false;
    return PyUnicode_EqualToUTF8AndSize(method, "GET", 3) || PyUnicode_EqualToUTF8AndSize(method, "HEAD", 4) ||
           PyUnicode_EqualToUTF8AndSize(method, "OPTIONS", 7);
}

}  // namespace

RequestObject* instantiate_rsgi_request(PyObject* scope, PyObject* protocol) {
    Ref path = Ref::steal(scope_text(scope, state.str_path));
    if (!path) return nullptr;
    // A scope without a path gives the empty path rather than a failure
    // in a later URL property.
    Ref raw_path = path.get() == Py_None ? Ref::borrow(state.empty_bytes)
                                         : Ref::steal(PyUnicode_AsUTF8String(path.get()));
    if (!raw_path) return nullptr;
    Ref query = Ref::steal(scope_text(scope, state.str_query_string));
    if (!query) return nullptr;
    Ref raw_query = query.get() != Py_None && PyUnicode_GET_LENGTH(query.get()) > 0
                        ? Ref::steal(PyUnicode_AsLatin1String(query.get()))
                        : Ref::borrow(state.empty_bytes);
    if (!raw_query) return nullptr;
    Ref scope_headers = Ref::steal(PyObject_GetAttr(scope, state.str_headers));
    if (!scope_headers) return nullptr;
    Ref headers = Ref::steal(extract_rsgi_headers(scope_headers.get()));
    if (!headers) return nullptr;
    scope_headers.reset();
    Ref method = Ref::steal(scope_text(scope, state.str_method));
    if (!method) return nullptr;

    RequestObject* request =
        state.acquire_request(method.get(), raw_path.get(), raw_query.get(), headers.get(), scope);
    if (!request) return nullptr;
    if (is_bodyless_method(method.get())) {
        assign_field(request->scope_protocol, protocol);
        return request;
    }
    return with_server_content(request, state.RSGIContent, protocol);
}

RequestObject* with_server_content(RequestObject* request, PyTypeObject* type, PyObject* source) {
    PyObject* content = PyObject_CallOneArg(reinterpret_cast<PyObject*>(type), source);
    if (!content) {
        // Back to the pool; the error of the constructor is what the caller sees.
        PyObject* error = PyErr_GetRaisedException();
        if (state.release_request(request) < 0)
            PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(request));
        Py_DECREF(request);
        PyErr_SetRaisedException(error);
        return nullptr;
    }
    assign_field_steal(request->content, content);
    return request;
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
