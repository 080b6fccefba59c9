// Body size limits of Message: the defaults read from
// brindlewick.settings.body, the `max_body_size` and `max_stream_size`
// properties, and what a reader tells a server content before it reads (the
// length the content-length header declares, and the limit).
//
// Each message carries its two limits as native fields: -1 for no limit, or
// kDefaultBodyLimit, which reads the module's default at the moment of the
// read (so a change of the settings reaches pooled requests too).  Creation
// and the reset of a request or response for reuse set both to the default,
// so an application that changes them for one request
// (`request.max_body_size = ...`) changes nothing for the next.
#include <Python.h>

#include "brindlewick/args.hpp"
#include "brindlewick/pyref.hpp"
#include "message_core.hpp"

namespace bw::messages {

namespace {

// An int >= 0, or None for "no limit"; -2 with an error set otherwise.
Py_ssize_t limit_value(PyObject* value, const char* name) {
    if (value == Py_None) return -1;
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int or None, got %.200s", name, Py_TYPE(value)->tp_name);
        return -2;
    }
    Py_ssize_t n = PyLong_AsSsize_t(value);
    if (n == -1 && PyErr_Occurred()) return -2;
    if (n < 0) {
        PyErr_Format(PyExc_ValueError, "%s must not be negative", name);
        return -2;
    }
    return n;
}

PyObject* limit_object(Py_ssize_t limit, Py_ssize_t default_limit) {
    if (limit == kDefaultBodyLimit) limit = default_limit;
    return limit < 0 ? Py_NewRef(Py_None) : PyLong_FromSsize_t(limit);
}

int settings_limit(PyObject* name, Py_ssize_t* out) {
    Ref value = Ref::steal(PyObject_GetAttr(state.body_settings, name));
    if (!value) return -1;
    Py_ssize_t n = limit_value(value.get(), PyUnicode_AsUTF8(name));
    if (n == -2) return -1;
    *out = n;
    return 0;
}

PyObject* py_apply_body_settings(PyObject*, PyObject*) {
    if (read_body_settings() < 0) return nullptr;
    Py_RETURN_NONE;
}

// The digits of a content-length value; -1 when it is not one.
Py_ssize_t parse_length(PyObject* value) {
    if (!PyBytes_Check(value)) return -1;
    const char* p = PyBytes_AS_STRING(value);
    Py_ssize_t n = PyBytes_GET_SIZE(value), i = 0;
    while (i < n && (p[i] == ' ' || p[i] == '\t')) i++;
    while (n > i && (p[n - 1] == ' ' || p[n - 1] == '\t')) n--;
    if (i == n || n - i > 18) return -1;
    Py_ssize_t length = 0;
    for (; i < n; i++) {
        if (p[i] < '0' || p[i] > '9') return -1;
        length = length * 10 + (p[i] - '0');
    }
    return length;
}

}  // namespace

int read_body_settings() {
    Py_ssize_t body, stream;
    if (settings_limit(state.str_max_body_size, &body) < 0 || settings_limit(state.str_max_stream_size, &stream) < 0)
        return -1;
    state.default_max_body_size = body;
    state.default_max_stream_size = stream;
    return 0;
}

void set_default_limits(MessageObject* self) {
    self->max_body_size = kDefaultBodyLimit;
    self->max_stream_size = kDefaultBodyLimit;
}

Py_ssize_t declared_length(MessageObject* self) {
    Ref value = Ref::steal(self->vtab->get_first_header(self, state.h_content_length, 0));
    if (!value) return -2;
    return value.get() == Py_None ? -1 : parse_length(value.get());
}

int limit_read(MessageObject* self, PyObject* content, Py_ssize_t limit) {
    if (!PyObject_TypeCheck(content, state.ASGIContent) && !PyObject_TypeCheck(content, state.RSGIContent)) return 0;
    Ref held = Ref::borrow(content);  // the header lookup may run Python code (an override)
    Py_ssize_t declared = declared_length(self);
    if (declared == -2) return -1;
    return state.limit_server_body(held.get(), declared, limit) < 0 ? -1 : 0;
}

void raise_fields_too_large(Py_ssize_t limit) {
    PyErr_Format(state.PayloadTooLarge, "The form fields of the request body are larger than the limit of %zd bytes.",
                 limit);
}

PyObject* get_max_body_size(PyObject* op, void*) {
    return limit_object(as_message(op)->max_body_size, state.default_max_body_size);
}
PyObject* get_max_stream_size(PyObject* op, void*) {
    return limit_object(as_message(op)->max_stream_size, state.default_max_stream_size);
}

// Deleting a limit gives the message the default again.
int set_max_body_size(PyObject* op, PyObject* value, void*) {
    Py_ssize_t n = value ? limit_value(value, "max_body_size") : kDefaultBodyLimit;
    if (n == -2 && value) return -1;
    as_message(op)->max_body_size = n;
    return 0;
}

int set_max_stream_size(PyObject* op, PyObject* value, void*) {
    Py_ssize_t n = value ? limit_value(value, "max_stream_size") : kDefaultBodyLimit;
    if (n == -2 && value) return -1;
    as_message(op)->max_stream_size = n;
    return 0;
}

PyMethodDef body_limit_functions[] = {
    {"_apply_body_settings", py_apply_body_settings, METH_NOARGS,
     "_apply_body_settings(): reads the default body limits from brindlewick.settings.body again."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace bw::messages
