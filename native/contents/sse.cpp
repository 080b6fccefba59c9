// ServerSentEvent and TextServerSentEvent: the fields of one event and the
// rendering of its data line.
#include <Python.h>

#include <climits>
#include <cstring>
#include <string_view>

#include "brindlewick/args.hpp"
#include "brindlewick/buffer.hpp"
#include "brindlewick/gc_fields.hpp"
#include "brindlewick/pyref.hpp"
#include "contents.hpp"

namespace bw::contents {

namespace {

inline ServerSentEventObject* as_event(PyObject* op) { return reinterpret_cast<ServerSentEventObject*>(op); }

// Through an override when a Python subclass has one; it must give a str.
PyObject* dispatched(ServerSentEventObject* self, int skip_dispatch, bool* handled) {
    *handled = false;
    if (skip_dispatch || !state.event_overrides.overridden(reinterpret_cast<PyObject*>(self), kWriteData)) return nullptr;
    *handled = true;
    Ref r = Ref::steal(state.event_overrides.call(reinterpret_cast<PyObject*>(self), kWriteData, nullptr, 0));
    if (r && !PyUnicode_Check(r.get())) {
        args::raise_expected("str", r.get());
        return nullptr;
    }
    return r.release();
}

// JSON text of the data (msgspec never leaves a raw line break in its output).
PyObject* json_write_data(ServerSentEventObject* self, int skip_dispatch) {
    bool handled;
    PyObject* r = dispatched(self, skip_dispatch, &handled);
    if (handled) return r;
    // The data is held while it is encoded: encoding runs Python code (a
    // tzinfo's utcoffset, for one) that may replace the event's data.
    Ref data = Ref::borrow(self->data);
    Ref raw = Ref::steal(PyObject_CallOneArg(state.json_encode, data.get()));
    if (!raw) return nullptr;
    if (!PyBytes_Check(raw.get())) return args::raise_expected("bytes", raw.get()), nullptr;
    return PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), "strict");
}

// The text as the value of one or more data lines: every line break (CR LF,
// LF, or a lone CR, which event-stream readers also end a line at) starts a
// new "data: " line, so a reader joins the lines back with LF.  The writer
// puts "data: " before the result and a line break after it.
PyObject* text_write_data(ServerSentEventObject* self, int skip_dispatch) {
    bool handled;
    PyObject* r = dispatched(self, skip_dispatch, &handled);
    if (handled) return r;
    PyObject* data = self->data;  // nothing below runs Python code
    if (data == Py_None) return Py_NewRef(state.empty_str);
    if (!PyUnicode_Check(data)) return args::raise_expected("str", data), nullptr;
    Py_ssize_t n = PyUnicode_GET_LENGTH(data);
    Py_ssize_t lf = PyUnicode_FindChar(data, '\n', 0, n, 1);
    Py_ssize_t cr = lf == -2 ? -2 : PyUnicode_FindChar(data, '\r', 0, n, 1);
    if (lf == -2 || cr == -2) return nullptr;
    if (lf == -1 && cr == -1) return Py_NewRef(data);
    Py_ssize_t length;
    const char* utf8 = PyUnicode_AsUTF8AndSize(data, &length);
    if (!utf8) return nullptr;
    static constexpr std::string_view kNextLine = "\ndata: ";
    size_t breaks = 0;  // each becomes kNextLine: one reservation covers them all
    for (Py_ssize_t i = 0; i < length; i++)
        if (utf8[i] == '\n' || utf8[i] == '\r') breaks++;
    if (breaks > static_cast<size_t>(PY_SSIZE_T_MAX - length) / kNextLine.size()) return PyErr_NoMemory();
    Buffer out;
    if (!out.reserve(static_cast<size_t>(length) + breaks * kNextLine.size())) return nullptr;
    char* w = out.data();
    for (Py_ssize_t i = 0; i < length; i++) {
        char c = utf8[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < length && utf8[i + 1] == '\n') i++;
            memcpy(w, kNextLine.data(), kNextLine.size());
            w += kNextLine.size();
        } else {
            *w++ = c;
        }
    }
    return PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(w - out.data()), "strict");
}

ServerSentEventVTable json_vtable = {json_write_data};
ServerSentEventVTable text_vtable = {text_write_data};

bool is_text_event(PyObject* op) { return as_event(op)->vtab == &text_vtable; }

PyObject* event_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = as_event(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->vtab = PyType_IsSubtype(type, state.text_server_sent_event_type) ? &text_vtable : &json_vtable;
    self->data = Py_NewRef(Py_None);
    self->event = Py_NewRef(Py_None);
    self->id = Py_NewRef(Py_None);
    self->comment = Py_NewRef(Py_None);
    self->retry = -1;
    return reinterpret_cast<PyObject*>(self);
}

bool optional_str(PyObject* v, const char* name) {
    if (v == Py_None || PyUnicode_Check(v)) return true;
    return args::raise_arg_type(name, "str", v);
}

// Event-stream readers ignore an id that holds NUL (and the writer removes
// line breaks only): such an id is refused where it is set.
bool id_without_nul(PyObject* id) {
    if (id == Py_None) return true;
    Py_ssize_t at = PyUnicode_FindChar(id, 0, 0, PyUnicode_GET_LENGTH(id), 1);
    if (at == -2) return false;
    if (at == -1) return true;
    PyErr_SetString(PyExc_ValueError, "the id of a server-sent event cannot contain NUL");
    return false;
}

int retry_value(PyObject* v, int32_t* out, bool as_argument) {
    if (!PyLong_Check(v) || PyBool_Check(v)) {
        if (as_argument) return args::raise_arg_type("retry", "int", v) ? 0 : -1;
        return args::raise_expected("int", v) ? 0 : -1;
    }
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (n == -1 && PyErr_Occurred()) return -1;
    if (overflow < 0 || (overflow == 0 && n < 0)) {
        *out = -1;  // any negative value means "not set"
        return 0;
    }
    if (overflow > 0 || n > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "retry must fit in a signed 32-bit integer");
        return -1;
    }
    *out = static_cast<int32_t>(n);
    return 0;
}

int event_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"data", "event", "id", "retry", "comment", nullptr};
    PyObject *data, *event = Py_None, *id = Py_None, *retry = nullptr, *comment = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOO:ServerSentEvent", const_cast<char**>(kw), &data, &event,
                                     &id, &retry, &comment))
        return -1;
    if (is_text_event(op) && !optional_str(data, "data")) return -1;
    if (!optional_str(event, "event") || !optional_str(id, "id") || !optional_str(comment, "comment") ||
        !id_without_nul(id))
        return -1;
    int32_t retry_ms = -1;
    if (retry && retry != Py_None && retry_value(retry, &retry_ms, true) < 0) return -1;
    auto* self = as_event(op);
    assign_field(self->data, data);
    assign_field(self->event, event);
    assign_field(self->id, id);
    assign_field(self->comment, comment);
    self->retry = retry_ms;
    return 0;
}

using EventFields = ObjectFields<ServerSentEventObject, &ServerSentEventObject::data, &ServerSentEventObject::event,
                                 &ServerSentEventObject::id, &ServerSentEventObject::comment>;

PyObject* event_repr(PyObject* op) {
    auto* self = as_event(op);
    // The fields may be str subclasses whose repr replaces the others.
    Ref event = Ref::borrow(self->event), id = Ref::borrow(self->id);
    int retry = static_cast<int>(self->retry);
    return PyUnicode_FromFormat("<%s event=%R id=%R retry=%d>", Py_TYPE(op)->tp_name, event.get(), id.get(), retry);
}

PyObject* py_write_data(PyObject* op, PyObject*) { return as_event(op)->vtab->write_data(as_event(op), 1); }

PyMethodDef event_methods[] = {
    {"write_data", py_write_data, METH_NOARGS,
     "write_data() -> str: the value of the event's data line; for text with line breaks, the values of its "
     "lines joined by \"\\ndata: \"."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_data(PyObject* op, void*) { return Py_NewRef(as_event(op)->data); }
PyObject* get_event(PyObject* op, void*) { return Py_NewRef(as_event(op)->event); }
PyObject* get_id(PyObject* op, void*) { return Py_NewRef(as_event(op)->id); }
PyObject* get_comment(PyObject* op, void*) { return Py_NewRef(as_event(op)->comment); }
PyObject* get_retry(PyObject* op, void*) { return PyLong_FromLong(as_event(op)->retry); }

int set_data(PyObject* op, PyObject* value, void*) {
    if (!value) value = Py_None;
    if (is_text_event(op) && value != Py_None && !PyUnicode_Check(value))
        return args::raise_expected("str", value) ? 0 : -1;
    assign_field(as_event(op)->data, value);
    return 0;
}

int set_str_field(PyObject*& field, PyObject* value) {
    if (!value) value = Py_None;
    if (value != Py_None && !PyUnicode_Check(value)) return args::raise_expected("str", value) ? 0 : -1;
    assign_field(field, value);
    return 0;
}

int set_event(PyObject* op, PyObject* v, void*) { return set_str_field(as_event(op)->event, v); }
int set_id(PyObject* op, PyObject* v, void*) {
    if (v && PyUnicode_Check(v) && !id_without_nul(v)) return -1;
    return set_str_field(as_event(op)->id, v);
}
int set_comment(PyObject* op, PyObject* v, void*) { return set_str_field(as_event(op)->comment, v); }

int set_retry(PyObject* op, PyObject* value, void*) {
    if (!value || value == Py_None) {
        as_event(op)->retry = -1;
        return 0;
    }
    return retry_value(value, &as_event(op)->retry, false);
}

PyGetSetDef event_getset[] = {
    {"data", get_data, set_data, "The event's data.", nullptr},
    {"event", get_event, set_event, "Event name (str or None).", nullptr},
    {"id", get_id, set_id, "Event id (str or None).", nullptr},
    {"retry", get_retry, set_retry, "Reconnection time in milliseconds; negative when not set.", nullptr},
    {"comment", get_comment, set_comment, "Comment lines (str or None).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot event_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(event_new)},
    {Py_tp_init, reinterpret_cast<void*>(event_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(EventFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(EventFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(EventFields::clear)},
    {Py_tp_repr, reinterpret_cast<void*>(event_repr)},
    {Py_tp_methods, event_methods},
    {Py_tp_getset, event_getset},
    {Py_tp_doc, const_cast<char*>("ServerSentEvent(data, event: str = None, id: str = None, retry: int = -1, "
                                  "comment: str = None): one event; its data is written as JSON.")},
    {0, nullptr},
};

PyType_Spec event_spec = {
    "brindlewick.contents.ServerSentEvent",
    sizeof(ServerSentEventObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    event_slots,
};

PyType_Slot text_event_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(EventFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(EventFields::clear)},
    {Py_tp_doc, const_cast<char*>("TextServerSentEvent(data: str, event: str = None, id: str = None, retry: int = "
                                  "-1, comment: str = None): one event whose data is text, one data line per line.")},
    {0, nullptr},
};

PyType_Spec text_event_spec = {
    "brindlewick.contents.TextServerSentEvent",
    sizeof(ServerSentEventObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    text_event_slots,
};

}  // namespace

int init_sse_types(PyObject* module) {
    PyObject* t = PyType_FromModuleAndSpec(module, &event_spec, nullptr);
    if (!t) return -1;
    Py_XSETREF(state.server_sent_event_type, reinterpret_cast<PyTypeObject*>(t));
    if (state.event_overrides.bind(state.server_sent_event_type) < 0) return -1;
    if (PyModule_AddObjectRef(module, "ServerSentEvent", t) < 0) return -1;
    t = PyType_FromModuleAndSpec(module, &text_event_spec, reinterpret_cast<PyObject*>(state.server_sent_event_type));
    if (!t) return -1;
    Py_XSETREF(state.text_server_sent_event_type, reinterpret_cast<PyTypeObject*>(t));
    if (state.event_overrides.add_native_type(state.text_server_sent_event_type) < 0) return -1;
    return PyModule_AddObjectRef(module, "TextServerSentEvent", t);
}

}  // namespace bw::contents
