// Content type and charset of a message: the media type declared by its
// content, else by its content-type header, and the charset parameter.
// declares_content_type() (and so declares_json(), declares_xml()) looks at
// the media type only, the part before the first ';'.
#include <Python.h>


#include "brindlewick/args.hpp"
#include "brindlewick/pyref.hpp"
#include "message_core.hpp"
#include "errors.hpp"

namespace bw::messages {

using siblings::ContentObject;

PyObject* content_type(MessageObject* self, int skip_dispatch) {
    if (!skip_dispatch && message_overrides.overridden(as_object(self), kContentType)) {
        Ref r = Ref::steal(message_overrides.call(as_object(self), kContentType, nullptr, 0));
        if (r && !args::expect_exact(r.get(), &PyBytes_Type)) return nullptr;
        return r.release();
    }
    Ref hold;
    PyObject* content;
    int present = test_content(self, hold, content);
    if (present < 0) return nullptr;
    if (present) {
        PyObject* type = reinterpret_cast<ContentObject*>(content)->type;
        if (PyBytes_CheckExact(type) && PyBytes_GET_SIZE(type) > 0) return Py_NewRef(type);
    }
    return self->vtab->get_first_header(self, state.h_content_type, 0);
}

namespace {

// Whether `needle` occurs in `haystack`, both compared ASCII-lowered, in
// place: no lowered copies are made.
bool contains_lowered(const unsigned char* haystack, Py_ssize_t h, const unsigned char* needle, Py_ssize_t n) {
    if (n == 0) return true;
    const unsigned char first = ascii_lower(needle[0]);
    for (Py_ssize_t i = 0; i + n <= h; i++) {
        if (ascii_lower(haystack[i]) != first) continue;
        Py_ssize_t k = 1;
        while (k < n && ascii_lower(haystack[i + k]) == ascii_lower(needle[k])) k++;
        if (k == n) return true;
    }
    return false;
}

inline const unsigned char* bytes_data(PyObject* b) {
    return reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(b));
}

}  // namespace

int declares_content_type(MessageObject* self, PyObject* type, int skip_dispatch) {
    if (!skip_dispatch && message_overrides.overridden(as_object(self), kDeclaresContentType))
        return call_override_bool(self, kDeclaresContentType, &type, 1);
    Ref ct = Ref::steal(self->vtab->content_type(self, 0));
    if (!ct) return -1;
    if (ct.get() == Py_None || PyBytes_GET_SIZE(ct.get()) == 0) return 0;
    if (type == Py_None) return errors::none_not_bytes_for_lower();
    if (!PyBytes_Check(type)) return args::raise_expected("bytes", type), -1;
    // The media type only: "text/plain; charset=json" declares no JSON (a
    // type a browser sends without a CORS preflight must not pass for one).
    std::string_view media = media_type(ct.get());
    return contains_lowered(reinterpret_cast<const unsigned char*>(media.data()), static_cast<Py_ssize_t>(media.size()),
                            bytes_data(type), PyBytes_GET_SIZE(type));
}

int declares_json(MessageObject* self, int skip_dispatch) {
    if (!skip_dispatch && message_overrides.overridden(as_object(self), kDeclaresJson))
        return call_override_bool(self, kDeclaresJson, nullptr, 0);
    return self->vtab->declares_content_type(self, state.b_json, 0);
}

int declares_xml(MessageObject* self, int skip_dispatch) {
    if (!skip_dispatch && message_overrides.overridden(as_object(self), kDeclaresXml))
        return call_override_bool(self, kDeclaresXml, nullptr, 0);
    return self->vtab->declares_content_type(self, state.b_xml, 0);
}

PyObject* message_charset(MessageObject* self) {
    Ref ct = Ref::steal(self->vtab->content_type(self, 0));
    if (!ct) return nullptr;
    if (ct.get() != Py_None && PyBytes_GET_SIZE(ct.get()) > 0) {
        Ref cs = Ref::steal(parse_charset(ct.get()));
        if (!cs) return nullptr;
        int truthy = PyObject_IsTrue(cs.get());
        if (truthy < 0) return nullptr;
        if (truthy) return cs.release();
    }
    return Py_NewRef(state.str_utf8);
}

namespace {

PyObject* py_content_type(PyObject* self, PyObject*) { return content_type(as_message(self), 1); }

PyObject* py_declares_content_type(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"type"};
    static args::Signature sig{"declares_content_type", names, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    if (!args::exact(a[0], &PyBytes_Type, "type")) return nullptr;
    int r = declares_content_type(as_message(self), a[0], 1);
    return r < 0 ? nullptr : bool_ref(r);
}

PyObject* py_declares_json(PyObject* self, PyObject*) {
    int r = declares_json(as_message(self), 1);
    return r < 0 ? nullptr : bool_ref(r);
}

PyObject* py_declares_xml(PyObject* self, PyObject*) {
    int r = declares_xml(as_message(self), 1);
    return r < 0 ? nullptr : bool_ref(r);
}

}  // namespace

PyMethodDef content_type_methods[] = {
    {"content_type", py_content_type, METH_NOARGS,
     "content_type() -> bytes | None: the media type of the content, else of the content-type header."},
    {"declares_content_type", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(py_declares_content_type)),
     METH_FASTCALL | METH_KEYWORDS,
     "declares_content_type(type: bytes) -> bool: whether the content type contains type, in any letter case."},
    {"declares_json", py_declares_json, METH_NOARGS, "declares_json() -> bool"},
    {"declares_xml", py_declares_xml, METH_NOARGS, "declares_xml() -> bool"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace bw::messages
