// The Message type: fields, construction, properties, pickling and the
// native operation table that Request and Response extend.
#include <Python.h>
#include <structmember.h>

#include "brindlewick/args.hpp"
#include "brindlewick/capi.hpp"
#include "brindlewick/gc_fields.hpp"
#include "brindlewick/pyref.hpp"
#include "brindlewick/compat.hpp"
#include "message_core.hpp"
#include "errors.hpp"

namespace bw::messages {

using siblings::ContentObject;

namespace {

const char* const kOverridable[kMessageSlotCount] = {
    "get_headers", "get_first_header", "get_single_header", "remove_header", "has_header",
    "add_header", "set_header", "content_type", "with_content", "has_body",
    "declares_content_type", "declares_json", "declares_xml", "read", "read_raw",
};

}  // namespace

OverrideTable message_overrides(kOverridable, kMessageSlotCount);

namespace {

// ---- native operations of this unit -------------------------------------

PyObject* with_content(MessageObject* self, PyObject* content, int skip_dispatch) {
    if (!skip_dispatch && message_overrides.overridden(as_object(self), kWithContent)) {
        Ref r = Ref::steal(message_overrides.call(as_object(self), kWithContent, &content, 1));
        if (r && !args::expect_instance(r.get(), state.MessageType)) return nullptr;
        return r.release();
    }
    assign_field(self->content, content);
    return Py_NewRef(as_object(self));
}

int has_body(MessageObject* self, int skip_dispatch) {
    if (!skip_dispatch && message_overrides.overridden(as_object(self), kHasBody))
        return call_override_bool(self, kHasBody, nullptr, 0);
    Ref hold;
    PyObject* content;
    int present = test_content(self, hold, content);
    if (present <= 0) return present;
    return reinterpret_cast<ContentObject*>(content)->length != 0;
}

// ---- construction -----------------------------------------------------------

int message_init_headers(MessageObject* self, PyObject* headers) {
    if (!args::exact(headers, &PyList_Type, "headers")) return -1;
    PyObject* raw = build_raw_headers(headers);
    if (!raw) return -1;
    assign_field_steal(self->_raw_headers, raw);
    return 0;
}

const char* const kInitNames[] = {"headers"};
args::Signature init_sig{"__init__", kInitNames, 1, 1};

int message_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    // Fast-call layout of a tuple/dict call, for the shared parser.
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* stack[4];
    PyObject* kwnames = nullptr;
    Ref kwnames_owned;
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nargs + nkw > 3) return args::raise_count("__init__", 1, 1, nargs), -1;
    for (Py_ssize_t i = 0; i < nargs; i++) stack[i] = PyTuple_GET_ITEM(args, i);
    if (nkw) {
        kwnames_owned = Ref::steal(PyTuple_New(nkw));
        if (!kwnames_owned) return -1;
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames_owned.get(), k, Py_NewRef(key));
            stack[nargs + k] = value;
            k++;
        }
        kwnames = kwnames_owned.get();
    }
    PyObject* a[1];
    if (!args::parse(init_sig, stack, nargs, kwnames, a)) return -1;
    return message_init_headers(as_message(op), a[0]);
}

}  // namespace

PyObject* build_raw_headers(PyObject* headers) {
    if (headers == Py_None || PyList_GET_SIZE(headers) == 0) return PyList_New(0);
    Py_ssize_t n = PyList_GET_SIZE(headers);
    Ref result = Ref::steal(PyList_New(n));
    if (!result) return nullptr;
    for (Py_ssize_t i = 0; i < n; i++) {
        if (i >= PyList_GET_SIZE(headers)) {  // shrunk under us by an odd __eq__; keep what we have
            if (PyList_SetSlice(result.get(), i, n, nullptr) < 0) return nullptr;
            break;
        }
        PyObject* item = PyList_GET_ITEM(headers, i);
        PyObject* replacement = nullptr;
        if (PyTuple_Check(item) && PyTuple_GET_SIZE(item) == 2 && PyBytes_Check(PyTuple_GET_ITEM(item, 0))) {
            PyObject* name = PyTuple_GET_ITEM(item, 0);
            if (!PyBytes_CheckExact(name)) return args::raise_expected("bytes", name), nullptr;
            Ref interned = Ref::steal(intern_header_name_bytes(name));
            if (interned.get() == name && PyTuple_CheckExact(item)) {
                // Nothing to replace: the equal immutable tuple serves as it is.
                PyList_SET_ITEM(result.get(), i, Py_NewRef(item));
                continue;
            }
            replacement = header_entry(interned.get(), PyTuple_GET_ITEM(item, 1));
            if (!replacement) return nullptr;
        } else {
            replacement = Py_NewRef(item);
        }
        PyList_SET_ITEM(result.get(), i, replacement);
    }
    return result.release();
}

// The non-empty __dict__ of a subclass instance into `out` (left null when
// there is none, it is empty or it is not a dict); -1 with the lookup's error.
// The lookup honours a `__dict__` property, which may build a new dictionary
// on every read, so the result is owned, and an error it raises propagates
// rather than pickling the object without its attributes.
int instance_dict(PyObject* op, Ref& out) {
    PyTypeObject* type = Py_TYPE(op);
    if (type->tp_dictoffset == 0 && !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return 0;
    PyObject* dict = nullptr;
    if (PyObject_GetOptionalAttr(op, state.str_dict, &dict) < 0) return -1;
    Ref held = Ref::steal(dict);
    if (dict && PyDict_Check(dict) && PyDict_GET_SIZE(dict) > 0) out = std::move(held);
    return 0;
}

int update_instance_dict(PyObject* op, PyObject* items) {
    PyObject* dict = nullptr;
    if (PyObject_GetOptionalAttr(op, state.str_dict, &dict) < 0) return -1;
    if (!dict) return 0;
    Ref held = Ref::steal(dict);
    Ref r = Ref::steal(PyObject_CallMethodOneArg(dict, state.str_update, items));
    return r ? 0 : -1;
}

PyObject* unpickle_into(PyTypeObject* base, const long (&accepted)[3], const char* field_names,
                        int (*set_state)(PyObject*, PyObject*), PyObject* const (&a)[3]) {
    long checksum = PyLong_AsLong(a[1]);
    if (checksum == -1 && PyErr_Occurred()) return nullptr;
    if (checksum != accepted[0] && checksum != accepted[1] && checksum != accepted[2]) {
        PyErr_Format(state.PickleError, "Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))",
                     static_cast<unsigned int>(checksum), static_cast<unsigned int>(accepted[0]),
                     static_cast<unsigned int>(accepted[1]), static_cast<unsigned int>(accepted[2]), field_names);
        return nullptr;
    }
    // base.__new__(type): checks that type is a subtype of base.
    Ref result = Ref::steal(PyObject_CallMethodOneArg(reinterpret_cast<PyObject*>(base), state.str_new, a[0]));
    if (!result) return nullptr;
    if (a[2] != Py_None && set_state(result.get(), a[2]) < 0) return nullptr;
    return result.release();
}

PyTypeObject* create_message_subtype(PyObject* module, PyType_Spec* spec, PyTypeObject** slot, void* vtable,
                                     const char* vtable_sig) {
    PyObject* type = type_from_spec(module, spec, reinterpret_cast<PyObject*>(state.MessageType));
    if (!type) return nullptr;
    Py_XSETREF(*slot, reinterpret_cast<PyTypeObject*>(type));
    if (message_overrides.add_native_type(*slot) < 0) return nullptr;
    if (capi::export_vtable(*slot, vtable, vtable_sig) < 0) return nullptr;
    return *slot;
}

PyObject* message_alloc(PyTypeObject* type, MessageVTable* vtab) {
    auto* self = reinterpret_cast<MessageObject*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->vtab = vtab;
    self->_raw_headers = Py_NewRef(Py_None);
    self->_headers = Py_NewRef(Py_None);
    self->content = Py_NewRef(Py_None);
    self->scope_protocol = Py_NewRef(Py_None);
    self->_form_data = Py_NewRef(Py_None);
    self->context = Py_NewRef(Py_None);
    set_default_limits(self);
    return as_object(self);
}

namespace {

PyObject* message_new(PyTypeObject* type, PyObject*, PyObject*) { return message_alloc(type, &message_vtable); }

// Message(headers) without the tuple and dict of a classic call.
PyObject* message_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    PyObject* a[1];
    if (!args::parse(init_sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    Ref self = Ref::steal(message_alloc(tp, &message_vtable));
    if (!self) return nullptr;
    if (message_init_headers(as_message(self.get()), a[0]) < 0) return nullptr;
    return self.release();
}

using MessageFields = MessageFieldsOf<MessageObject>;

// ---- properties -------------------------------------------------------------

PyObject* get__headers(PyObject* op, void*) { return Py_NewRef(as_message(op)->_headers); }

int set__headers(PyObject* op, PyObject* value, void*) {
    if (!value) value = Py_None;
    if (!args::expect_instance(value, state.Headers)) return -1;
    assign_field(as_message(op)->_headers, value);
    return 0;
}

PyObject* get_headers_view(PyObject* op, void*) {
    MessageObject* self = as_message(op);
    if (self->_headers == Py_None) {
        // Headers.__init__ is Python code: the list is held across it.
        Ref raw = Ref::borrow(self->_raw_headers);
        PyObject* view = PyObject_CallOneArg(reinterpret_cast<PyObject*>(state.Headers), raw.get());
        if (!view) return nullptr;
        if (!args::expect_instance(view, state.Headers)) {
            Py_DECREF(view);
            return nullptr;
        }
        assign_field_steal(self->_headers, view);
    }
    return Py_NewRef(self->_headers);
}

PyObject* get_content(PyObject* op, void*) { return Py_NewRef(as_message(op)->content); }

int set_content(PyObject* op, PyObject* value, void*) {
    if (!value) value = Py_None;
    if (!args::expect_instance(value, state.Content)) return -1;
    assign_field(as_message(op)->content, value);
    return 0;
}

#define BW_ANY_FIELD(field)                                                         \
    PyObject* get_##field(PyObject* op, void*) { return Py_NewRef(as_message(op)->field); } \
    int set_##field(PyObject* op, PyObject* value, void*) {                         \
        assign_field(as_message(op)->field, value ? value : Py_None);               \
        return 0;                                                                   \
    }
BW_ANY_FIELD(scope_protocol)
BW_ANY_FIELD(_form_data)
BW_ANY_FIELD(context)
#undef BW_ANY_FIELD

PyObject* empty_memoryview() { return PyMemoryView_FromObject(state.empty_bytes); }

PyObject* get_body_buffer(PyObject* op, void*) {
    Ref content;
    int present = held_content(as_message(op), content);
    if (present < 0) return nullptr;
    if (!present) return empty_memoryview();
    PyObject* buffer = nullptr;
    if (PyObject_GetOptionalAttr(content.get(), state.str_body_buffer, &buffer) < 0) return nullptr;
    return buffer ? buffer : empty_memoryview();
}

PyObject* get_charset(PyObject* op, void*) { return message_charset(as_message(op)); }

PyGetSetDef message_getset[] = {
    {"_headers", get__headers, set__headers, "Cached Headers view of the raw header list.", nullptr},
    {"headers", get_headers_view, nullptr, "Headers view of the raw header list, built on first use.", nullptr},
    {"content", get_content, set_content, "Body of the message (Content or None).", nullptr},
    {"scope_protocol", get_scope_protocol, set_scope_protocol, "Protocol object of the server cycle.", nullptr},
    {"_form_data", get__form_data, set__form_data, "Cache of parsed form data.", nullptr},
    {"context", get_context, set_context, "Free slot for application data.", nullptr},
    {"body_buffer", get_body_buffer, nullptr, "Zero-copy view of the body held by the content.", nullptr},
    {"charset", get_charset, nullptr, "Charset declared by the content type, else 'utf8'.", nullptr},
    {"max_body_size", get_max_body_size, set_max_body_size,
     "Most bytes a whole-body read (read, text, json, form fields) may take, or None for no limit; past it "
     "PayloadTooLarge (413).  Deleting it restores the default of brindlewick.settings.body.",
     nullptr},
    {"max_stream_size", get_max_stream_size, set_max_stream_size,
     "Most bytes stream() (and so multipart_stream and multipart files) may hand out, or None for no limit.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef message_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(MessageObject, weakreflist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// ---- pickling -----------------------------------------------------------------

constexpr long kChecksum = 0xa1874ad;
constexpr long kChecksumsAccepted[3] = {0xa1874ad, 0xfd1c94b, 0x388b856};

PyObject* message_reduce(PyObject* op, PyObject*) {
    MessageObject* self = as_message(op);
    Ref dict;
    if (instance_dict(op, dict) < 0) return nullptr;
    Ref fields_state = Ref::steal(PyTuple_New(dict ? 7 : 6));
    if (!fields_state) return nullptr;
    // Read only now: the __dict__ lookup and the allocation (a collection
    // may run finalizers) can run Python code.
    PyObject* fields[6] = {self->_form_data, self->_headers, self->_raw_headers,
                           self->content,    self->context,  self->scope_protocol};
    bool any_set = static_cast<bool>(dict);
    for (int i = 0; i < 6; i++) {
        PyTuple_SET_ITEM(fields_state.get(), i, Py_NewRef(fields[i]));
        any_set |= fields[i] != Py_None;
    }
    if (dict) PyTuple_SET_ITEM(fields_state.get(), 6, dict.release());
    PyObject* unpickle = nullptr;
    if (PyDict_GetItemRef(state.module_dict, state.str__unpickle_Message, &unpickle) < 0) return nullptr;
    Ref unpickle_held = Ref::steal(unpickle);
    if (!unpickle) {
        PyErr_SetString(PyExc_AttributeError, "_unpickle_Message");
        return nullptr;
    }
    if (any_set) return Py_BuildValue("(O(OlO)O)", unpickle, Py_TYPE(op), kChecksum, Py_None, fields_state.get());
    return Py_BuildValue("(O(OlO))", unpickle, Py_TYPE(op), kChecksum, fields_state.get());
}

// Assigns the six fields (and the instance dictionary) from a pickled state.
int set_state(PyObject* op, PyObject* pickled) {
    if (!PyTuple_CheckExact(pickled)) return args::raise_expected("tuple", pickled), -1;
    Py_ssize_t n = PyTuple_GET_SIZE(pickled);
    if (n < 6) return errors::tuple_index_out_of_range();
    PyObject* headers = PyTuple_GET_ITEM(pickled, 1);
    PyObject* raw = PyTuple_GET_ITEM(pickled, 2);
    PyObject* content = PyTuple_GET_ITEM(pickled, 3);
    if (!args::expect_instance(headers, state.Headers) || !args::expect_exact(raw, &PyList_Type) ||
        !args::expect_instance(content, state.Content))
        return -1;
    MessageObject* self = as_message(op);
    assign_field(self->_form_data, PyTuple_GET_ITEM(pickled, 0));
    assign_field(self->_headers, headers);
    assign_field(self->_raw_headers, raw);
    assign_field(self->content, content);
    assign_field(self->context, PyTuple_GET_ITEM(pickled, 4));
    assign_field(self->scope_protocol, PyTuple_GET_ITEM(pickled, 5));
    if (n > 6) return update_instance_dict(op, PyTuple_GET_ITEM(pickled, 6));
    return 0;
}

PyObject* message_setstate(PyObject* op, PyObject* pickled) {
    if (set_state(op, pickled) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* py_unpickle_message(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"type", "checksum", "state"};
    static args::Signature sig{"_unpickle_Message", names, 3, 3};
    PyObject* a[3];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    return unpickle_into(state.MessageType, kChecksumsAccepted,
                         "_form_data, _headers, _raw_headers, content, context, scope_protocol", set_state, a);
}

// ---- Python-visible methods of this unit ---------------------------------------

PyObject* py_with_content(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"content"};
    static args::Signature sig{"with_content", names, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    if (!args::instance(a[0], state.Content, "content")) return nullptr;
    return with_content(as_message(self), a[0], 1);
}

PyObject* py_has_body(PyObject* self, PyObject*) {
    int r = has_body(as_message(self), 1);
    return r < 0 ? nullptr : bool_ref(r);
}

PyMethodDef own_methods[] = {
    {"with_content", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(py_with_content)),
     METH_FASTCALL | METH_KEYWORDS, "with_content(content: Content) -> Message: sets the content, returns self."},
    {"has_body", py_has_body, METH_NOARGS, "has_body() -> bool: whether there is content of non-zero length."},
    {"__reduce__", message_reduce, METH_NOARGS, nullptr},
    {"__setstate__", message_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef module_functions[] = {
    {"_unpickle_Message", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(py_unpickle_message)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};


}  // namespace

MessageVTable message_vtable = {
    get_headers,
    get_first_header,
    get_single_header,
    remove_header,
    has_header_native,
    has_header,
    add_header_native,
    add_header_if_missing,
    add_header,
    set_header,
    content_type,
    remove_headers,
    get_headers_tuples,
    with_content,
    has_body,
    declares_content_type,
    declares_json,
    declares_xml,
};

int init_message_type(PyObject* module) {
    static PyMethodDef methods[kMaxTypeMethods];
    if (concat_methods(methods, {header_methods, content_type_methods, body_methods, form_methods, own_methods}) < 0)
        return -1;
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(message_new)},
        {Py_tp_init, reinterpret_cast<void*>(message_init)},
        // Calls of the exact type skip the tuple and dict; subclasses do
        // not inherit this, so their own __new__/__init__ keep working.
        {BW_tp_vectorcall, reinterpret_cast<void*>(message_vectorcall)},
        {Py_tp_dealloc, reinterpret_cast<void*>(MessageFields::dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(MessageFields::traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(MessageFields::clear)},
        {Py_tp_methods, methods},
        {Py_tp_getset, message_getset},
        {Py_tp_members, message_members},
        {Py_tp_doc, const_cast<char*>("Message(headers: list | None)\n\nBase of HTTP requests and responses.")},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "brindlewick.messages.Message",
        sizeof(MessageObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    PyObject* type = type_from_spec(module, &spec, nullptr);
    if (!type) return -1;
    Py_XSETREF(state.MessageType, reinterpret_cast<PyTypeObject*>(type));
    if (message_overrides.bind(state.MessageType) < 0) return -1;
    if (capi::export_vtable(state.MessageType, &message_vtable, kMessageVTableSig) < 0) return -1;
    if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
    return PyModule_AddObjectRef(module, "Message", type);
}

}  // namespace bw::messages
