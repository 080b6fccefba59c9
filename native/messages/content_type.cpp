// Content type and charset of a message: the media type declared by its
// content, else by its content-type header, and the charset parameter.
#include <Python.h>

#include <cstring>
#include <string>

#include "brindlewick/args.hpp"
#include "brindlewick/pyref.hpp"
#include "message_core.hpp"

namespace bw::messages {

using siblings::ContentObject;

PyObject* content_type(MessageObject* self, int skip_dispatch) {
    if (!skip_dispatch && message_overrides.overridden(as_object(self), kContentType)) {
        Ref r = Ref::steal(message_overrides.call(as_object(self), kContentType, nullptr, 0));
        if (r && !args::expect_exact(r.get(), &PyBytes_Type)) return nullptr;
        return r.release();
    }
    int present = content_is_present(self->content);
    if (present < 0) return nullptr;
    if (present) {
        PyObject* type = reinterpret_cast<ContentObject*>(self->content)->type;
        if (PyBytes_CheckExact(type) && PyBytes_GET_SIZE(type) > 0) return Py_NewRef(type);
    }
    return self->vtab->get_first_header(self, state.content_type, 0);
}

namespace {

// Lowers `value` (bytes) into `out`.
void lowered(PyObject* value, std::string& out) {
    const char* data = PyBytes_AS_STRING(value);
    Py_ssize_t n = PyBytes_GET_SIZE(value);
    out.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; i++) {
        out[static_cast<size_t>(i)] = static_cast<char>(ascii_lower(static_cast<unsigned char>(data[i])));
    }
}

}  // namespace

int declares_content_type(MessageObject* self, PyObject* type, int skip_dispatch) {
    if (!skip_dispatch && message_overrides.overridden(as_object(self), kDeclaresContentType))
        return call_override_bool(self, kDeclaresContentType, &type, 1);
    Ref ct = Ref::steal(self->vtab->content_type(self, 0));
    if (!ct) return -1;
    if (ct.get() == Py_None || PyBytes_GET_SIZE(ct.get()) == 0) return 0;
    if (type == Py_None) {
        PyErr_SetString(PyExc_TypeError,
                        "descriptor 'lower' for 'bytes' objects doesn't apply to a 'NoneType' object");
        return -1;
    }
    if (!PyBytes_Check(type)) return args::raise_expected("bytes", type), -1;
    thread_local std::string haystack, needle;
    lowered(ct.get(), haystack);
    lowered(type, needle);
    return haystack.find(needle) != std::string::npos;
}

int declares_json(MessageObject* self, int skip_dispatch) {
    if (!skip_dispatch && message_overrides.overridden(as_object(self), kDeclaresJson))
        return call_override_bool(self, kDeclaresJson, nullptr, 0);
    return self->vtab->declares_content_type(self, state.json, 0);
}

int declares_xml(MessageObject* self, int skip_dispatch) {
    if (!skip_dispatch && message_overrides.overridden(as_object(self), kDeclaresXml))
        return call_override_bool(self, kDeclaresXml, nullptr, 0);
    return self->vtab->declares_content_type(self, state.xml, 0);
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
    return Py_NewRef(state.utf8);
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
