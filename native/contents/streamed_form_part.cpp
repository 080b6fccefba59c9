// StreamedFormPart: one part of a multipart body read as a stream.
//
// The part carries its decoded headers (`name`, `file_name`, `content_type`,
// `charset`, each `str` or None) and a `data_provider` callable that returns
// an async iterable of the part's data; `stream()` calls it.  Parts of one
// body share a single sequential source, so the provider given by the
// multipart parser hands out the data only while the part is current.
#include <Python.h>

#include "brindlewick/args.hpp"
#include "brindlewick/gc_fields.hpp"
#include "brindlewick/pyref.hpp"
#include "contents.hpp"

namespace bw::contents {

namespace {

struct StreamedFormPartObject {
    PyObject_HEAD
    PyObject* name;           // str or None
    PyObject* file_name;      // str or None
    PyObject* content_type;   // str or None
    PyObject* charset;        // str or None
    PyObject* data_provider;  // callable or None
};

inline StreamedFormPartObject* as_part(PyObject* op) { return reinterpret_cast<StreamedFormPartObject*>(op); }

// ---- an async iterator with nothing in it --------------------------------------
// It is its own awaitable: awaiting `__anext__()` raises StopAsyncIteration,
// so both `async for` and `anext(it, default)` see an empty stream.

PyObject* empty_self(PyObject* op) { return Py_NewRef(op); }

PyObject* empty_next(PyObject*) {
    PyErr_SetNone(PyExc_StopAsyncIteration);
    return nullptr;
}

void empty_dealloc(PyObject* op) {
    PyTypeObject* type = Py_TYPE(op);
    type->tp_free(op);
    Py_DECREF(type);
}

PyType_Slot empty_slots[] = {
    {Py_am_aiter, reinterpret_cast<void*>(empty_self)},
    {Py_am_anext, reinterpret_cast<void*>(empty_self)},
    {Py_am_await, reinterpret_cast<void*>(empty_self)},
    {Py_tp_iter, reinterpret_cast<void*>(empty_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(empty_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(empty_dealloc)},
    {0, nullptr},
};

PyType_Spec empty_spec = {
    "brindlewick.contents._EmptyPartStream",
    sizeof(PyObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    empty_slots,
};

// ---- StreamedFormPart ---------------------------------------------------------

bool check_text(PyObject* value, const char* arg) {
    return args::instance(value, &PyUnicode_Type, arg);
}

PyObject* part_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = as_part(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->name = Py_NewRef(Py_None);
    self->file_name = Py_NewRef(Py_None);
    self->content_type = Py_NewRef(Py_None);
    self->charset = Py_NewRef(Py_None);
    self->data_provider = Py_NewRef(Py_None);
    return reinterpret_cast<PyObject*>(self);
}

int part_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"name", "file_name", "content_type", "charset", "data_provider", nullptr};
    PyObject* name = Py_None;
    PyObject* file_name = Py_None;
    PyObject* content_type = Py_None;
    PyObject* charset = Py_None;
    PyObject* provider = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOOO:StreamedFormPart", const_cast<char**>(kw), &name,
                                     &file_name, &content_type, &charset, &provider))
        return -1;
    if (!check_text(name, "name") || !check_text(file_name, "file_name") ||
        !check_text(content_type, "content_type") || !check_text(charset, "charset"))
        return -1;
    if (provider != Py_None && !PyCallable_Check(provider)) {
        args::raise_arg_type("data_provider", "callable", provider);
        return -1;
    }
    auto* self = as_part(op);
    assign_field(self->name, name);
    assign_field(self->file_name, file_name);
    assign_field(self->content_type, content_type);
    assign_field(self->charset, charset);
    assign_field(self->data_provider, provider);
    return 0;
}

using PartFields = ObjectFields<StreamedFormPartObject, &StreamedFormPartObject::name,
                                &StreamedFormPartObject::file_name, &StreamedFormPartObject::content_type,
                                &StreamedFormPartObject::charset, &StreamedFormPartObject::data_provider>;

inline Ref field_or_none(PyObject* v) { return Ref::borrow(v ? v : Py_None); }

PyObject* part_repr(PyObject* op) {
    auto* self = as_part(op);
    // The fields may be str subclasses whose repr replaces the others.
    Ref name = field_or_none(self->name), file_name = field_or_none(self->file_name),
        content_type = field_or_none(self->content_type), charset = field_or_none(self->charset);
    return PyUnicode_FromFormat("<StreamedFormPart name=%R file_name=%R content_type=%R charset=%R>", name.get(),
                                file_name.get(), content_type.get(), charset.get());
}

PyObject* py_stream(PyObject* op, PyObject*) {
    Ref provider = field_or_none(as_part(op)->data_provider);  // held for the call
    if (provider.get() == Py_None) return PyType_GenericAlloc(state.empty_stream_type, 0);
    return PyObject_CallNoArgs(provider.get());
}

PyMethodDef part_methods[] = {
    {"stream", py_stream, METH_NOARGS, "stream(): async iterator over the part's data, as it arrives."},
    {nullptr, nullptr, 0, nullptr},
};

// Getters and setters of the text attributes, addressed by field offset.
template <PyObject* StreamedFormPartObject::*Field>
PyObject* get_text(PyObject* op, void*) {
    PyObject* v = as_part(op)->*Field;
    return Py_NewRef(v ? v : Py_None);
}

template <PyObject* StreamedFormPartObject::*Field>
int set_text(PyObject* op, PyObject* value, void*) {
    if (!value) value = Py_None;
    if (!args::expect_instance(value, &PyUnicode_Type)) return -1;
    assign_field(as_part(op)->*Field, value);
    return 0;
}

PyObject* get_provider(PyObject* op, void*) {
    PyObject* v = as_part(op)->data_provider;
    return Py_NewRef(v ? v : Py_None);
}

int set_provider(PyObject* op, PyObject* value, void*) {
    if (!value) value = Py_None;
    if (value != Py_None && !PyCallable_Check(value)) {
        args::raise_expected("callable", value);
        return -1;
    }
    assign_field(as_part(op)->data_provider, value);
    return 0;
}

PyGetSetDef part_getset[] = {
    {"name", get_text<&StreamedFormPartObject::name>, set_text<&StreamedFormPartObject::name>,
     "Field name (str or None).", nullptr},
    {"file_name", get_text<&StreamedFormPartObject::file_name>, set_text<&StreamedFormPartObject::file_name>,
     "File name of an uploaded file (str or None).", nullptr},
    {"content_type", get_text<&StreamedFormPartObject::content_type>,
     set_text<&StreamedFormPartObject::content_type>, "Media type of the part (str or None).", nullptr},
    {"charset", get_text<&StreamedFormPartObject::charset>, set_text<&StreamedFormPartObject::charset>,
     "Charset parameter of the part's Content-Type (str or None).", nullptr},
    {"data_provider", get_provider, set_provider, "Callable returning an async iterable of the data.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot part_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(part_new)},
    {Py_tp_init, reinterpret_cast<void*>(part_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(PartFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(PartFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(PartFields::clear)},
    {Py_tp_repr, reinterpret_cast<void*>(part_repr)},
    {Py_tp_methods, part_methods},
    {Py_tp_getset, part_getset},
    {Py_tp_doc, const_cast<char*>("StreamedFormPart(name=None, file_name=None, content_type=None, charset=None, "
                                  "data_provider=None): a multipart part whose data is read as a stream.")},
    {0, nullptr},
};

PyType_Spec part_spec = {
    "brindlewick.contents.StreamedFormPart",
    sizeof(StreamedFormPartObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    part_slots,
};

}  // namespace

int init_streamed_form_part(PyObject* module) {
    PyObject* empty = PyType_FromModuleAndSpec(module, &empty_spec, nullptr);
    if (!empty) return -1;
    Py_XSETREF(state.empty_stream_type, reinterpret_cast<PyTypeObject*>(empty));
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &part_spec, nullptr));
    if (!type) return -1;
    return PyModule_AddObjectRef(module, "StreamedFormPart", type.get());
}

}  // namespace bw::contents
