// URL, host, scheme, base path and client properties of Request, the query
// parser behind `query`, percent-decoding, and ensure_bytes.
//
// Scopes: an ASGI scope is a mapping read with `get`.  A real RSGI server
// hands over an object with attributes instead (no `get`); such a scope is
// read by attribute, and its `client` is the text "address:port".
#include <Python.h>

#include "brindlewick/args.hpp"
#include "brindlewick/buffer.hpp"
#include "brindlewick/pyref.hpp"
#include "request_core.hpp"

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

// ---- scope access ----------------------------------------------------------------

// scope.get(key, default) for a scope that has `get`; otherwise the
// attribute of the same name, `default` when it is missing.
PyObject* scope_value(PyObject* scope, PyObject* key, PyObject* fallback, bool* by_attribute) {
    *by_attribute = false;
    if (PyDict_CheckExact(scope)) {
        PyObject* value;
        int found = PyDict_GetItemRef(scope, key, &value);
        if (found < 0) return nullptr;
        return found ? value : Py_NewRef(fallback);
    }
    PyObject* get = nullptr;
    if (PyObject_GetOptionalAttr(scope, state.str_get, &get) < 0) return nullptr;
    if (get) {
        Ref held = Ref::steal(get);
        PyObject* args[2] = {key, fallback};
        return PyObject_Vectorcall(get, args, 2, nullptr);
    }
    *by_attribute = true;
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(scope, key, &value) < 0) return nullptr;
    return value ? value : Py_NewRef(fallback);
}

int raise_unpack_count(Py_ssize_t found) {
    if (found > 2)
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t(2));
    else
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
    return -1;
}

// `first, _ = value`: the first of exactly two items (new reference).
PyObject* first_of_pair(PyObject* value) {
    if (PyTuple_Check(value) || PyList_Check(value)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(value);
        if (n != 2) return raise_unpack_count(n), nullptr;
        return Py_NewRef(PySequence_Fast_GET_ITEM(value, 0));
    }
    Ref it = Ref::steal(PyObject_GetIter(value));
    if (!it) return nullptr;
    Ref first = Ref::steal(PyIter_Next(it.get()));
    if (!first) return PyErr_Occurred() ? nullptr : (raise_unpack_count(0), nullptr);
    Ref second = Ref::steal(PyIter_Next(it.get()));
    if (!second) return PyErr_Occurred() ? nullptr : (raise_unpack_count(1), nullptr);
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) return raise_unpack_count(3), nullptr;
    if (PyErr_Occurred()) return nullptr;
    return first.release();
}

// The address of an RSGI client text "address:port": what precedes the
// last colon, without the brackets of an IPv6 literal ("[::1]:5000" gives
// "::1"); a text without a colon is all address.
PyObject* address_of_client_text(PyObject* text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t colon = PyUnicode_FindChar(text, ':', 0, length, -1);
    if (colon == -2) return nullptr;
    Py_ssize_t start = 0, end = colon < 0 ? length : colon;
    if (end - start >= 2 && PyUnicode_READ_CHAR(text, start) == '[' && PyUnicode_READ_CHAR(text, end - 1) == ']') {
        start++;
        end--;
    }
    return PyUnicode_Substring(text, start, end);
}

// ---- the URL -------------------------------------------------------------------------

PyObject* make_url(PyObject* target) {
    return PyObject_CallOneArg(reinterpret_cast<PyObject*>(state.URL), target);
}

}  // namespace

PyObject* request_get_url(RequestObject* self) {
    if (self->_url != Py_None) {
        int truthy = PyObject_IsTrue(self->_url);
        if (truthy < 0) return nullptr;
        if (truthy) return Py_NewRef(self->_url);
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
    if (!value) return refuse_delete();
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
                                         : PyObject_CallMethodOneArg(value, state.str_encode, state.utf8_codec));
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
            PyErr_SetString(state.BadRequest, "Missing Host header");
            return nullptr;
        }
        host = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value.get()), PyBytes_GET_SIZE(value.get()), nullptr);
    }
    if (!host) return nullptr;
    assign_field(self->_host, host);
    return host;
}

PyObject* request_get_scheme(RequestObject* self) {
    if (self->_scheme != Py_None) return Py_NewRef(self->_scheme);
    Ref scope = Ref::borrow(self->scope);
    int truthy = PyDict_CheckExact(scope.get()) ? PyDict_GET_SIZE(scope.get()) > 0 : PyObject_IsTrue(scope.get());
    if (truthy < 0) return nullptr;
    if (!truthy) return Py_NewRef(state.empty_str);
    bool by_attribute;
    return scope_value(scope.get(), state.str_scheme, state.empty_str, &by_attribute);
}

PyObject* request_get_base_path(RequestObject* self) {
    if (self->_base_path != Py_None) return Py_NewRef(self->_base_path);
    if (self->scope == Py_None) return Py_NewRef(state.empty_str);
    Ref scope = Ref::borrow(self->scope);
    bool by_attribute;
    PyObject* value = scope_value(scope.get(), state.str_root_path, state.empty_str, &by_attribute);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return Py_NewRef(state.empty_str);
    }
    return value;
}

PyObject* request_get_client_ip(RequestObject* self) {
    if (self->scope == Py_None) return Py_NewRef(state.empty_str);
    Ref scope = Ref::borrow(self->scope);
    bool by_attribute;
    Ref client = Ref::steal(scope_value(scope.get(), state.str_client, state.client_default, &by_attribute));
    if (!client) return nullptr;
    // ASGI allows a None client (address unknown, e.g. a Unix socket).
    if (client.get() == Py_None) return Py_NewRef(state.empty_str);
    if (by_attribute && PyUnicode_Check(client.get())) return address_of_client_text(client.get());
    return first_of_pair(client.get());
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

PyObject* get_path(PyObject* op, void*) {
    PyObject* path = as_request(op)->_path;
    if (path == Py_None) {
        PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "decode");
        return nullptr;
    }
    return PyUnicode_DecodeUTF8(PyBytes_AS_STRING(path), PyBytes_GET_SIZE(path), nullptr);
}

PyObject* get_query(PyObject* op, void*) {
    Ref raw = Ref::borrow(as_request(op)->_raw_query);
    if (raw.get() == Py_None || PyBytes_GET_SIZE(raw.get()) == 0) return PyDict_New();
    return parse_query(raw.get());
}

int set_query(PyObject* op, PyObject* value, void*) {
    if (!value) return refuse_delete();
    RequestObject* self = as_request(op);
    PyObject* args[2] = {value, Py_True};
    Ref encoded = Ref::steal(PyObject_Vectorcall(state.urlencode, args, 2, nullptr));
    if (!encoded) return -1;
    Ref bytes = Ref::steal(PyUnicode_CheckExact(encoded.get())
                               ? PyUnicode_AsUTF8String(encoded.get())
                               : PyObject_CallMethodOneArg(encoded.get(), state.str_encode, state.utf8_codec));
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
PyObject* get_scheme(PyObject* op, void*) { return request_get_scheme(as_request(op)); }
PyObject* get_base_path(PyObject* op, void*) { return request_get_base_path(as_request(op)); }
PyObject* get_client_ip(PyObject* op, void*) { return request_get_client_ip(as_request(op)); }

PyObject* get_original_client_ip(PyObject* op, void*) {
    RequestObject* self = as_request(op);
    if (self->_original_client_ip != Py_None) return Py_NewRef(self->_original_client_ip);
    if (request_overrides.overridden(op, kClientIp)) return PyObject_GetAttr(op, state.str_client_ip);
    return request_get_client_ip(self);
}

// The str-only setters: the value goes to the field of the same name with a
// leading underscore.
template <PyObject* RequestObject::*F>
int set_str_property(PyObject* op, PyObject* value, void*) {
    if (!value) return refuse_delete();
    if (!args::exact(value, &PyUnicode_Type, "value")) return -1;
    assign_field(as_request(op)->*F, value);
    return 0;
}

}  // namespace

PyGetSetDef request_url_getset[] = {
    {"url", get_url, set_url, "The request URL (URL), built from path and query when not set.", nullptr},
    {"path", get_path, nullptr, "The request path decoded as UTF-8.", nullptr},
    {"query", get_query, set_query, "The query parameters: dict of str to list of str.", nullptr},
    {"base_path", get_base_path, set_str_property<&RequestObject::_base_path>,
     "The application root path (scope root_path unless set).", nullptr},
    {"host", get_host, set_str_property<&RequestObject::_host>,
     "The request host: from an absolute URL, else the host header.", nullptr},
    {"scheme", get_scheme, set_str_property<&RequestObject::_scheme>,
     "The URL scheme (scope scheme unless set).", nullptr},
    {"client_ip", get_client_ip, nullptr, "The client address from the scope.", nullptr},
    {"original_client_ip", get_original_client_ip, set_str_property<&RequestObject::_original_client_ip>,
     "The client address as set (e.g. from forwarding headers), else client_ip.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace bw::messages
