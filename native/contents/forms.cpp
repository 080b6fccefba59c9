// URL-encoded form parsing.
#include <Python.h>

#include "brindlewick/args.hpp"
#include "brindlewick/buffer.hpp"
#include "brindlewick/capi.hpp"
#include "brindlewick/pyref.hpp"
#include "contents.hpp"

namespace bw::contents {

namespace {

inline int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decodes one name or value ('+' is a space), then reads the bytes
// as UTF-8, replacing what is not valid, the way browsers submit forms.
PyObject* unquote_plus(const char* data, size_t length, Buffer& scratch) {
    // Decoding never lengthens the text: one reservation covers it.
    scratch.clear();
    if (!scratch.reserve(length)) return nullptr;
    char* w = scratch.data();
    for (size_t i = 0; i < length; i++) {
        char c = data[i];
        if (c == '+') {
            *w++ = ' ';
        } else if (c == '%' && i + 2 < length && hex_value(data[i + 1]) >= 0 &&
                   hex_value(data[i + 2]) >= 0) {
            *w++ = static_cast<char>(hex_value(data[i + 1]) * 16 + hex_value(data[i + 2]));
            i += 2;
        } else {
            *w++ = c;
        }
    }
    return PyUnicode_DecodeUTF8(scratch.data(), static_cast<Py_ssize_t>(w - scratch.data()), "replace");
}

int add_field(PyObject* result, PyObject* name, PyObject* value) {
    PyObject* existing = nullptr;
    if (PyDict_GetItemRef(result, name, &existing) < 0) return -1;
    Ref held = Ref::steal(existing);
    if (!existing) return PyDict_SetItem(result, name, value);
    if (PyList_CheckExact(existing)) return PyList_Append(existing, value);
    Ref pair = Ref::steal(PyList_New(2));
    if (!pair) return -1;
    PyList_SET_ITEM(pair.get(), 0, held.release());
    PyList_SET_ITEM(pair.get(), 1, Py_NewRef(value));
    return PyDict_SetItem(result, name, pair.get());
}

}  // namespace

PyObject* parse_www_form_urlencoded(PyObject* data) {
    const char* text;
    Py_ssize_t length;
    if (data == Py_None) return PyDict_New();  // no body: no fields
    if (PyUnicode_Check(data)) {
        text = PyUnicode_AsUTF8AndSize(data, &length);
        if (!text) return nullptr;
    } else if (PyBytes_Check(data)) {
        text = PyBytes_AS_STRING(data);
        length = PyBytes_GET_SIZE(data);
    } else {
        args::raise_arg_type("data", "str", data);
        return nullptr;
    }
    Ref result = Ref::steal(PyDict_New());
    if (!result) return nullptr;
    Buffer scratch;
    Py_ssize_t start = 0;
    while (start <= length) {
        Py_ssize_t end = start;
        // Fields are separated by '&' only: a ';' separator lets a cache and the
        // application disagree about the fields of the same query.
        while (end < length && text[end] != '&') end++;
        if (end > start) {
            Py_ssize_t eq = start;
            while (eq < end && text[eq] != '=') eq++;
            Ref name = Ref::steal(unquote_plus(text + start, static_cast<size_t>(eq - start), scratch));
            if (!name) return nullptr;
            Ref value = eq < end ? Ref::steal(unquote_plus(text + eq + 1, static_cast<size_t>(end - eq - 1), scratch))
                                 : Ref::steal(PyUnicode_FromStringAndSize("", 0));
            if (!value || add_field(result.get(), name.get(), value.get()) < 0) return nullptr;
        }
        start = end + 1;
    }
    return result.release();
}

namespace {

PyObject* py_parse_www_form_urlencoded(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data"};
    static args::Signature sig{"parse_www_form_urlencoded", names, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    return parse_www_form_urlencoded(a[0]);
}

PyMethodDef functions[] = {
    {"parse_www_form_urlencoded", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(py_parse_www_form_urlencoded)),
     METH_FASTCALL | METH_KEYWORDS,
     "parse_www_form_urlencoded(data: str) -> dict: fields of a URL-encoded form; a repeated name maps to a list."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int init_form_functions(PyObject* module) {
    if (PyModule_AddFunctions(module, functions) < 0) return -1;
    return capi::export_function(module, "parse_www_form_urlencoded", &parse_www_form_urlencoded,
                                 siblings::kParseWWWFormSig);
}

}  // namespace bw::contents
