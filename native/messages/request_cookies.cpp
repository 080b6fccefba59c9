// Cookies of Request: read from the cookie headers, and set_cookie, which
// keeps all of them in one header.
//
// The cookie headers are read the lenient way RFC 6265 (section 5.4) lets a
// server read them, as Python's http.cookies and Starlette do: ';' separates
// cookies, whitespace around names and values is trimmed, and a fragment
// that has no '=' or is not UTF-8 text is skipped.
#include <Python.h>

#include <cstring>

#include "brindlewick/args.hpp"
#include "brindlewick/pyref.hpp"
#include "request_core.hpp"
#include "errors.hpp"

namespace bw::messages {

namespace {

// Whether the bytes are valid UTF-8 (the strict check of bytes.decode()).
// -1 only for an error other than invalid text.
int is_utf8(const char* data, Py_ssize_t length) {
    for (Py_ssize_t i = 0; i < length; i++)
        if (static_cast<unsigned char>(data[i]) >= 0x80) {
            Ref text = Ref::steal(PyUnicode_DecodeUTF8(data, length, nullptr));
            if (text) return 1;
            if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return -1;
            PyErr_Clear();
            return 0;
        }
    return 1;
}

// `name, value = split_value(fragment, b"=")`; 0 on success, 1 for a
// fragment to skip (ValueError), -1 for any other error.
int split_fragment(const char* data, Py_ssize_t length, Ref& name, Ref& value) {
    Ref fragment = Ref::steal(PyBytes_FromStringAndSize(data, length));
    if (!fragment) return -1;
    Ref pair = Ref::steal(state.split_value(fragment.get(), state.b_equals));
    if (pair && PyTuple_CheckExact(pair.get()) && PyTuple_GET_SIZE(pair.get()) == 2) {
        name = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0));
        value = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1));
        return 0;
    }
    if (pair) {
        if (pair.get() == Py_None) return errors::none_not_iterable();
        Ref items = Ref::steal(PySequence_Tuple(pair.get()));
        if (items && PyTuple_GET_SIZE(items.get()) == 2) {
            name = Ref::borrow(PyTuple_GET_ITEM(items.get(), 0));
            value = Ref::borrow(PyTuple_GET_ITEM(items.get(), 1));
            return 0;
        }
        if (items) return 1;  // wrong length: the ValueError of unpacking, skipped
    }
    if (PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
        return 1;
    }
    return -1;
}

// Whether split_value could trim this byte from the end of a side.
inline bool maybe_trimmed(char c) { return static_cast<unsigned char>(c) <= ' '; }

// name -> unquote(value) in `cookies`.  A name or value that is not UTF-8
// text skips the cookie, as an unsplittable fragment is skipped: a site on
// the parent domain may plant such a cookie, and it must not make every
// page that reads cookies fail.  (A percent-encoded invalid byte decodes to
// U+FFFD, as unquote reads it.)
int set_cookie_entry(PyObject* cookies, const char* name, Py_ssize_t name_length, const char* value,
                     Py_ssize_t value_length) {
    int valid = is_utf8(name, name_length);
    if (valid > 0) valid = is_utf8(value, value_length);
    if (valid <= 0) return valid;
    Ref decoded_value = Ref::steal(percent_decode(value, value_length, false));
    if (!decoded_value) return -1;
    Ref decoded_name = Ref::steal(percent_decode(name, name_length, false));
    if (!decoded_name) return -1;
    return PyDict_SetItem(cookies, decoded_name.get(), decoded_value.get());
}

int add_fragment(PyObject* cookies, const char* data, Py_ssize_t length) {
    // A fragment split by its first '=' into sides that have nothing to
    // trim at either end is exactly what split_value returns for it: take
    // the sides in place.  Anything else goes to split_value itself.
    const char* eq = static_cast<const char*>(memchr(data, '=', static_cast<size_t>(length)));
    if (!eq) return 0;  // split_value finds no separator: the fragment is skipped
    {
        Py_ssize_t name_length = eq - data, value_length = length - name_length - 1;
        const char* value = eq + 1;
        bool plain = (name_length == 0 || (!maybe_trimmed(data[0]) && !maybe_trimmed(data[name_length - 1]))) &&
                     (value_length == 0 || (!maybe_trimmed(value[0]) && !maybe_trimmed(value[value_length - 1])));
        if (plain) return set_cookie_entry(cookies, data, name_length, value, value_length);
    }
    Ref name_bytes, value_bytes;
    int r = split_fragment(data, length, name_bytes, value_bytes);
    if (r != 0) return r < 0 ? -1 : 0;
    if (!PyBytes_Check(name_bytes.get())) return args::raise_expected("bytes", name_bytes.get()), -1;
    if (!PyBytes_Check(value_bytes.get())) return args::raise_expected("bytes", value_bytes.get()), -1;
    return set_cookie_entry(cookies, PyBytes_AS_STRING(name_bytes.get()), PyBytes_GET_SIZE(name_bytes.get()),
                            PyBytes_AS_STRING(value_bytes.get()), PyBytes_GET_SIZE(value_bytes.get()));
}

PyObject* read_cookies(RequestObject* self) {
    Ref cookies = Ref::steal(PyDict_New());
    if (!cookies) return nullptr;
    Ref values = Ref::steal(self->vtab->get_headers(self, state.h_cookie, 0));
    if (!values) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); i++) {
        Ref header = Ref::borrow(PyList_GET_ITEM(values.get(), i));
        if (!PyBytes_Check(header.get())) return args::raise_expected("bytes", header.get()), nullptr;
        // Every ';' ends a fragment, with or without the space that the
        // cookie-string form puts after it ("a=1;b=2" is what curl -b and
        // many clients send); split_value trims the space.
        const char* data = PyBytes_AS_STRING(header.get());
        Py_ssize_t length = PyBytes_GET_SIZE(header.get()), start = 0;
        for (;;) {
            // The space after a ';' is the name's leading whitespace, which
            // split_value would trim: skipped here, the usual fragment stays
            // plain.
            while (start < length && (data[start] == ' ' || data[start] == '\t')) start++;
            const void* semicolon = memchr(data + start, ';', static_cast<size_t>(length - start));
            Py_ssize_t end = semicolon ? static_cast<const char*>(semicolon) - data : length;
            if (add_fragment(cookies.get(), data + start, end - start) < 0) return nullptr;
            if (end >= length) break;
            start = end + 1;
        }
    }
    return cookies.release();
}

PyObject* get_cookies(PyObject* op, void*) { return read_cookies(as_request(op)); }

PyObject* py_get_cookie(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name"};
    static args::Signature sig{"get_cookie", names, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a) || !args::exact(a[0], &PyUnicode_Type, "name")) return nullptr;
    Ref cookies = Ref::steal(read_cookies(as_request(op)));
    if (!cookies) return nullptr;
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(cookies.get(), a[0], &value) < 0) return nullptr;
    return value ? value : Py_NewRef(Py_None);
}

// quote(text), as urllib.parse.quote does it with its defaults.
PyObject* quoted(PyObject* text) { return PyObject_CallOneArg(state.quote, text); }

PyObject* py_set_cookie(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name", "value"};
    static args::Signature sig{"set_cookie", names, 2, 2};
    PyObject* a[2];
    if (!args::parse(sig, args, nargs, kwnames, a) || !args::exact(a[0], &PyUnicode_Type, "name") ||
        !args::exact(a[1], &PyUnicode_Type, "value"))
        return nullptr;
    RequestObject* self = as_request(op);
    Ref name = Ref::steal(quoted(a[0]));
    if (!name) return nullptr;
    Ref value = Ref::steal(quoted(a[1]));
    if (!value) return nullptr;
    if (!PyUnicode_Check(name.get())) return args::raise_expected("str", name.get()), nullptr;
    if (!PyUnicode_Check(value.get())) return args::raise_expected("str", value.get()), nullptr;
    Ref text = Ref::steal(PyUnicode_FromFormat("%U=%U", name.get(), value.get()));
    if (!text) return nullptr;
    Ref cookie = Ref::steal(PyUnicode_AsUTF8String(text.get()));
    if (!cookie) return nullptr;
    Ref current = Ref::steal(self->vtab->get_first_header(self, state.h_cookie, 0));
    if (!current) return nullptr;
    if (current.get() == Py_None || PyBytes_GET_SIZE(current.get()) == 0) {
        if (self->_raw_headers == Py_None) {
            errors::none_has_no("append");
            return nullptr;
        }
        Ref entry = Ref::steal(header_entry(state.h_cookie, cookie.get()));
        if (!entry) return nullptr;
        Ref list = Ref::borrow(self->_raw_headers);
        if (PyList_Append(list.get(), entry.get()) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    // One header carries every cookie, joined the way the reader splits
    // them: "a=1; b=2" (the RFC 6265 cookie-string form).
    Py_ssize_t nc = PyBytes_GET_SIZE(current.get()), nn = PyBytes_GET_SIZE(cookie.get());
    Ref joined = Ref::steal(PyBytes_FromStringAndSize(nullptr, nc + 2 + nn));
    if (!joined) return nullptr;
    char* out = PyBytes_AS_STRING(joined.get());
    memcpy(out, PyBytes_AS_STRING(current.get()), static_cast<size_t>(nc));
    memcpy(out + nc, "; ", 2);
    memcpy(out + nc + 2, PyBytes_AS_STRING(cookie.get()), static_cast<size_t>(nn));
    return self->vtab->set_header(self, state.h_cookie, joined.get(), 0);
}

}  // namespace

PyGetSetDef request_cookie_getset[] = {
    {"cookies", get_cookies, nullptr, "The cookies sent by the client: dict of name to value, read afresh.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef request_cookie_methods[] = {
    {"get_cookie", BW_METH_FASTCALL_KW(py_get_cookie), "get_cookie(name) -> str | None: the value of one cookie."},
    {"set_cookie", BW_METH_FASTCALL_KW(py_set_cookie),
     "set_cookie(name, value) -> None: adds a cookie to the request's single cookie header."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace bw::messages
