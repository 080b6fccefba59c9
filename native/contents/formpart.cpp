// FormPart (one part of a form), FileBuffer (a readable upload) and
// simplify_multipart_data.
#include <Python.h>

#include "brindlewick/args.hpp"
#include "brindlewick/capi.hpp"
#include "brindlewick/gc_fields.hpp"
#include "brindlewick/pyref.hpp"
#include "contents.hpp"

namespace bw::contents {

namespace {

inline FormPartObject* as_part(PyObject* op) { return reinterpret_cast<FormPartObject*>(op); }

bool is_bytes_like(PyObject* v) { return PyBytes_Check(v) || PyByteArray_Check(v) || PyMemoryView_Check(v); }

bool optional_bytes(PyObject* v, const char* name) {
    if (v == Py_None || PyBytes_Check(v)) return true;
    return args::raise_arg_type(name, "bytes", v);
}

PyObject* part_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = as_part(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->name = Py_NewRef(state.empty_bytes);
    self->data = Py_NewRef(state.empty_bytes);
    self->file_name = Py_NewRef(Py_None);
    self->content_type = Py_NewRef(Py_None);
    self->charset = Py_NewRef(Py_None);
    self->size = 0;
    return reinterpret_cast<PyObject*>(self);
}

int part_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"name", "data", "file_name", "content_type", "charset", "size", nullptr};
    PyObject *name, *data, *file_name = Py_None, *content_type = Py_None, *charset = Py_None, *size_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OOOO:FormPart", const_cast<char**>(kw), &name, &data,
                                     &file_name, &content_type, &charset, &size_obj))
        return -1;
    if (!PyBytes_Check(name)) return args::raise_arg_type("name", "bytes", name) ? 0 : -1;
    if (!is_bytes_like(data)) {
        int has_read = PyObject_HasAttrWithError(data, state.str_read);
        if (has_read < 0) return -1;
        if (!has_read || PyUnicode_Check(data))
            return args::raise_arg_type("data", "bytes or a binary file object", data) ? 0 : -1;
    }
    if (!optional_bytes(file_name, "file_name") || !optional_bytes(content_type, "content_type") ||
        !optional_bytes(charset, "charset"))
        return -1;
    Py_ssize_t size = 0;
    if (size_obj && size_obj != Py_None) {
        if (!PyLong_Check(size_obj)) return args::raise_arg_type("size", "int", size_obj) ? 0 : -1;
        size = PyLong_AsSsize_t(size_obj);
        if (size == -1 && PyErr_Occurred()) return -1;
        if (size < 0) {
            PyErr_SetString(PyExc_ValueError, "size must not be negative");
            return -1;
        }
    } else if (is_bytes_like(data)) {
        size = PyObject_Length(data);
        if (size < 0) return -1;
    }
    auto* self = as_part(op);
    assign_field(self->name, name);
    assign_field(self->data, data);
    assign_field(self->file_name, file_name);
    assign_field(self->content_type, content_type);
    assign_field(self->charset, charset);
    self->size = size;
    return 0;
}

using PartFields = ObjectFields<FormPartObject, &FormPartObject::name, &FormPartObject::data,
                                &FormPartObject::file_name, &FormPartObject::content_type,
                                &FormPartObject::charset>;

// The fields compared are held: a comparison is Python code (bytes
// subclasses, file objects) that may re-initialise either part.
struct PartSnapshot {
    Ref fields[5];
    explicit PartSnapshot(FormPartObject* p)
        : fields{Ref::borrow(p->name), Ref::borrow(p->file_name), Ref::borrow(p->content_type),
                 Ref::borrow(p->charset), Ref::borrow(p->data)} {}
};

PyObject* part_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(b, state.form_part_type)) Py_RETURN_NOTIMPLEMENTED;
    auto *x = as_part(a), *y = as_part(b);
    bool equal = x->size == y->size;
    PartSnapshot left(x), right(y);
    for (int i = 0; equal && i < 5; i++) {
        int r = PyObject_RichCompareBool(left.fields[i].get(), right.fields[i].get(), Py_EQ);
        if (r < 0) return nullptr;
        equal = r == 1;
    }
    return bool_ref(op == Py_EQ ? equal : !equal);
}

PyObject* part_repr(PyObject* op) {
    auto* self = as_part(op);
    // A field's repr may re-initialise the part: format a snapshot.
    PartSnapshot s(self);
    Py_ssize_t size = self->size;
    return PyUnicode_FromFormat("<FormPart name=%R file_name=%R content_type=%R charset=%R size=%zd>",
                                s.fields[0].get(), s.fields[1].get(), s.fields[2].get(), s.fields[3].get(), size);
}

PyObject* get_file(PyObject* op, void*) {
    PyObject* data = as_part(op)->data;
    return Py_NewRef(is_bytes_like(data) ? Py_None : data);
}

PyObject* get_size(PyObject* op, void*) { return PyLong_FromSsize_t(as_part(op)->size); }

#define BW_PART_FIELD(field)                                                              \
    PyObject* get_##field(PyObject* op, void*) { return Py_NewRef(as_part(op)->field); }
BW_PART_FIELD(name)
BW_PART_FIELD(data)
BW_PART_FIELD(file_name)
BW_PART_FIELD(content_type)
BW_PART_FIELD(charset)

PyGetSetDef part_getset[] = {
    {"name", get_name, nullptr, "Field name (bytes).", nullptr},
    {"data", get_data, nullptr, "The part's bytes, or the binary file object holding them.", nullptr},
    {"file_name", get_file_name, nullptr, "File name of an upload (bytes or None).", nullptr},
    {"content_type", get_content_type, nullptr, "Declared media type (bytes or None).", nullptr},
    {"charset", get_charset, nullptr, "Declared charset (bytes or None).", nullptr},
    {"size", get_size, nullptr, "Number of bytes of the part.", nullptr},
    {"file", get_file, nullptr, "`data` when it is a file object, else None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* part_reduce(PyObject* op, PyObject*) {
    auto* self = as_part(op);
    return Py_BuildValue("O(OOOOOn)", reinterpret_cast<PyObject*>(Py_TYPE(op)), self->name, self->data,
                         self->file_name, self->content_type, self->charset, self->size);
}

PyMethodDef part_methods[] = {
    {"__reduce__", part_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot part_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(part_new)},
    {Py_tp_init, reinterpret_cast<void*>(part_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(PartFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(PartFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(PartFields::clear)},
    {Py_tp_richcompare, reinterpret_cast<void*>(part_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_repr, reinterpret_cast<void*>(part_repr)},
    {Py_tp_getset, part_getset},
    {Py_tp_methods, part_methods},
    {Py_tp_doc, const_cast<char*>("FormPart(name: bytes, data, file_name: bytes = None, content_type: bytes = None, "
                                  "charset: bytes = None, size: int = len(data)): one part of a form.")},
    {0, nullptr},
};

PyType_Spec part_spec = {
    "brindlewick.contents.FormPart",
    sizeof(FormPartObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    part_slots,
};

// ---- FileBuffer ----------------------------------------------------------------

inline FileBufferObject* as_buffer(PyObject* op) { return reinterpret_cast<FileBufferObject*>(op); }

PyObject* buffer_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = as_buffer(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    for (PyObject** f : {&self->file, &self->name, &self->file_name, &self->content_type, &self->charset})
        *f = Py_NewRef(Py_None);
    return reinterpret_cast<PyObject*>(self);
}

int buffer_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"file", "name", "file_name", "content_type", "charset", nullptr};
    PyObject *file, *name = Py_None, *file_name = Py_None, *content_type = Py_None, *charset = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOOO:FileBuffer", const_cast<char**>(kw), &file, &name,
                                     &file_name, &content_type, &charset))
        return -1;
    int has_read = PyObject_HasAttrWithError(file, state.str_read);
    if (has_read < 0) return -1;
    if (!has_read) return args::raise_arg_type("file", "a binary file object", file) ? 0 : -1;
    if (!optional_bytes(name, "name") || !optional_bytes(file_name, "file_name") ||
        !optional_bytes(content_type, "content_type") || !optional_bytes(charset, "charset"))
        return -1;
    auto* self = as_buffer(op);
    assign_field(self->file, file);
    assign_field(self->name, name);
    assign_field(self->file_name, file_name);
    assign_field(self->content_type, content_type);
    assign_field(self->charset, charset);
    return 0;
}

using BufferFields = ObjectFields<FileBufferObject, &FileBufferObject::file, &FileBufferObject::name,
                                  &FileBufferObject::file_name, &FileBufferObject::content_type,
                                  &FileBufferObject::charset>;

// The wrapped file, held for the call made on it (which may close or
// re-initialise the buffer); null with ValueError once closed.
Ref open_file(PyObject* op) {
    PyObject* file = as_buffer(op)->file;
    if (!file || file == Py_None) {
        PyErr_SetString(PyExc_ValueError, "I/O operation on a closed FileBuffer");
        return nullptr;
    }
    return Ref::borrow(file);
}

PyObject* buffer_read(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs > 1) return args::raise_count("read", 0, 1, nargs), nullptr;
    Ref file = open_file(op);
    if (!file) return nullptr;
    Ref data = Ref::steal(nargs ? PyObject_CallMethodOneArg(file.get(), state.str_read, args[0])
                                : PyObject_CallMethodNoArgs(file.get(), state.str_read));
    if (!data) return nullptr;
    if (!PyBytes_Check(data.get()) && !PyByteArray_Check(data.get())) {
        PyErr_Format(PyExc_TypeError, "the wrapped file must be binary (read() gave %.200s)",
                     Py_TYPE(data.get())->tp_name);
        return nullptr;
    }
    return data.release();
}

PyObject* buffer_seek(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 2) return args::raise_count("seek", 1, 2, nargs), nullptr;
    Ref file = open_file(op);
    if (!file) return nullptr;
    PyObject* stack[] = {file.get(), args[0], nargs > 1 ? args[1] : nullptr};
    return PyObject_VectorcallMethod(state.str_seek, stack, static_cast<size_t>(nargs) + 1, nullptr);
}

PyObject* buffer_tell(PyObject* op, PyObject*) {
    Ref file = open_file(op);
    if (!file) return nullptr;
    return PyObject_CallMethodNoArgs(file.get(), state.str_tell);
}

PyObject* buffer_close(PyObject* op, PyObject*) {
    auto* self = as_buffer(op);
    if (self->file == Py_None) Py_RETURN_NONE;
    Ref file = Ref::steal(self->file);
    self->file = Py_NewRef(Py_None);
    Ref r = Ref::steal(PyObject_CallMethodNoArgs(file.get(), state.str_close));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

PyObject* buffer_enter(PyObject* op, PyObject*) { return Py_NewRef(op); }

PyObject* buffer_exit(PyObject* op, PyObject* const*, Py_ssize_t) { return buffer_close(op, nullptr); }

PyObject* buffer_readable(PyObject* op, PyObject*) { return bool_ref(as_buffer(op)->file != Py_None); }

PyMethodDef buffer_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(buffer_read)), METH_FASTCALL,
     "read(size=-1) -> bytes"},
    {"seek", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(buffer_seek)), METH_FASTCALL,
     "seek(offset, whence=0) -> int"},
    {"tell", buffer_tell, METH_NOARGS, "tell() -> int"},
    {"close", buffer_close, METH_NOARGS, "close() -> None: closes the wrapped file; idempotent."},
    {"readable", buffer_readable, METH_NOARGS, "readable() -> bool"},
    {"__enter__", buffer_enter, METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(buffer_exit)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* buffer_closed(PyObject* op, void*) { return bool_ref(as_buffer(op)->file == Py_None); }

#define BW_BUFFER_FIELD(field)                                                                   \
    PyObject* buffer_get_##field(PyObject* op, void*) { return Py_NewRef(as_buffer(op)->field); }
BW_BUFFER_FIELD(file)
BW_BUFFER_FIELD(name)
BW_BUFFER_FIELD(file_name)
BW_BUFFER_FIELD(content_type)
BW_BUFFER_FIELD(charset)

PyGetSetDef buffer_getset[] = {
    {"file", buffer_get_file, nullptr, "The wrapped binary file (None once closed).", nullptr},
    {"name", buffer_get_name, nullptr, "Field name (bytes or None).", nullptr},
    {"file_name", buffer_get_file_name, nullptr, "File name of the upload (bytes or None).", nullptr},
    {"content_type", buffer_get_content_type, nullptr, "Declared media type (bytes or None).", nullptr},
    {"charset", buffer_get_charset, nullptr, "Declared charset (bytes or None).", nullptr},
    {"closed", buffer_closed, nullptr, "Whether close() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot buffer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(buffer_new)},
    {Py_tp_init, reinterpret_cast<void*>(buffer_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(BufferFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(BufferFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(BufferFields::clear)},
    {Py_tp_methods, buffer_methods},
    {Py_tp_getset, buffer_getset},
    {Py_tp_doc, const_cast<char*>("FileBuffer(file, name=None, file_name=None, content_type=None, charset=None): "
                                  "a readable upload wrapping a binary file object.")},
    {0, nullptr},
};

PyType_Spec buffer_spec = {
    "brindlewick.contents.FileBuffer",
    sizeof(FileBufferObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    buffer_slots,
};

// ---- simplify_multipart_data ---------------------------------------------------------

// The whole content of a part's file, leaving the file at its start so that
// the part reads the same the next time (form() simplifies on every call).
PyObject* read_whole_file(PyObject* file) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return nullptr;
    int seekable = PyObject_HasAttrWithError(file, state.str_seek);
    if (seekable < 0) return nullptr;
    if (seekable) {
        Ref r = Ref::steal(PyObject_CallMethodOneArg(file, state.str_seek, zero.get()));
        if (!r) return nullptr;
    }
    Ref data = Ref::steal(PyObject_CallMethodNoArgs(file, state.str_read));
    if (!data) return nullptr;
    if (seekable) {
        Ref r = Ref::steal(PyObject_CallMethodOneArg(file, state.str_seek, zero.get()));
        if (!r) return nullptr;
    }
    return data.release();
}

PyObject* part_text(FormPartObject* part) {
    Ref data = Ref::borrow(part->data);
    if (!is_bytes_like(data.get())) {
        data = Ref::steal(read_whole_file(data.get()));
        if (!data) return nullptr;
        if (PyUnicode_Check(data.get())) return data.release();  // a text-mode file
    }
    // Held across the decode: the codec lookup may run Python code (a search
    // function) that re-initialises the part.  The charset is the client's:
    // only the text encodings of the allowed labels decode it.
    Ref charset = Ref::borrow(part->charset), name = Ref::borrow(part->name);
    Ref codec = charset.get() != Py_None && PyBytes_GET_SIZE(charset.get()) > 0
                    ? Ref::steal(charset_codec(charset.get()))
                    : Ref::borrow(state.utf8_codec);
    if (!codec) return nullptr;
    const char* encoding = PyUnicode_AsUTF8(codec.get());
    if (!encoding) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(data.get(), &view, PyBUF_SIMPLE) < 0) return nullptr;
    PyObject* text = PyUnicode_Decode(static_cast<const char*>(view.buf), view.len, encoding, "strict");
    PyBuffer_Release(&view);
    if (!text && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        // Client input that cannot be read as declared is a bad request.
        PyObject* cause = PyErr_GetRaisedException();
        Ref message = Ref::steal(PyUnicode_FromFormat("Cannot decode form field %R with charset '%s'", name.get(),
                                                      encoding));
        if (message) {
            Ref exc = Ref::steal(PyObject_CallOneArg(state.BadRequest, message.get()));
            if (exc) {
                PyException_SetCause(exc.get(), cause);  // steals
                cause = nullptr;
                PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
            }
        }
        Py_XDECREF(cause);
    }
    return text;
}

PyObject* simplify_part(PyObject* part) {
    if (!PyObject_TypeCheck(part, state.form_part_type)) return Py_NewRef(part);
    auto* p = as_part(part);
    if (p->file_name != Py_None) return Py_NewRef(part);
    return part_text(p);
}

}  // namespace

PyObject* simplify_multipart_data(PyObject* data) {
    if (!PyDict_Check(data)) return args::raise_arg_type("data", "dict", data), nullptr;
    Ref result = Ref::steal(PyDict_New());
    if (!result) return nullptr;
    Ref items = Ref::steal(PyDict_Items(data));
    if (!items) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); i++) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        PyObject* key = PyTuple_GET_ITEM(item, 0);
        PyObject* values = PyTuple_GET_ITEM(item, 1);
        Ref simple;
        if (PyList_Check(values) || PyTuple_Check(values)) {
            Ref fast = Ref::steal(PySequence_List(values));
            if (!fast) return nullptr;
            Py_ssize_t n = PyList_GET_SIZE(fast.get());
            if (n == 1) {
                simple = Ref::steal(simplify_part(PyList_GET_ITEM(fast.get(), 0)));
            } else {
                simple = Ref::steal(PyList_New(n));
                if (!simple) return nullptr;
                for (Py_ssize_t j = 0; j < n; j++) {
                    PyObject* one = simplify_part(PyList_GET_ITEM(fast.get(), j));
                    if (!one) return nullptr;
                    PyList_SET_ITEM(simple.get(), j, one);
                }
            }
        } else {
            simple = Ref::steal(simplify_part(values));
        }
        if (!simple || PyDict_SetItem(result.get(), key, simple.get()) < 0) return nullptr;
    }
    return result.release();
}

namespace {

PyObject* py_simplify(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data"};
    static args::Signature sig{"simplify_multipart_data", names, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    return simplify_multipart_data(a[0]);
}

PyMethodDef functions[] = {
    {"simplify_multipart_data", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(py_simplify)),
     METH_FASTCALL | METH_KEYWORDS,
     "simplify_multipart_data(data: dict) -> dict: one part becomes its value, several a list; a field without "
     "a file name becomes its text, a file part stays a FormPart."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int init_form_types(PyObject* module) {
    PyObject* t = PyType_FromModuleAndSpec(module, &part_spec, nullptr);
    if (!t) return -1;
    Py_XSETREF(state.form_part_type, reinterpret_cast<PyTypeObject*>(t));
    if (PyModule_AddObjectRef(module, "FormPart", t) < 0) return -1;
    Ref buffer_type = Ref::steal(PyType_FromModuleAndSpec(module, &buffer_spec, nullptr));
    if (!buffer_type || PyModule_AddObjectRef(module, "FileBuffer", buffer_type.get()) < 0) return -1;
    if (PyModule_AddFunctions(module, functions) < 0) return -1;
    return capi::export_function(module, "simplify_multipart_data", &simplify_multipart_data,
                                 siblings::kParseWWWFormSig);
}

}  // namespace bw::contents
