// Header text between the two interfaces, in both directions: RSGI servers
// hand request headers over as str and take response headers as str, while
// messages hold bytes.
//
// Request side (extract_rsgi_headers): common names and values come from
// KNOWN_HEADERS and HEADER_VAL_BYTES as shared bytes objects; anything else
// is encoded as Latin-1, names interned by the core library, so that the
// list is final and the request takes it over without a copy.  Response side (header_text): the shared str of
// KNOWN_OUTBOUND_HEADER_NAME_STR, KNOWN_OUTBOUND_HEADER_VAL_STR or
// CT_STR_CACHE, else the UTF-8 text of the bytes, which the server encodes
// back into the very same bytes; bytes that are not UTF-8 are refused.
#include <Python.h>

#include <cstring>

#include "brindlewick/args.hpp"
#include "brindlewick/fast_parse.h"
#include "brindlewick/header_check.hpp"
#include "brindlewick/pyref.hpp"
#include "scribe_core.hpp"

namespace bw::scribe {

namespace {

// One header name or value as bytes: a str through `table`, then Latin-1;
// bytes unchanged; anything else as the Latin-1 encoding of str(obj).
PyObject* header_bytes(PyObject* obj, PyObject* table, bool* shared = nullptr) {
    if (PyUnicode_Check(obj)) {
        PyObject* hit = nullptr;
        if (PyDict_GetItemRef(table, obj, &hit) < 0) return nullptr;
        if (hit) {
            if (shared) *shared = true;
            if (BW_LIKELY(PyBytes_Check(hit))) return hit;
            Ref wrong = Ref::steal(hit);
            return args::raise_expected("bytes", wrong.get()), nullptr;
        }
        return PyUnicode_AsLatin1String(obj);
    }
    if (PyBytes_Check(obj)) return Py_NewRef(obj);
    Ref text = Ref::steal(PyObject_Str(obj));
    return text ? PyUnicode_AsLatin1String(text.get()) : nullptr;
}

// A request header name as bytes: the core library's shared object for a
// name it knows (what KNOWN_HEADERS holds too), so that the list is final
// and the request takes it over as it is.
PyObject* name_bytes_of(PyObject* name) {
    if (PyUnicode_CheckExact(name) && PyUnicode_IS_ASCII(name)) {
        const char* data = static_cast<const char*>(PyUnicode_DATA(name));
        Py_ssize_t size = PyUnicode_GET_LENGTH(name);
        PyObject* common = get_interned_header_name_bytes(data, size);
        return common ? Py_NewRef(common) : PyBytes_FromStringAndSize(data, size);
    }
    bool shared = false;
    Ref bytes = Ref::steal(header_bytes(name, state.known_headers, &shared));
    if (!bytes || shared || !PyBytes_CheckExact(bytes.get())) return bytes.release();
    PyObject* common = get_interned_header_name_bytes(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
    return common ? Py_NewRef(common) : bytes.release();
}

// A request header value as bytes: HEADER_VAL_BYTES's shared object for a
// common one, else its Latin-1 bytes.
PyObject* value_bytes_of(PyObject* value) {
    if (PyUnicode_CheckExact(value) && PyUnicode_IS_ASCII(value)) {
        const char* data = static_cast<const char*>(PyUnicode_DATA(value));
        Py_ssize_t size = PyUnicode_GET_LENGTH(value);
        for (const SharedText& shared : state.shared_values)
            if (shared.length == size && std::memcmp(shared.text, data, static_cast<size_t>(size)) == 0)
                return Py_NewRef(shared.bytes);
        return PyBytes_FromStringAndSize(data, size);
    }
    return header_bytes(value, state.header_val_bytes);
}

// Appends (name bytes, value bytes) for `pair` (held by the caller).
int append_pair(PyObject* list, PyObject* pair) {
    Ref name, value;
    if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) >= 2) {
        name = Ref::borrow(PyTuple_GET_ITEM(pair, 0));
        value = Ref::borrow(PyTuple_GET_ITEM(pair, 1));
    } else {
        name = Ref::steal(PySequence_GetItem(pair, 0));
        if (!name) return -1;
        value = Ref::steal(PySequence_GetItem(pair, 1));
        if (!value) return -1;
    }
    PyObject* name_bytes = name_bytes_of(name.get());
    if (!name_bytes) return -1;
    PyObject* entry = PyTuple_New(2);
    if (!entry) {
        Py_DECREF(name_bytes);
        return -1;
    }
    PyTuple_SET_ITEM(entry, 0, name_bytes);
    Ref held = Ref::steal(entry);
    PyObject* value_bytes = value_bytes_of(value.get());
    if (!value_bytes) return -1;
    PyTuple_SET_ITEM(entry, 1, value_bytes);
    return PyList_Append(list, entry);
}

}  // namespace

PyObject* extract_rsgi_headers(PyObject* raw_headers) {
    Ref source;
    if (PyList_Check(raw_headers) || PyTuple_Check(raw_headers) || raw_headers == Py_None) {
        source = Ref::borrow(raw_headers);
    } else {
        PyObject* items = nullptr;
        if (PyObject_GetOptionalAttr(raw_headers, state.str_items, &items) < 0) return nullptr;
        Ref held = Ref::steal(items);
        if (items && items != Py_None) {
            source = Ref::steal(PyObject_CallNoArgs(items));
            if (!source) return nullptr;
        } else {
            source = Ref::borrow(raw_headers);
        }
    }
    PyObject* src = source.get();
    if (src == Py_None) return PyList_New(0);
    bool sized = PyList_Check(src) || PyTuple_Check(src);
    // Room for every pair at once: appending them reallocates nothing.
    Ref result = Ref::steal(PyList_New(sized ? PySequence_Fast_GET_SIZE(src) : 0));
    if (!result) return nullptr;
    Py_SET_SIZE(result.get(), 0);
    if (sized) {
        // By index, the size read again on every turn: converting a pair may
        // run Python code (str(), a subclass's __hash__) that changes the list.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(src); i++) {
            Ref pair = Ref::borrow(PySequence_Fast_GET_ITEM(src, i));
            if (append_pair(result.get(), pair.get()) < 0) return nullptr;
        }
        return result.release();
    }
    Ref it = Ref::steal(PyObject_GetIter(src));
    if (!it) return nullptr;
    for (;;) {
        Ref pair = Ref::steal(PyIter_Next(it.get()));
        if (!pair) break;
        if (append_pair(result.get(), pair.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return result.release();
}

namespace {

// The text of a header name or value for RSGI: the table's shared str, else
// the UTF-8 text of the bytes (names are tokens, so ASCII).
PyObject* header_text(PyObject* bytes, PyObject* table, PyObject* name) {
    PyObject* hit = PyDict_GetItemWithError(table, bytes);  // borrowed; the tables never change
    if (hit) return Py_NewRef(hit);
    if (PyErr_Occurred()) return nullptr;
    PyObject* text = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes), nullptr);
    if (!text && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError,
                     "Invalid value for header %R: RSGI servers take header values as text, and these bytes "
                     "are not UTF-8",
                     name);
    }
    return text;
}

}  // namespace

PyObject* header_str_pair(PyObject* name, PyObject* name_table, PyObject* value, PyObject* value_table) {
    Ref name_text = Ref::steal(header_text(name, name_table, name));
    if (!name_text) return nullptr;
    Ref value_text = Ref::steal(header_text(value, value_table, name));
    if (!value_text) return nullptr;
    return PyTuple_Pack(2, name_text.get(), value_text.get());
}

PyObject* checked_str_pair(PyObject* name, PyObject* value) {
    // A name the table knows is a token already.
    Ref name_text = Ref::borrow(PyDict_GetItemWithError(state.outbound_name_str, name));
    if (!name_text) {
        if (PyErr_Occurred()) return nullptr;
        if (http::check_header(name, value) < 0) return nullptr;
        name_text = Ref::steal(PyUnicode_DecodeASCII(PyBytes_AS_STRING(name), PyBytes_GET_SIZE(name), nullptr));
        if (!name_text) return nullptr;
    } else if (!http::is_safe_value(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value))) {
        return http::check_header(name, value), nullptr;
    }
    PyObject* value_text = header_text(value, state.outbound_val_str, name);
    if (!value_text) return nullptr;
    PyObject* pair = PyTuple_New(2);
    if (!pair) {
        Py_DECREF(value_text);
        return nullptr;
    }
    PyTuple_SET_ITEM(pair, 0, name_text.release());
    PyTuple_SET_ITEM(pair, 1, value_text);
    return pair;
}

}  // namespace bw::scribe
