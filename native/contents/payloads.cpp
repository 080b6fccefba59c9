// Response payloads built in memory: text, HTML, JSON, URL-encoded forms and
// multipart/form-data bodies.
#include <Python.h>

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "brindlewick/args.hpp"
#include "brindlewick/buffer.hpp"
#include "brindlewick/compat.hpp"
#include "brindlewick/pyref.hpp"
#include "contents.hpp"

namespace bw::contents {

namespace {

inline bool is_iterable(PyObject* o) { return Py_TYPE(o)->tp_iter != nullptr || PySequence_Check(o); }

inline ContentObject* as_content(PyObject* op) { return reinterpret_cast<ContentObject*>(op); }

void set_payload(PyObject* op, PyObject* type, PyObject* body_stolen) {
    auto* self = as_content(op);
    assign_field(self->type, type);
    assign_field_steal(self->body, body_stolen);
    self->length = PyBytes_GET_SIZE(body_stolen);
}

// A single positional-or-keyword argument of the given name; `format` is
// "O:<function name>".
bool one_arg(PyObject* args, PyObject* kwargs, const char* format, const char* name, PyObject** out) {
    const char* kw[] = {name, nullptr};
    return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kw), out);
}

int text_like_init(PyObject* op, PyObject* args, PyObject* kwargs, const char* func, const char* name,
                   PyObject* type) {
    PyObject* text;
    if (!one_arg(args, kwargs, func, name, &text)) return -1;
    if (!PyUnicode_Check(text)) return args::raise_arg_type(name, "str", text) ? 0 : -1;
    PyObject* body = PyUnicode_AsUTF8String(text);
    if (!body) return -1;
    set_payload(op, type, body);
    return 0;
}

// Exact-type construction without argument tuples (tp_vectorcall is not
// inherited, so subclasses keep __new__/__init__).
PyObject* text_like_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                               args::Signature& sig, PyObject* content_type) {
    PyObject* text;
    if (!args::parse(sig, args, PyVectorcall_NARGS(nargsf), kwnames, &text)) return nullptr;
    if (!PyUnicode_Check(text)) return args::raise_arg_type(sig.names[0], "str", text), nullptr;
    Ref body = Ref::steal(PyUnicode_AsUTF8String(text));
    if (!body) return nullptr;
    auto* t = reinterpret_cast<PyTypeObject*>(type);
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) return nullptr;
    PyObject* op = t->tp_new(t, empty.get(), nullptr);
    if (!op) return nullptr;
    set_payload(op, content_type, body.release());
    return op;
}

PyObject* text_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static const char* const names[] = {"text"};
    static args::Signature sig{"TextContent", names, 1, 1};
    return text_like_vectorcall(type, args, nargsf, kwnames, sig, state.text_plain);
}

PyObject* html_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    static const char* const names[] = {"html"};
    static args::Signature sig{"HTMLContent", names, 1, 1};
    return text_like_vectorcall(type, args, nargsf, kwnames, sig, state.text_html);
}

int text_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    return text_like_init(op, args, kwargs, "O:TextContent", "text", state.text_plain);
}

int html_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    return text_like_init(op, args, kwargs, "O:HTMLContent", "html", state.text_html);
}

// ---- JSON ------------------------------------------------------------------------

int json_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"data", "dumps", nullptr};
    PyObject *data, *dumps = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:JSONContent", const_cast<char**>(kw), &data, &dumps))
        return -1;
    Ref serializer;
    if (dumps == Py_None) {
        serializer = Ref::borrow(state.json_encode);
    } else if (PyCallable_Check(dumps)) {
        serializer = Ref::borrow(dumps);
    } else {
        return args::raise_arg_type("dumps", "callable", dumps) ? 0 : -1;
    }
    Ref out = Ref::steal(PyObject_CallOneArg(serializer.get(), data));
    if (!out) return -1;
    PyObject* body;
    if (PyBytes_CheckExact(out.get())) {
        body = out.release();
    } else if (PyUnicode_Check(out.get())) {
        body = PyUnicode_AsUTF8String(out.get());
    } else if (PyByteArray_Check(out.get()) || PyMemoryView_Check(out.get()) || PyBytes_Check(out.get())) {
        body = PyBytes_FromObject(out.get());
    } else {
        PyErr_Format(PyExc_TypeError, "dumps() must return str or bytes, got %.200s", Py_TYPE(out.get())->tp_name);
        return -1;
    }
    if (!body) return -1;
    set_payload(op, state.application_json, body);
    return 0;
}

// ---- URL-encoded forms ----------------------------------------------------------

inline bool unreserved(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

// Appends `data` form-encoded; false with MemoryError set.
bool quote_plus(Buffer& out, const char* data, Py_ssize_t length) {
    static const char hex[] = "0123456789ABCDEF";
    // Each byte takes at most three: one reservation covers the whole text.
    if (length > PY_SSIZE_T_MAX / 3) {
        PyErr_NoMemory();
        return false;
    }
    if (!out.reserve(out.size() + static_cast<size_t>(length) * 3)) return false;
    char* w = out.end();
    for (Py_ssize_t i = 0; i < length; i++) {
        auto c = static_cast<unsigned char>(data[i]);
        if (unreserved(c)) {
            *w++ = static_cast<char>(c);
        } else if (c == ' ') {
            *w++ = '+';
        } else {
            *w++ = '%';
            *w++ = hex[c >> 4];
            *w++ = hex[c & 15];
        }
    }
    return out.resize(static_cast<size_t>(w - out.data()));
}

// Appends one name or value: str as UTF-8, bytes as they are, numbers and
// other plain values through str(); None is refused rather than sent as "None".
int append_form_text(Buffer& out, PyObject* value, const char* what) {
    if (PyBytes_Check(value)) return quote_plus(out, PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value)) ? 0 : -1;
    Ref text;
    if (PyUnicode_Check(value)) {
        text = Ref::borrow(value);
    } else if (value == Py_None) {
        PyErr_Format(PyExc_TypeError, "form %s must be str, bytes or a number, got None", what);
        return -1;
    } else {
        text = Ref::steal(PyObject_Str(value));
        if (!text) return -1;
    }
    Py_ssize_t length;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &length);
    if (!utf8) return -1;
    return quote_plus(out, utf8, length) ? 0 : -1;
}

// `name` and `value` are owned by the caller: str() of the name may change
// whatever container the value came from.
int append_pair(Buffer& out, PyObject* name, PyObject* value) {
    if (!out.empty() && !out.push_back('&')) return -1;
    if (append_form_text(out, name, "names") < 0) return -1;
    if (!out.push_back('=')) return -1;
    return append_form_text(out, value, "values");
}

int append_field(Buffer& out, PyObject* name, PyObject* value) {
    // A list or tuple of values repeats the name, as parsing gives them.
    // The list may change while it is written (str() of a name or a value
    // runs Python code): its size is read again on every turn and each
    // item is held while it is written.
    if (PyList_Check(value) || PyTuple_Check(value)) {
        Ref items = Ref::steal(PySequence_Fast(value, "values"));
        if (!items) return -1;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); i++) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(items.get(), i));
            if (append_pair(out, name, item.get()) < 0) return -1;
        }
        return 0;
    }
    return append_pair(out, name, value);
}

int form_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    PyObject* data;
    if (!one_arg(args, kwargs, "O:FormContent", "data", &data)) return -1;
    Buffer out;
    if (PyDict_Check(data)) {
        // As for a dict iterated in Python: a change of size while the
        // fields are written (str() of a key or value runs Python code)
        // is an error, never a body with fields silently lost or repeated.
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        Ref guard = Ref::borrow(data);
        const Py_ssize_t size = PyDict_GET_SIZE(data);
        while (PyDict_Next(data, &pos, &key, &value)) {
            Ref k = Ref::borrow(key), v = Ref::borrow(value);
            if (append_field(out, k.get(), v.get()) < 0) return -1;
            if (PyDict_GET_SIZE(data) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return -1;
            }
        }
    } else {
        Ref source;
        PyObject* items = nullptr;
        if (PyObject_GetOptionalAttrString(data, "items", &items) < 0) return -1;
        if (items && !PyUnicode_Check(data) && !PyBytes_Check(data)) {
            Ref method = Ref::steal(items);
            source = Ref::steal(PyObject_CallNoArgs(method.get()));
            if (!source) return -1;
        } else {
            Py_XDECREF(items);
            if (PyUnicode_Check(data) || PyBytes_Check(data) || !is_iterable(data))
                return args::raise_arg_type("data", "mapping or list of pairs", data) ? 0 : -1;
            source = Ref::borrow(data);
        }
        Ref it = Ref::steal(PyObject_GetIter(source.get()));
        if (!it) return -1;
        while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
            if (!PyTuple_Check(pair.get()) && !PyList_Check(pair.get())) {
                PyErr_Format(PyExc_TypeError, "form fields must be (name, value) pairs, got %.200s",
                             Py_TYPE(pair.get())->tp_name);
                return -1;
            }
            Ref fast = Ref::steal(PySequence_Fast(pair.get(), "pair"));
            if (!fast) return -1;
            if (PySequence_Fast_GET_SIZE(fast.get()) != 2) {
                PyErr_Format(PyExc_ValueError, "form fields must be (name, value) pairs, got one of %zd items",
                             PySequence_Fast_GET_SIZE(fast.get()));
                return -1;
            }
            // A list pair may be emptied by str() of its name: both held.
            Ref name = Ref::borrow(PySequence_Fast_GET_ITEM(fast.get(), 0));
            Ref value = Ref::borrow(PySequence_Fast_GET_ITEM(fast.get(), 1));
            if (append_field(out, name.get(), value.get()) < 0) return -1;
        }
        if (PyErr_Occurred()) return -1;
    }
    PyObject* body = out.to_bytes();
    if (!body) return -1;
    set_payload(op, state.form_urlencoded, body);
    return 0;
}

// ---- multipart/form-data ----------------------------------------------------------

inline MultiPartObject* as_multipart(PyObject* op) { return reinterpret_cast<MultiPartObject*>(op); }

constexpr size_t kBoundaryRandomBytes = 16;
constexpr char kBoundaryPrefix[] = "----brindlewick";
constexpr size_t kBoundaryLength = sizeof(kBoundaryPrefix) - 1 + 2 * kBoundaryRandomBytes;

// Fills `raw` from the kernel's random source, or from os.urandom where
// getrandom(2) is not available.  False with an exception set.
bool random_bytes(unsigned char* raw, size_t n) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = getrandom(raw + got, n - got, 0);
        if (r > 0) {
            got += static_cast<size_t>(r);
        } else if (r < 0 && errno == EINTR) {
            if (PyErr_CheckSignals() < 0) return false;
        } else {
            break;
        }
    }
    if (got == n) return true;
    Ref count = Ref::steal(PyLong_FromSize_t(n));
    if (!count) return false;
    Ref bytes = Ref::steal(PyObject_CallOneArg(state.urandom, count.get()));
    if (!bytes) return false;
    if (!PyBytes_Check(bytes.get()) || static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())) != n) {
        args::raise_expected("bytes", bytes.get());
        return false;
    }
    memcpy(raw, PyBytes_AS_STRING(bytes.get()), n);
    return true;
}

// "----brindlewick" and 32 random hex digits, NUL-terminated.
bool random_boundary(char (&out)[kBoundaryLength + 1]) {
    unsigned char raw[kBoundaryRandomBytes];
    if (!random_bytes(raw, sizeof raw)) return false;
    static const char hex[] = "0123456789abcdef";
    memcpy(out, kBoundaryPrefix, sizeof(kBoundaryPrefix) - 1);
    char* w = out + sizeof(kBoundaryPrefix) - 1;
    for (unsigned char b : raw) {
        *w++ = hex[b >> 4];
        *w++ = hex[b & 15];
    }
    *w = '\0';
    return true;
}

// Names and file names sit in a quoted header parameter: quotes and line
// breaks are percent-encoded so that a part cannot forge headers or parts.
bool append_quoted_param(Buffer& out, PyObject* bytes) {
    const char* data = PyBytes_AS_STRING(bytes);
    Py_ssize_t length = PyBytes_GET_SIZE(bytes);
    for (Py_ssize_t i = 0; i < length; i++) {
        char c = data[i];
        bool ok = c == '"' ? out.append_cstr("%22") : c == '\r' ? out.append_cstr("%0D")
                  : c == '\n'                          ? out.append_cstr("%0A")
                                                       : out.push_back(c);
        if (!ok) return false;
    }
    return true;
}

int append_header_value(Buffer& out, PyObject* value, const char* what) {
    std::string_view v(PyBytes_AS_STRING(value), static_cast<size_t>(PyBytes_GET_SIZE(value)));
    if (v.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
        PyErr_Format(PyExc_ValueError, "the %s of a form part must not contain line breaks or NUL", what);
        return -1;
    }
    return out.append(v) ? 0 : -1;
}

// Buffer views of the parts' data, released together.  Each view holds a
// reference to its exporter (`view.obj`), so the data stays alive whatever
// Python code runs while the body is built.
struct PartViews {
    SmallArray<Py_buffer, 8> views;
    ~PartViews() {
        for (Py_buffer& v : views) PyBuffer_Release(&v);
    }
};

int part_bytes(FormPartObject* part, PartViews& out) {
    Ref data = Ref::borrow(part->data);  // read() may re-initialise the part
    if (!PyObject_CheckBuffer(data.get())) {
        Ref name = Ref::borrow(part->name);
        data = Ref::steal(PyObject_CallMethodNoArgs(data.get(), state.str_read));
        if (!data) return -1;
        if (!PyObject_CheckBuffer(data.get())) {
            PyErr_Format(PyExc_TypeError, "the file of form part %R must be opened in binary mode (read() gave %.200s)",
                         name.get(), Py_TYPE(data.get())->tp_name);
            return -1;
        }
    }
    Py_buffer view;
    if (PyObject_GetBuffer(data.get(), &view, PyBUF_SIMPLE) < 0) return -1;
    if (!out.views.push_back(view)) {
        PyBuffer_Release(&view);
        return -1;
    }
    return 0;
}

// The header block and data of one part; nothing in here runs Python code,
// so the part's fields can be read as they are.
bool append_part(Buffer& out, FormPartObject* part, std::string_view boundary, const Py_buffer& data) {
    if (!out.append_cstr("--") || !out.append(boundary) ||
        !out.append_cstr("\r\nContent-Disposition: form-data; name=\"") || !append_quoted_param(out, part->name) ||
        !out.push_back('"'))
        return false;
    if (part->file_name != Py_None) {
        if (!out.append_cstr("; filename=\"") || !append_quoted_param(out, part->file_name) || !out.push_back('"'))
            return false;
    }
    if (!out.append_cstr("\r\n")) return false;
    PyObject* ct = part->content_type;
    if (ct != Py_None || part->charset != Py_None || part->file_name != Py_None) {
        if (!out.append_cstr("Content-Type: ")) return false;
        if (ct != Py_None) {
            if (append_header_value(out, ct, "content type") < 0) return false;
        } else if (!out.append_cstr(part->charset != Py_None ? "text/plain" : "application/octet-stream")) {
            return false;
        }
        if (part->charset != Py_None) {
            if (!out.append_cstr("; charset=") || append_header_value(out, part->charset, "charset") < 0) return false;
        }
        if (!out.append_cstr("\r\n")) return false;
    }
    return out.append_cstr("\r\n") && out.append(static_cast<const char*>(data.buf), data.len) &&
           out.append_cstr("\r\n");
}

int multipart_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    PyObject* parts;
    if (!one_arg(args, kwargs, "O:MultiPartFormData", "parts", &parts)) return -1;
    if (PyUnicode_Check(parts) || PyBytes_Check(parts) || !is_iterable(parts))
        return args::raise_arg_type("parts", "list", parts) ? 0 : -1;
    // A list of our own: no other code can change it while it is read.
    Ref items = Ref::steal(PySequence_List(parts));
    if (!items) return -1;
    Py_ssize_t count = PyList_GET_SIZE(items.get());
    PartViews datas;
    if (!datas.views.reserve(static_cast<size_t>(count))) return -1;
    for (Py_ssize_t i = 0; i < count; i++) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        if (!PyObject_TypeCheck(item, state.form_part_type)) return args::raise_expected("FormPart", item) ? 0 : -1;
        if (part_bytes(reinterpret_cast<FormPartObject*>(item), datas) < 0) return -1;
    }
    // A boundary must not occur in any part; with 128 random bits a clash
    // needs a body built to contain it, which a fresh draw defeats.
    char boundary[kBoundaryLength + 1];
    for (int attempt = 0;; attempt++) {
        if (!random_boundary(boundary)) return -1;
        bool clash = false;
        for (const Py_buffer& d : datas.views)
            if (memmem(d.buf, static_cast<size_t>(d.len), boundary, kBoundaryLength)) clash = true;
        if (!clash) break;
        if (attempt == 8) {
            PyErr_SetString(PyExc_RuntimeError, "could not choose a multipart boundary absent from the parts");
            return -1;
        }
    }
    const std::string_view b(boundary, kBoundaryLength);
    Buffer out;
    for (Py_ssize_t i = 0; i < count; i++) {
        auto* part = reinterpret_cast<FormPartObject*>(PyList_GET_ITEM(items.get(), i));
        if (!append_part(out, part, b, datas.views[static_cast<size_t>(i)])) return -1;
    }
    if (!out.append_cstr("--") || !out.append(b) || !out.append_cstr("--\r\n")) return -1;

    Ref body = Ref::steal(out.to_bytes());
    if (!body) return -1;
    Ref type = Ref::steal(PyBytes_FromFormat("multipart/form-data; boundary=%s", boundary));
    if (!type) return -1;
    Ref boundary_bytes = Ref::steal(PyBytes_FromStringAndSize(boundary, static_cast<Py_ssize_t>(kBoundaryLength)));
    if (!boundary_bytes) return -1;
    set_payload(op, type.get(), body.release());
    assign_field_steal(as_multipart(op)->boundary, boundary_bytes.release());
    return 0;
}

using MultiPartFields = ObjectFields<MultiPartObject, &MultiPartObject::boundary, &MultiPartObject::type,
                                     &MultiPartObject::body>;

PyObject* get_boundary(PyObject* op, void*) {
    PyObject* b = as_multipart(op)->boundary;
    return Py_NewRef(b ? b : Py_None);
}

PyGetSetDef multipart_getset[] = {
    {"boundary", get_boundary, nullptr, "The boundary between the parts (bytes).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- type specs --------------------------------------------------------------------

#define BW_PAYLOAD_SPEC(var, name, init, vectorcall, doc)                                                      \
    PyType_Slot var##_slots[] = {                                                                             \
        {Py_tp_init, reinterpret_cast<void*>(init)},                                                          \
        vectorcall                                                                                            \
        {Py_tp_traverse, reinterpret_cast<void*>(ContentFields::traverse)},                                   \
        {Py_tp_clear, reinterpret_cast<void*>(ContentFields::clear)},                                         \
        {Py_tp_doc, const_cast<char*>(doc)},                                                                  \
        {0, nullptr},                                                                                         \
    };                                                                                                        \
    PyType_Spec var##_spec = {                                                                                \
        "brindlewick.contents." name, sizeof(ContentObject), 0,                                               \
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, var##_slots};

#define BW_VECTORCALL(f) {BW_tp_vectorcall, reinterpret_cast<void*>(f)},
#define BW_NO_VECTORCALL

BW_PAYLOAD_SPEC(text, "TextContent", text_init, BW_VECTORCALL(text_vectorcall), "TextContent(text: str): a text/plain body in UTF-8.")
BW_PAYLOAD_SPEC(html, "HTMLContent", html_init, BW_VECTORCALL(html_vectorcall), "HTMLContent(html: str): a text/html body in UTF-8.")
BW_PAYLOAD_SPEC(json, "JSONContent", json_init, BW_NO_VECTORCALL,
                "JSONContent(data, dumps=None): data serialized as JSON (msgspec.json.encode unless dumps is given).")
BW_PAYLOAD_SPEC(form, "FormContent", form_init, BW_NO_VECTORCALL,
                "FormContent(data): a mapping or list of pairs as an application/x-www-form-urlencoded body.")

PyType_Slot multipart_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(multipart_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(MultiPartFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(MultiPartFields::clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(MultiPartFields::dealloc)},
    {Py_tp_getset, multipart_getset},
    {Py_tp_doc, const_cast<char*>("MultiPartFormData(parts: list[FormPart]): a multipart/form-data body with a "
                                  "random boundary.")},
    {0, nullptr},
};

PyType_Spec multipart_spec = {
    "brindlewick.contents.MultiPartFormData",
    sizeof(MultiPartObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    multipart_slots,
};

}  // namespace

int init_payload_types(PyObject* module) {
    struct Spec {
        PyType_Spec* spec;
        const char* name;
    } specs[] = {
        {&text_spec, "TextContent"}, {&html_spec, "HTMLContent"},           {&json_spec, "JSONContent"},
        {&form_spec, "FormContent"}, {&multipart_spec, "MultiPartFormData"},
    };
    for (auto& s : specs) {
        Ref type = Ref::steal(bw::type_from_spec(module, s.spec, reinterpret_cast<PyObject*>(state.content_type)));
        if (!type || PyModule_AddObjectRef(module, s.name, type.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace bw::contents
