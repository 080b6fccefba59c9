// Response head composition shared by the writers: the content headers
// (content-type, then content-length or transfer-encoding) appended to a
// response just before it is sent, and the rendering of a response cookie.
#include <Python.h>

#include "brindlewick/args.hpp"
#include "brindlewick/fast_parse.h"
#include "brindlewick/pyref.hpp"
#include "scribe_core.hpp"

namespace bw::scribe {

namespace {

int add_header(ResponseObject* response, PyObject* name, PyObject* value) {
    return response->vtab->_add_header(response, name, value);
}

// The value of the content-type header for `type` (borrowed field value,
// held by the caller): the core library's shared copy of a common type.
PyObject* content_type_value(PyObject* type) {
    if (type == Py_None) return Py_NewRef(state.v_octet_stream);
    if (PyBytes_Check(type)) {
        if (PyBytes_GET_SIZE(type) == 0) return Py_NewRef(state.v_octet_stream);
        PyObject* shared = get_interned_content_type_bytes(PyBytes_AS_STRING(type), PyBytes_GET_SIZE(type));
        return Py_NewRef(shared ? shared : type);
    }
    // Not bytes (a subclass's own value): "empty" is its length being 0.
    Py_ssize_t n = PyObject_Length(type);
    if (n < 0) {
        PyErr_Clear();
        n = 1;
    }
    return Py_NewRef(n == 0 ? state.v_octet_stream : type);
}

}  // namespace

int set_headers_for_response_content(ResponseObject* response) {
    // Held: the truth test below may run Python code that replaces the field.
    Ref content = Ref::borrow(response->content);
    int present = content.get() == Py_None ? 0 : PyObject_IsTrue(content.get());
    if (present < 0) return -1;
    if (!present) return add_header(response, state.h_content_length, state.v_zero);
    if (!PyObject_TypeCheck(content.get(), state.Content)) return args::raise_expected("Content", content.get()), -1;

    auto* c = reinterpret_cast<ContentObject*>(content.get());
    Ref type = Ref::borrow(c->type);
    Ref value = Ref::steal(content_type_value(type.get()));
    if (add_header(response, state.h_content_type, value.get()) < 0) return -1;
    Py_ssize_t length = c->length;
    if (length < 0) return add_header(response, state.h_transfer_encoding, state.v_chunked);
    char digits[24];
    int n = PyOS_snprintf(digits, sizeof digits, "%zd", length);
    Ref text = Ref::steal(length == 0 ? Py_NewRef(state.v_zero) : PyBytes_FromStringAndSize(digits, n));
    if (!text) return -1;
    return add_header(response, state.h_content_length, text.get());
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
     "set_headers_for_response_content(message: Response) -> None\n\nAppends the content headers: content-type, "
     "then content-length or transfer-encoding (or only content-length: 0 without content)."},
    {"write_response_cookie", BW_METH_FASTCALL_KW(py_write_response_cookie),
     "write_response_cookie(cookie: Cookie) -> bytes\n\nThe cookie rendered as the value of a set-cookie header."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace bw::scribe
