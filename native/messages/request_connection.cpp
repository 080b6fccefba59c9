// What a Request knows of its connection beyond the request line: scheme,
// base path (the application's root path), the client's address and port,
// the server's, and the authority an HTTP/2 request gives instead of a
// Host header.  The one place that reads a server's scope.
//
// The server adapters fill the connection record (IncomingRequest in
// messages.hpp) and say which kind of scope they hand over: an ASGI scope
// is a mapping; an RSGI scope is an object with attributes whose `client`
// and `server` are texts "address:port".  A request built by hand has a
// scope of unknown kind: a mapping is read with `get`, anything else by
// attribute.
#include <Python.h>

#include "brindlewick/args.hpp"
#include "brindlewick/pyref.hpp"
#include "request_core.hpp"
#include "errors.hpp"

namespace bw::messages {

namespace {

// scope[key] (scope.get(key, fallback) for a mapping, the attribute for an
// attribute object); `*text_pairs` tells whether addresses are given as
// "address:port" texts (an attribute scope) rather than pairs.
PyObject* scope_value(RequestObject* self, PyObject* key, PyObject* fallback, bool* text_pairs) {
    Ref scope = Ref::borrow(self->scope);
    PyObject* s = scope.get();
    *text_pairs = false;
    if (PyDict_CheckExact(s)) {
        PyObject* value;
        int found = PyDict_GetItemRef(s, key, &value);
        if (found < 0) return nullptr;
        return found ? value : Py_NewRef(fallback);
    }
    bool by_attribute = self->_scope_kind == kScopeRSGI;
    if (self->_scope_kind == kScopeUnknown) {
        PyObject* get = nullptr;
        if (PyObject_GetOptionalAttr(s, state.str_get, &get) < 0) return nullptr;
        if (get) {
            Ref held = Ref::steal(get);
            PyObject* args[2] = {key, fallback};
            return PyObject_Vectorcall(get, args, 2, nullptr);
        }
        by_attribute = true;
    }
    if (by_attribute) {
        *text_pairs = true;
        PyObject* value = nullptr;
        if (PyObject_GetOptionalAttr(s, key, &value) < 0) return nullptr;
        return value ? value : Py_NewRef(fallback);
    }
    // An ASGI scope that is another mapping.
    PyObject* argv[3] = {s, key, fallback};
    return PyObject_VectorcallMethod(state.str_get, argv, 3, nullptr);
}

// `first, second = value` for exactly two items; 0, or -1.
int unpack_pair(PyObject* value, Ref& first, Ref& second) {
    if (PyTuple_Check(value) || PyList_Check(value)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(value);
        if (n != 2) return errors::cannot_unpack_pair(n);
        first = Ref::borrow(PySequence_Fast_GET_ITEM(value, 0));
        second = Ref::borrow(PySequence_Fast_GET_ITEM(value, 1));
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(value));
    if (!it) return -1;
    first = Ref::steal(PyIter_Next(it.get()));
    if (!first) return PyErr_Occurred() ? -1 : errors::cannot_unpack_pair(0);
    second = Ref::steal(PyIter_Next(it.get()));
    if (!second) return PyErr_Occurred() ? -1 : errors::cannot_unpack_pair(1);
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) return errors::cannot_unpack_pair(3);
    return PyErr_Occurred() ? -1 : 0;
}

// A port as an int: an int as it is, a text of digits read (some servers
// give the port as text), anything else 0.
PyObject* port_of(PyObject* port) {
    if (PyLong_CheckExact(port)) return Py_NewRef(port);
    if (PyUnicode_Check(port)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(port);
        bool digits = n > 0 && n < 10;
        for (Py_ssize_t i = 0; i < n && digits; i++) {
            Py_UCS4 c = PyUnicode_READ_CHAR(port, i);
            digits = c >= '0' && c <= '9';
        }
        if (digits) return PyLong_FromUnicodeObject(port, 10);
    }
    return PyLong_FromLong(0);
}

// (address, port) of an "address:port" text: what precedes the last colon,
// without the brackets of an IPv6 literal ("[::1]:5000" gives "::1"); a
// text without a colon (or a bare IPv6 address) is all address, port 0.
PyObject* pair_of_text(PyObject* text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t colon = PyUnicode_FindChar(text, ':', 0, length, -1);
    if (colon == -2) return nullptr;
    bool bracketed = length > 0 && PyUnicode_READ_CHAR(text, 0) == '[';
    // More than one colon without brackets: an IPv6 address without a port.
    if (colon >= 0 && !bracketed && PyUnicode_FindChar(text, ':', 0, colon, 1) >= 0) colon = -1;
    Py_ssize_t start = 0, end = colon < 0 ? length : colon;
    if (end - start >= 2 && PyUnicode_READ_CHAR(text, start) == '[' && PyUnicode_READ_CHAR(text, end - 1) == ']') {
        start++;
        end--;
    }
    Ref address = Ref::steal(PyUnicode_Substring(text, start, end));
    if (!address) return nullptr;
    Ref port_text = Ref::steal(colon < 0 ? Py_NewRef(state.empty_str) : PyUnicode_Substring(text, colon + 1, length));
    if (!port_text) return nullptr;
    Ref port = Ref::steal(port_of(port_text.get()));
    if (!port) return nullptr;
    return PyTuple_Pack(2, address.get(), port.get());
}

// (address str, port int) of scope[key], or None when the scope has none
// (no scope, no such entry, or None: ASGI allows an unknown client).
PyObject* address_pair(RequestObject* self, PyObject* key) {
    if (self->scope == Py_None) return Py_NewRef(Py_None);
    bool text_pairs;
    Ref value = Ref::steal(scope_value(self, key, Py_None, &text_pairs));
    if (!value || value.get() == Py_None) return value.release();
    if (PyUnicode_Check(value.get())) return pair_of_text(value.get());
    Ref address, port;
    if (unpack_pair(value.get(), address, port) < 0) return nullptr;
    Ref number = Ref::steal(port_of(port.get()));
    if (!number) return nullptr;
    if (address.get() == Py_None) address = Ref::borrow(state.empty_str);
    return PyTuple_Pack(2, address.get(), number.get());
}

// The client's (address, port), read once and kept in the record.
PyObject* client_pair(RequestObject* self) {
    if (self->_client != Py_None) return Py_NewRef(self->_client);
    Ref pair = Ref::steal(address_pair(self, state.str_client));
    if (!pair) return nullptr;
    if (pair.get() == Py_None) pair = Ref::borrow(state.client_default);
    assign_field(self->_client, pair.get());
    return pair.release();
}

}  // namespace

PyObject* request_get_scheme(RequestObject* self) {
    if (self->_scheme != Py_None) return Py_NewRef(self->_scheme);
    Ref scope = Ref::borrow(self->scope);
    int truthy = PyDict_CheckExact(scope.get()) ? PyDict_GET_SIZE(scope.get()) > 0 : PyObject_IsTrue(scope.get());
    if (truthy < 0) return nullptr;
    if (!truthy) return Py_NewRef(state.empty_str);
    bool text_pairs;
    return scope_value(self, state.str_scheme, state.empty_str, &text_pairs);
}

PyObject* request_get_base_path(RequestObject* self) {
    if (self->_base_path != Py_None) return Py_NewRef(self->_base_path);
    if (self->scope == Py_None) return Py_NewRef(state.empty_str);
    bool text_pairs;
    PyObject* value = scope_value(self, state.str_root_path, state.empty_str, &text_pairs);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return Py_NewRef(state.empty_str);
    }
    return value;
}

PyObject* request_get_client_ip(RequestObject* self) {
    if (self->scope == Py_None) return Py_NewRef(state.empty_str);
    Ref pair = Ref::steal(client_pair(self));
    if (!pair) return nullptr;
    return Py_NewRef(PyTuple_GET_ITEM(pair.get(), 0));
}

PyObject* request_authority(RequestObject* self) {
    if (self->_scope_kind != kScopeRSGI || self->scope == Py_None) return Py_NewRef(Py_None);
    bool text_pairs;
    Ref value = Ref::steal(scope_value(self, state.str_authority, Py_None, &text_pairs));
    if (!value) return nullptr;
    if (value.get() != Py_None && !PyUnicode_Check(value.get())) return Py_NewRef(Py_None);
    return value.release();
}

namespace {

PyObject* get_scheme(PyObject* op, void*) { return request_get_scheme(as_request(op)); }
PyObject* get_base_path(PyObject* op, void*) { return request_get_base_path(as_request(op)); }
PyObject* get_client_ip(PyObject* op, void*) { return request_get_client_ip(as_request(op)); }

PyObject* get_client_port(PyObject* op, void*) {
    RequestObject* self = as_request(op);
    if (self->scope == Py_None) return PyLong_FromLong(0);
    Ref pair = Ref::steal(client_pair(self));
    if (!pair) return nullptr;
    return Py_NewRef(PyTuple_GET_ITEM(pair.get(), 1));
}

PyObject* get_server(PyObject* op, void*) { return address_pair(as_request(op), state.str_server); }

PyObject* get_original_client_ip(PyObject* op, void*) {
    RequestObject* self = as_request(op);
    if (self->_original_client_ip != Py_None) return Py_NewRef(self->_original_client_ip);
    if (request_overrides.overridden(op, kClientIp)) return PyObject_GetAttr(op, state.str_client_ip);
    return request_get_client_ip(self);
}

}  // namespace

PyGetSetDef request_connection_getset[] = {
    {"base_path", get_base_path, set_str_property<&RequestObject::_base_path>,
     "The application root path (scope root_path unless set).", nullptr},
    {"scheme", get_scheme, set_str_property<&RequestObject::_scheme>,
     "The URL scheme (scope scheme unless set).", nullptr},
    {"client_ip", get_client_ip, nullptr, "The client address from the scope.", nullptr},
    {"client_port", get_client_port, nullptr, "The client port from the scope (0 when unknown).", nullptr},
    {"server", get_server, nullptr, "The server's (address, port) from the scope, or None.", nullptr},
    {"original_client_ip", get_original_client_ip, set_str_property<&RequestObject::_original_client_ip>,
     "The client address as set (e.g. from forwarding headers), else client_ip.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace bw::messages
