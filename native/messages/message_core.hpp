// Private declarations shared by the source units of the Message core.
#pragma once

#include <Python.h>

#include <cstring>

#include "brindlewick/overrides.hpp"
#include "messages.hpp"

namespace bw::messages {

// Overridable methods of Message, by bit position in the override table.
enum MessageSlot {
    kGetHeaders,
    kGetFirstHeader,
    kGetSingleHeader,
    kRemoveHeader,
    kHasHeader,
    kAddHeader,
    kSetHeader,
    kContentType,
    kWithContent,
    kHasBody,
    kDeclaresContentType,
    kDeclaresJson,
    kDeclaresXml,
    // Python-visible readers that other readers reach by attribute lookup:
    // tracked so that a message without overrides skips the lookup.
    kRead,
    kReadRaw,
    kMessageSlotCount
};

extern OverrideTable message_overrides;

// Header collection (header_ops.cpp).
PyObject* get_headers(MessageObject* self, PyObject* key, int skip_dispatch);
PyObject* get_first_header(MessageObject* self, PyObject* key, int skip_dispatch);
PyObject* get_single_header(MessageObject* self, PyObject* key, int skip_dispatch);
PyObject* remove_header(MessageObject* self, PyObject* key, int skip_dispatch);
int has_header_native(MessageObject* self, PyObject* key);
int has_header(MessageObject* self, PyObject* key, int skip_dispatch);
int add_header_native(MessageObject* self, PyObject* key, PyObject* value);
int add_header_if_missing(MessageObject* self, PyObject* key, PyObject* value);
PyObject* add_header(MessageObject* self, PyObject* key, PyObject* value, int skip_dispatch);
PyObject* set_header(MessageObject* self, PyObject* key, PyObject* value, int skip_dispatch);
int remove_headers(MessageObject* self, PyObject* headers);
PyObject* get_headers_tuples(MessageObject* self, PyObject* key);
extern PyMethodDef header_methods[];

// Content type and charset (content_type.cpp).
PyObject* content_type(MessageObject* self, int skip_dispatch);
int declares_content_type(MessageObject* self, PyObject* type, int skip_dispatch);
int declares_json(MessageObject* self, int skip_dispatch);
int declares_xml(MessageObject* self, int skip_dispatch);
PyObject* message_charset(MessageObject* self);
extern PyMethodDef content_type_methods[];

inline unsigned char ascii_lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

// Whether bytes `haystack` contains bytes `needle` (case-sensitive).
inline bool bytes_contain(PyObject* haystack, PyObject* needle) {
    Py_ssize_t n = PyBytes_GET_SIZE(needle), h = PyBytes_GET_SIZE(haystack);
    return n <= h && memmem(PyBytes_AS_STRING(haystack), static_cast<size_t>(h), PyBytes_AS_STRING(needle),
                            static_cast<size_t>(n)) != nullptr;
}

// The header entry (name, value) as a new tuple; make_header_entry interns
// the name first.
PyObject* header_entry(PyObject* name, PyObject* value);
PyObject* make_header_entry(PyObject* name, PyObject* value);

// aiter(obj.stream()): the chunk iterator of a body source or part.
PyObject* open_stream(PyObject* obj);

// Truth value of `content` the way `if content:` reads it.
inline int content_is_present(PyObject* content) {
    if (content == Py_None) return 0;
    return PyObject_IsTrue(content);
}

// Calls an override and converts its result to a truth value.
int call_override_bool(MessageObject* self, int slot, PyObject* const* args, size_t nargs);

}  // namespace bw::messages
