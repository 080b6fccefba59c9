// URL, path, query and host properties of Request, the query parser behind
// `query`, percent-decoding, and ensure_bytes.  What comes from the server's
// scope (scheme, base path, client, server) is read in request_connection.cpp.
#include <Python.h>

#include "brindlewick/args.hpp"
#include "brindlewick/buffer.hpp"
#include "brindlewick/pyref.hpp"
#include "request_core.hpp"
#include "errors.hpp"

namespace bw::messages {

using siblings::URLObject;

namespace {

inline URLObject* as_url(PyObject* op) { return reinterpret_cast<URLObject*>(op); }

inline int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_ascii(const char* data, Py_ssize_t length) {
    for (Py_ssize_t i = 0; i < length; i++)
        if (static_cast<unsigned char>(data[i]) >= 0x80) return false;
    return true;
}

// bytes.decode("utf-8") would fail on this text: raise what it raises.
int check_utf8(const char* data, Py_ssize_t length) {
    if (is_ascii(data, length)) return 0;
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(data, length, nullptr));
    return text ? 0 : -1;
}

}  // namespace

// unquote() decodes each run of ASCII characters as percent-encoded UTF-8
// with errors="replace" and keeps other characters as they are.  The input
// here is valid UTF-8, whose multi-byte sequences are complete, so decoding
// the percent-decoded bytes as a whole gives the same text: the decoder
// resynchronises at every lead byte.
PyObject* percent_decode(const char* data, Py_ssize_t length, bool plus_as_space) {
    bool plain = true;
    for (Py_ssize_t i = 0; i < length && plain; i++)
        plain = data[i] != '%' && !(plus_as_space && data[i] == '+');
    if (plain) return PyUnicode_DecodeUTF8(data, length, "replace");
    Buffer out;
    if (!out.resize(static_cast<size_t>(length))) return nullptr;  // the output is never longer
    char* dst = out.data();
    for (Py_ssize_t i = 0; i < length; i++) {
        char c = data[i];
        if (c == '%' && i + 2 < length) {
            int hi = hex_value(static_cast<unsigned char>(data[i + 1]));
            int lo = hex_value(static_cast<unsigned char>(data[i + 2]));
            if (hi >= 0 && lo >= 0) {
                c = static_cast<char>(hi * 16 + lo);
                i += 2;
            }
        } else if (c == '+' && plus_as_space) {
            c = ' ';
        }
        *dst++ = c;
    }
    return PyUnicode_DecodeUTF8(out.data(), dst - out.data(), "replace");
}

PyObject* ensure_bytes(PyObject* value) {
    PyObject* result;
    if (PyUnicode_CheckExact(value)) {
        result = PyUnicode_AsUTF8String(value);
    } else if (PyUnicode_Check(value)) {
        result = PyObject_CallMethodNoArgs(value, state.str_encode);
    } else if (PyBytes_Check(value)) {
        result = Py_NewRef(value);
    } else {
        PyErr_SetString(PyExc_ValueError, "Input value must be bytes or str");
        return nullptr;
    }
    if (result && !PyBytes_CheckExact(result)) {
        args::raise_expected("bytes", result);
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}

namespace {

// ---- the URL -------------------------------------------------------------------------

PyObject* make_url(PyObject* target) {
    return PyObject_CallOneArg(reinterpret_cast<PyObject*>(state.URL), target);
}

}  // namespace

PyObject* request_get_url(RequestObject* self) {
    if (self->_url != Py_None) {
        // The URL tested is the one returned: its truth test may run Python
        // code that replaces the field.
        Ref url = Ref::borrow(self->_url);
        int truthy = PyObject_IsTrue(url.get());
        if (truthy < 0) return nullptr;
        if (truthy) return url.release();
    }
    Ref path = Ref::borrow(self->_path);
    Ref query = Ref::borrow(self->_raw_query);
    Ref target;
    if (query.get() != Py_None && PyBytes_GET_SIZE(query.get()) > 0) {
        if (path.get() == Py_None) {
            PyErr_SetString(PyExc_TypeError, "unsupported operand type(s) for +: 'NoneType' and 'bytes'");
            return nullptr;
        }
        Py_ssize_t np = PyBytes_GET_SIZE(path.get()), nq = PyBytes_GET_SIZE(query.get());
        target = Ref::steal(PyBytes_FromStringAndSize(nullptr, np + 1 + nq));
        if (!target) return nullptr;
        char* out = PyBytes_AS_STRING(target.get());
        memcpy(out, PyBytes_AS_STRING(path.get()), static_cast<size_t>(np));
        out[np] = '?';
        memcpy(out + np + 1, PyBytes_AS_STRING(query.get()), static_cast<size_t>(nq));
    } else {
        target = std::move(path);
    }
    PyObject* url = make_url(target.get());
    if (!url) return nullptr;
    assign_field(self->_url, url);
    return url;
}

int request_set_url(RequestObject* self, PyObject* value) {
    if (!value) return errors::cannot_delete();
    Ref url;
    if (PyObject_TypeCheck(value, state.URL)) {
        url = Ref::borrow(value);
    } else {
        int truthy = PyObject_IsTrue(value);
        if (truthy < 0) return -1;
        if (!truthy) {
            url = Ref::borrow(Py_None);
        } else if (PyBytes_Check(value)) {
            url = Ref::steal(make_url(value));
        } else if (PyUnicode_Check(value)) {
            Ref encoded = Ref::steal(PyUnicode_CheckExact(value)
                                         ? PyUnicode_AsUTF8String(value)
                                         : PyObject_CallMethodOneArg(value, state.str_encode, state.str_utf8));
            if (!encoded) return -1;
            url = Ref::steal(make_url(encoded.get()));
        } else {
            PyErr_SetString(PyExc_TypeError, "Invalid value type, expected bytes, str, or URL");
            return -1;
        }
        if (!url) return -1;
    }
    int truthy = url.get() == Py_None ? 0 : PyObject_IsTrue(url.get());
    if (truthy < 0) return -1;
    if (truthy) {
        assign_field(self->_path, as_url(url.get())->path);
        assign_field(self->_raw_query, as_url(url.get())->query);
    } else {
        assign_field(self->_path, Py_None);
        assign_field(self->_raw_query, Py_None);
    }
    assign_field(self->_url, url.get());
    assign_field(self->_decoded_path, Py_None);  // the path is the new URL's now
    assign_field(self->_host, Py_None);
    Ref removed = Ref::steal(self->vtab->remove_header(self, state.h_host, 0));
    return removed ? 0 : -1;
}

PyObject* request_get_host(RequestObject* self) {
    if (self->_host != Py_None) return Py_NewRef(self->_host);
    PyObject* host;
    if (self->_url != Py_None && as_url(self->_url)->is_absolute) {
        PyObject* raw = as_url(self->_url)->host;
        host = raw == nullptr || raw == Py_None
                   ? Py_NewRef(state.empty_str)
                   : PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw), PyBytes_GET_SIZE(raw), nullptr);
    } else {
        Ref value = Ref::steal(self->vtab->get_first_header(self, state.h_host, 0));
        if (!value) return nullptr;
        if (value.get() == Py_None) {
            // An HTTP/2 request names its host in the authority instead.
            Ref authority = Ref::steal(request_authority(self));
            if (!authority) return nullptr;
            if (authority.get() == Py_None) {
                PyErr_SetString(state.BadRequest, errors::kMissingHost);
                return nullptr;
            }
            assign_field(self->_host, authority.get());
            return authority.release();
        }
        host = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value.get()), PyBytes_GET_SIZE(value.get()), nullptr);
    }
    if (!host) return nullptr;
    assign_field(self->_host, host);
    return host;
}

namespace {

// ---- query ---------------------------------------------------------------------------

// parse_qs(text) with its defaults (blank values dropped, fields split on
// "&", '+' read as a space, names and values percent-decoded), over the
// raw query bytes.
PyObject* parse_query(PyObject* raw) {
    const char* data = PyBytes_AS_STRING(raw);
    Py_ssize_t length = PyBytes_GET_SIZE(raw);
    if (check_utf8(data, length) < 0) return nullptr;
    Ref result = Ref::steal(PyDict_New());
    if (!result) return nullptr;
    Py_ssize_t start = 0;
    while (start <= length) {
        const char* amp = static_cast<const char*>(memchr(data + start, '&', static_cast<size_t>(length - start)));
        Py_ssize_t end = amp ? amp - data : length;
        const char* field = data + start;
        Py_ssize_t field_length = end - start;
        start = end + 1;
        const char* eq = static_cast<const char*>(memchr(field, '=', static_cast<size_t>(field_length)));
        if (!eq) continue;  // no "=": dropped, like a blank value
        Py_ssize_t name_length = eq - field, value_length = field_length - name_length - 1;
        if (value_length == 0) continue;
        Ref name = Ref::steal(percent_decode(field, name_length, true));
        if (!name) return nullptr;
        Ref value = Ref::steal(percent_decode(eq + 1, value_length, true));
        if (!value) return nullptr;
        PyObject* values = nullptr;
        int found = PyDict_GetItemRef(result.get(), name.get(), &values);
        if (found < 0) return nullptr;
        Ref held = Ref::steal(values);
        if (found) {
            if (PyList_Append(values, value.get()) < 0) return nullptr;
            continue;
        }
        Ref fresh = Ref::steal(PyList_New(1));
        if (!fresh) return nullptr;
        PyList_SET_ITEM(fresh.get(), 0, value.release());
        if (PyDict_SetItem(result.get(), name.get(), fresh.get()) < 0) return nullptr;
    }
    return result.release();
}

// ---- properties --------------------------------------------------------------------------

PyObject* get_url(PyObject* op, void*) { return request_get_url(as_request(op)); }
int set_url(PyObject* op, PyObject* value, void*) { return request_set_url(as_request(op), value); }

// The path the client asked for, percent-decoded: the server's own decoding
// when the adapter recorded it, else `_path` decoded here the same way
// (%XX escapes, UTF-8, U+FFFD for bytes that are not).
PyObject* get_path(PyObject* op, void*) {
    RequestObject* self = as_request(op);
    if (self->_decoded_path != Py_None) return Py_NewRef(self->_decoded_path);
    Ref path = Ref::borrow(self->_path);
    if (path.get() == Py_None) {
        errors::none_has_no("decode");
        return nullptr;
    }
    const char* data = PyBytes_AS_STRING(path.get());
    Py_ssize_t length = PyBytes_GET_SIZE(path.get());
    if (check_utf8(data, length) < 0) return nullptr;
    return percent_decode(data, length, false);
}

PyObject* get_query(PyObject* op, void*) {
    Ref raw = Ref::borrow(as_request(op)->_raw_query);
    if (raw.get() == Py_None || PyBytes_GET_SIZE(raw.get()) == 0) return PyDict_New();
    return parse_query(raw.get());
}

int set_query(PyObject* op, PyObject* value, void*) {
    if (!value) return errors::cannot_delete();
    RequestObject* self = as_request(op);
    PyObject* args[2] = {value, Py_True};
    Ref encoded = Ref::steal(PyObject_Vectorcall(state.urlencode, args, 2, nullptr));
    if (!encoded) return -1;
    Ref bytes = Ref::steal(PyUnicode_CheckExact(encoded.get())
                               ? PyUnicode_AsUTF8String(encoded.get())
                               : PyObject_CallMethodOneArg(encoded.get(), state.str_encode, state.str_utf8));
    if (!bytes) return -1;
    if (!PyBytes_CheckExact(bytes.get())) return args::raise_expected("bytes", bytes.get()), -1;
    assign_field(self->_raw_query, bytes.get());
    Ref url = Ref::steal(request_get_url(self));
    if (!url) return -1;
    Ref updated = Ref::steal(PyObject_CallMethodOneArg(url.get(), state.str_with_query, bytes.get()));
    if (!updated) return -1;
    return request_set_url(self, updated.get());
}

PyObject* get_host(PyObject* op, void*) { return request_get_host(as_request(op)); }

}  // namespace

PyGetSetDef request_url_getset[] = {
    {"url", get_url, set_url, "The request URL (URL), built from path and query when not set.", nullptr},
    {"path", get_path, nullptr, "The request path, percent-decoded (as the server decoded it).", nullptr},
    {"query", get_query, set_query, "The query parameters: dict of str to list of str.", nullptr},
    {"host", get_host, set_str_property<&RequestObject::_host>,
     "The request host: from an absolute URL, else the host header.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace bw::messages
