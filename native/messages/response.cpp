// The Response type: status, reason and the two free slots, construction,
// redirect detection, raise_for_status, reset for the pools, and pickling
// with _unpickle_Response.  Cookies are in response_cookies.cpp.
#include <Python.h>

#include "brindlewick/args.hpp"
#include "brindlewick/buffer.hpp"
#include "brindlewick/compat.hpp"
#include "brindlewick/coro.hpp"
#include "brindlewick/pyref.hpp"
#include "message_core.hpp"
#include "response_core.hpp"
#include "errors.hpp"

namespace bw::messages {

using siblings::ContentObject;

namespace {

const char* const kOverridable[kResponseSlotCount] = {"is_redirect", "reset", "set_cookie", "get_cookies"};

}  // namespace

OverrideTable response_overrides(kOverridable, kResponseSlotCount);

int status_from_object(PyObject* value, int32_t* out) {
    if (BW_LIKELY(PyLong_CheckExact(value))) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (BW_LIKELY(!overflow && v >= INT32_MIN && v <= INT32_MAX)) {
            if (v == -1 && PyErr_Occurred()) return -1;
            *out = static_cast<int32_t>(v);
            return 0;
        }
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return -1;
    }
    // Anything with __index__ (bool, int subclasses, numpy integers).
    Ref index = Ref::steal(PyNumber_Index(value));
    if (!index) return -1;
    return status_from_object(index.get(), out);
}

bool check_response_arguments(PyObject* headers, PyObject* content) {
    return args::exact(headers, &PyList_Type, "headers") && args::instance(content, state.Content, "content");
}

namespace {

// ---- construction -------------------------------------------------------------

PyObject* response_alloc(PyTypeObject* type) {
    PyObject* op = message_alloc(type, &response_vtable.base);
    if (!op) return nullptr;
    ResponseObject* self = as_response(op);
    self->status = 0;
    self->state = Py_NewRef(Py_None);
    self->_context = Py_NewRef(Py_None);
    return op;
}

PyObject* response_new(PyTypeObject* type, PyObject*, PyObject*) { return response_alloc(type); }

// Steps of __init__ once the arguments are checked: the caller's non-empty
// list is shared as it is (no copy, no interning of names).
int assign_constructed(ResponseObject* self, int32_t status, PyObject* headers, PyObject* content) {
    if (headers && headers != Py_None && PyList_GET_SIZE(headers) > 0) {
        assign_field(self->_raw_headers, headers);
    } else {
        PyObject* fresh = PyList_New(0);
        if (!fresh) return -1;
        assign_field_steal(self->_raw_headers, fresh);
    }
    self->status = status;
    assign_field(self->content, content ? content : Py_None);
    return 0;
}

const char* const kInitNames[] = {"status", "headers", "content"};
args::Signature init_sig{"__init__", kInitNames, 3, 1};

// Checks and converts the parsed arguments of Response(...).
int init_from_parsed(ResponseObject* self, PyObject* const* a) {
    int32_t status;
    if (status_from_object(a[0], &status) < 0) return -1;
    PyObject* headers = a[1] ? a[1] : Py_None;
    PyObject* content = a[2] ? a[2] : Py_None;
    if (!check_response_arguments(headers, content)) return -1;
    return assign_constructed(self, status, headers, content);
}

int response_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    // Fast-call layout of a tuple/dict call, for the shared parser (which
    // also reports surplus and unknown arguments).
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    SmallArray<PyObject*, 8> stack;
    if (!stack.resize(static_cast<size_t>(nargs + nkw))) return -1;
    for (Py_ssize_t i = 0; i < nargs; i++) stack[i] = PyTuple_GET_ITEM(args, i);
    Ref kwnames;
    if (nkw) {
        kwnames = Ref::steal(PyTuple_New(nkw));
        if (!kwnames) return -1;
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
            stack[nargs + k] = value;
            k++;
        }
    }
    PyObject* a[3];
    if (!args::parse(init_sig, stack.data(), nargs, kwnames.get(), a)) return -1;
    return init_from_parsed(as_response(op), a);
}

// Response(status, headers, content) without the tuple and dict of a classic call.
PyObject* response_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* a[3];
    if (!args::parse(init_sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    Ref self = Ref::steal(response_alloc(reinterpret_cast<PyTypeObject*>(type)));
    if (!self) return nullptr;
    if (init_from_parsed(as_response(self.get()), a) < 0) return nullptr;
    return self.release();
}

using ResponseFields = MessageFieldsOf<ResponseObject, &ResponseObject::state, &ResponseObject::_context>;

// ---- properties -----------------------------------------------------------------

PyObject* get_status(PyObject* op, void*) { return PyLong_FromLong(as_response(op)->status); }

int set_status(PyObject* op, PyObject* value, void*) {
    if (!value) return errors::cannot_delete();
    int32_t status;
    if (status_from_object(value, &status) < 0) return -1;
    as_response(op)->status = status;
    return 0;
}

// http.HTTPStatus(self.status).phrase, on every read.
PyObject* get_reason(PyObject* op, void*) {
    Ref code = Ref::steal(PyLong_FromLong(as_response(op)->status));
    if (!code) return nullptr;
    Ref member = Ref::steal(PyObject_CallOneArg(state.HTTPStatus, code.get()));
    if (!member) return nullptr;
    return PyObject_GetAttr(member.get(), state.str_phrase);
}

PyObject* get_state(PyObject* op, void*) { return Py_NewRef(as_response(op)->state); }
int set_state_field(PyObject* op, PyObject* value, void*) {
    assign_field(as_response(op)->state, value ? value : Py_None);
    return 0;
}
PyObject* get__context(PyObject* op, void*) { return Py_NewRef(as_response(op)->_context); }
int set__context(PyObject* op, PyObject* value, void*) {
    assign_field(as_response(op)->_context, value ? value : Py_None);
    return 0;
}

PyGetSetDef response_getset[] = {
    {"status", get_status, set_status, "HTTP status code (signed 32-bit integer).", nullptr},
    {"reason", get_reason, nullptr, "Reason phrase of the status, from http.HTTPStatus.", nullptr},
    {"state", get_state, set_state_field, "Free slot.", nullptr},
    {"_context", get__context, set__context, "Free slot, kept by reset().", nullptr},
    {"cookies", response_get_cookies_property, nullptr, "Cookies set by the response, by name (get_cookies()).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* response_repr(PyObject* op) { return PyUnicode_FromFormat("<Response %d>", as_response(op)->status); }

// ---- raise_for_status ------------------------------------------------------------------

coro::Task raise_for_status_body(coro::Root self) {
    int32_t status = as_response(self.get())->status;
    if (status >= 200 && status <= 299) co_return Ref::borrow(Py_None);
    Ref code = Ref::steal(PyLong_FromLong(status));
    if (!code) co_return nullptr;
    Ref text = co_await coro::await_method(self.get(), state.str_text);
    if (!text) co_return nullptr;
    Ref error = Ref::steal(PyObject_CallFunctionObjArgs(state.FailedRequestError, code.get(), text.get(), nullptr));
    if (!error) co_return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    co_return nullptr;
}

PyObject* py_raise_for_status(PyObject* self, PyObject*) {
    return coro::make_coroutine(raise_for_status_body(coro::Root::borrow(self)), "Response.raise_for_status");
}

PyObject* py_is_redirect(PyObject* self, PyObject*) {
    int r = response_is_redirect(as_response(self), 1);
    return r < 0 ? nullptr : bool_ref(r);
}

PyObject* py_reset(PyObject* self, PyObject*) {
    if (response_reset(as_response(self), 1) < 0) return nullptr;
    Py_RETURN_NONE;
}

// ---- pickling --------------------------------------------------------------------------
// The same scheme as Message's, over nine fields in name order.

constexpr long kChecksum = 0xfe1af2e;
constexpr long kChecksumsAccepted[3] = {0xfe1af2e, 0x1c14c0f, 0xc197934};
constexpr Py_ssize_t kStateFields = 9;

PyObject* response_reduce(PyObject* op, PyObject*) {
    ResponseObject* self = as_response(op);
    Ref dict;
    if (instance_dict(op, dict) < 0) return nullptr;
    Ref fields_state = Ref::steal(PyTuple_New(dict ? kStateFields + 1 : kStateFields));
    if (!fields_state) return nullptr;
    Ref status = Ref::steal(PyLong_FromLong(self->status));
    if (!status) return nullptr;
    // Read only now: the __dict__ lookup and the allocation (a collection
    // may run finalizers) can run Python code.
    PyObject* fields[kStateFields] = {self->_context, self->_form_data,     self->_headers,
                                      self->_raw_headers, self->content, self->context,
                                      self->scope_protocol, self->state, status.get()};
    bool any_set = static_cast<bool>(dict);
    for (Py_ssize_t i = 0; i < kStateFields; i++) {
        PyTuple_SET_ITEM(fields_state.get(), i, Py_NewRef(fields[i]));
        if (i != kStateFields - 1) any_set |= fields[i] != Py_None;
    }
    if (dict) PyTuple_SET_ITEM(fields_state.get(), kStateFields, dict.release());
    PyObject* unpickle = PyDict_GetItemString(state.module_dict, "_unpickle_Response");  // borrowed
    if (!unpickle) {
        PyErr_SetString(PyExc_AttributeError, "_unpickle_Response");
        return nullptr;
    }
    if (any_set) return Py_BuildValue("(O(OlO)O)", unpickle, Py_TYPE(op), kChecksum, Py_None, fields_state.get());
    return Py_BuildValue("(O(OlO))", unpickle, Py_TYPE(op), kChecksum, fields_state.get());
}

// Assigns the nine fields (and the instance dictionary) from a pickled
// state; every value is checked before the first assignment.
int set_state(PyObject* op, PyObject* pickled) {
    if (!PyTuple_CheckExact(pickled)) return args::raise_expected("tuple", pickled), -1;
    Py_ssize_t n = PyTuple_GET_SIZE(pickled);
    if (n < kStateFields) return errors::tuple_index_out_of_range();
    PyObject* headers = PyTuple_GET_ITEM(pickled, 2);
    PyObject* raw = PyTuple_GET_ITEM(pickled, 3);
    PyObject* content = PyTuple_GET_ITEM(pickled, 4);
    if (!args::expect_instance(headers, state.Headers) || !args::expect_exact(raw, &PyList_Type) ||
        !args::expect_instance(content, state.Content))
        return -1;
    int32_t status;
    if (status_from_object(PyTuple_GET_ITEM(pickled, 8), &status) < 0) return -1;
    ResponseObject* self = as_response(op);
    assign_field(self->_context, PyTuple_GET_ITEM(pickled, 0));
    assign_field(self->_form_data, PyTuple_GET_ITEM(pickled, 1));
    assign_field(self->_headers, headers);
    assign_field(self->_raw_headers, raw);
    assign_field(self->content, content);
    assign_field(self->context, PyTuple_GET_ITEM(pickled, 5));
    assign_field(self->scope_protocol, PyTuple_GET_ITEM(pickled, 6));
    assign_field(self->state, PyTuple_GET_ITEM(pickled, 7));
    self->status = status;
    if (n > kStateFields) return update_instance_dict(op, PyTuple_GET_ITEM(pickled, kStateFields));
    return 0;
}

PyObject* response_setstate(PyObject* op, PyObject* pickled) {
    if (set_state(op, pickled) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* py_unpickle_response(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"type", "checksum", "state"};
    static args::Signature sig{"_unpickle_Response", names, 3, 3};
    PyObject* a[3];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    return unpickle_into(state.ResponseType, kChecksumsAccepted,
                         "_context, _form_data, _headers, _raw_headers, content, context, scope_protocol, state, status",
                         set_state, a);
}

PyMethodDef own_methods[] = {
    {"is_redirect", py_is_redirect, METH_NOARGS,
     "is_redirect() -> bool: whether the status is 301, 302, 303, 307 or 308."},
    {"reset", py_reset, METH_NOARGS,
     "reset() -> None: back to a blank 200 response without headers or content (_context is kept)."},
    {"raise_for_status", py_raise_for_status, METH_NOARGS,
     "raise_for_status() (coroutine): raises FailedRequestError(status, text) unless 200 <= status <= 299."},
    {"__reduce__", response_reduce, METH_NOARGS, nullptr},
    {"__setstate__", response_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef module_functions[] = {
    {"_unpickle_Response", BW_METH_FASTCALL_KW(py_unpickle_response), nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int call_override_truth(ResponseObject* self, int slot) {
    Ref r = Ref::steal(call_response_override(self, slot, nullptr, 0));
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

}  // namespace

// ---- operation-table entries ---------------------------------------------------------

int response_is_redirect(ResponseObject* self, int skip_dispatch) {
    if (!skip_dispatch && response_overrides.overridden(as_object(self), kIsRedirect))
        return call_override_truth(self, kIsRedirect);
    switch (self->status) {
        case 301:
        case 302:
        case 303:
        case 307:
        case 308:
            return 1;
        default:
            return 0;
    }
}

int response_reset(ResponseObject* self, int skip_dispatch) {
    if (!skip_dispatch && response_overrides.overridden(as_object(self), kResponseReset)) {
        Ref r = Ref::steal(call_response_override(self, kResponseReset, nullptr, 0));
        return r ? 0 : -1;
    }
    self->status = 200;
    assign_field(self->state, Py_None);
    assign_field(self->context, Py_None);
    assign_field(self->scope_protocol, Py_None);
    assign_field(self->_form_data, Py_None);
    assign_field(self->_headers, Py_None);
    PyObject* fresh = PyList_New(0);
    if (!fresh) return -1;
    assign_field_steal(self->_raw_headers, fresh);
    set_default_limits(self);
    if (self->content != Py_None) {
        // dispose may run Python code that drops the field's reference.
        Ref content = Ref::borrow(self->content);
        auto* c = reinterpret_cast<ContentObject*>(content.get());
        if (c->vtab->dispose(c, 0) < 0) return -1;
        assign_field(self->content, Py_None);
    }
    return 0;
}

ResponseObject* response_create(int32_t status, PyObject* headers, PyObject* content) {
    if (!headers) headers = Py_None;
    if (!content) content = Py_None;
    if (!check_response_arguments(headers, content)) return nullptr;
    Ref self = Ref::steal(response_alloc(state.ResponseType));
    if (!self) return nullptr;
    if (assign_constructed(as_response(self.get()), status, headers, content) < 0) return nullptr;
    return as_response(self.release());
}

ResponseVTable response_vtable;

int init_response_type(PyObject* module) {
    response_vtable.base = message_vtable;
    response_vtable.is_redirect = response_is_redirect;
    response_vtable.reset = response_reset;

    Ref datetime = Ref::steal(PyImport_ImportModule("datetime"));
    if (!datetime) return -1;
    Ref timedelta = Ref::steal(PyObject_GetAttrString(datetime.get(), "timedelta"));
    if (!timedelta) return -1;
    Ref days = Ref::steal(PyLong_FromLong(365));
    if (!days) return -1;
    PyObject* year = PyObject_CallOneArg(timedelta.get(), days.get());
    if (!year) return -1;
    Py_XSETREF(state.timedelta_year, year);

    static PyMethodDef methods[kMaxTypeMethods];
    if (concat_methods(methods, {own_methods, response_cookie_methods}) < 0) return -1;
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(response_new)},
        {Py_tp_init, reinterpret_cast<void*>(response_init)},
        // Calls of the exact type skip the tuple and dict; subclasses do not
        // inherit this, so their own __new__/__init__ keep working.
        {BW_tp_vectorcall, reinterpret_cast<void*>(response_vectorcall)},
        {Py_tp_dealloc, reinterpret_cast<void*>(ResponseFields::dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(ResponseFields::traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(ResponseFields::clear)},
        {Py_tp_repr, reinterpret_cast<void*>(response_repr)},
        {Py_tp_methods, methods},
        {Py_tp_getset, response_getset},
        {Py_tp_doc, const_cast<char*>("Response(status: int, headers: list | None = None, content: Content | None = "
                                      "None)\n\nAn HTTP response message.")},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "brindlewick.messages.Response",
        sizeof(ResponseObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    PyTypeObject* type =
        create_message_subtype(module, &spec, &state.ResponseType, &response_vtable, kResponseVTableSig);
    if (!type || response_overrides.bind(type) < 0) return -1;
    if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
    return PyModule_AddObjectRef(module, "Response", reinterpret_cast<PyObject*>(type));
}

}  // namespace bw::messages
