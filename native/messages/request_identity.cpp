// The session, user and identity properties of Request.
#include <Python.h>

#include "brindlewick/args.hpp"
#include "brindlewick/pyref.hpp"
#include "request_core.hpp"
#include "errors.hpp"

namespace bw::messages {

namespace {

PyObject* get_session(PyObject* op, void*) {
    PyObject* session = as_request(op)->_session;
    if (session == Py_None) {
        PyErr_SetString(PyExc_TypeError, errors::kSessionNotConfigured);
        return nullptr;
    }
    return Py_NewRef(session);
}

int set_session(PyObject* op, PyObject* value, void*) {
    if (!value) return errors::cannot_delete();
    assign_field(as_request(op)->_session, value);
    return 0;
}

PyObject* get_user(PyObject* op, void*) { return request_get_user(as_request(op)); }

int set_user(PyObject* op, PyObject* value, void*) {
    if (!value) return errors::cannot_delete();
    assign_field(as_request(op)->_user, value);
    return 0;
}

PyObject* get_identity(PyObject* op, void*) {
    if (request_overrides.overridden(op, kUser)) return PyObject_GetAttr(op, state.str_user);
    return request_get_user(as_request(op));
}

}  // namespace

PyObject* request_get_user(RequestObject* self) {
    if (self->_user == Py_None) {
        PyObject* identity = PyObject_CallNoArgs(state.Identity);
        if (!identity) return nullptr;
        assign_field_steal(self->_user, identity);
    }
    return Py_NewRef(self->_user);
}

PyGetSetDef request_identity_getset[] = {
    {"session", get_session, set_session, "The session; reading it without sessions configured raises.", nullptr},
    {"user", get_user, set_user, "The user identity, an anonymous Identity() until set.", nullptr},
    {"identity", get_identity, set_user, "Same as user.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace bw::messages
