// Private declarations shared by the source units of the Message core.
#pragma once

#include <Python.h>

#include <cstring>
#include <initializer_list>
#include <string_view>

#include "brindlewick/gc_fields.hpp"
#include "brindlewick/overrides.hpp"
#include "brindlewick/pyref.hpp"
#include "messages.hpp"
#include "module_state.hpp"

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

// ---- extension points for the native subtypes of Message ------------------

// Allocates an instance of `type` (Message or a subtype) with the Message
// fields at their initial values and `vtab` as its operation table; the
// subtype's own fields are zeroed by tp_alloc and are the caller's to set.
PyObject* message_alloc(PyTypeObject* type, MessageVTable* vtab);

// The header list of a new message from the caller's `headers` (an exact
// list, or None for an empty one), always a new list: items that are tuples
// of two whose name is bytes get the interned name; anything else is kept
// as it is; a name of a bytes subclass raises TypeError.
PyObject* build_raw_headers(PyObject* headers);

// Collector slots of Message and its subtypes from one field list: a subtype
// lists its own object fields after Message's,
//     using RequestFields = MessageFieldsOf<RequestObject, &RequestObject::method, ...>;
// and uses RequestFields::traverse / clear / dealloc as its slots.
// Clearing stores None (see NoneClearingFields).
template <class T, auto... Extra>
using MessageFieldsOf =
    NoneClearingFields<T, &T::weakreflist, &T::_raw_headers, &T::_headers, &T::content, &T::scope_protocol,
                        &T::_form_data, &T::context, Extra...>;

// The non-empty __dict__ of an instance of a Python subclass into `out`
// (left null when there is none or it is empty); -1 with the lookup's
// error.  Shared by the pickling of Message and Response.
int instance_dict(PyObject* op, Ref& out);

// Pickling shared by Message and Response: `instance.__dict__.update(items)`
// when the instance has a dictionary; and the `_unpickle_*` function body:
// checks the checksum against `accepted` (the mismatch message lists
// `field_names`), creates `base.__new__(a[0])` and applies `set_state` to
// the state a[2] unless it is None.  a = (type, checksum, state).
int update_instance_dict(PyObject* op, PyObject* items);
PyObject* unpickle_into(PyTypeObject* base, const long (&accepted)[3], const char* field_names,
                        int (*set_state)(PyObject*, PyObject*), PyObject* const (&a)[3]);

// Creates the native subtype of Message described by `spec`, stores it in
// `*slot`, registers it with Message's override table and publishes its
// operation table under `vtable_sig`; the type (borrowed from `*slot`), or
// null with an exception set.
PyTypeObject* create_message_subtype(PyObject* module, PyType_Spec* spec, PyTypeObject** slot, void* vtable,
                                     const char* vtable_sig);

// Fills `out` with the entries of `tables` followed by the sentinel; -1 with
// SystemError when they do not fit.  Types assemble their method tables
// from the tables of their source units this way.
constexpr size_t kMaxTypeMethods = 96;
inline int concat_methods(PyMethodDef (&out)[kMaxTypeMethods], std::initializer_list<PyMethodDef*> tables) {
    size_t n = 0;
    for (PyMethodDef* table : tables)
        for (PyMethodDef* m = table; m->ml_name; m++) {
            if (n + 1 >= kMaxTypeMethods) {
                PyErr_SetString(PyExc_SystemError, "method table of a message type is full");
                return -1;
            }
            out[n++] = *m;
        }
    out[n] = PyMethodDef{nullptr, nullptr, 0, nullptr};
    return 0;
}

// Returns `name` itself or the core library's shared object of the same
// value (new reference either way); None passes through.
PyObject* intern_header_name_bytes(PyObject* name);

// parse_charset(value: bytes) -> str | None, using the module's _charset_rx.
PyObject* parse_charset(PyObject* value);

// Creates the type Message and adds it to the module (message.cpp).
int init_message_type(PyObject* module);

// Python-visible methods and module functions of the body readers
// (body_intake.cpp) and form parsing (body_forms.cpp), added to Message.
extern PyMethodDef body_methods[];
extern PyMethodDef body_functions[];
extern PyMethodDef form_methods[];
extern PyMethodDef form_functions[];

// Body size limits (body_limits.cpp).
// Reads the defaults from body_settings into the module state; 0 or -1.
int read_body_settings();
// Sets a message's two limits to the defaults.
void set_default_limits(MessageObject* self);
// The length the content-length header declares: -1 when there is none or
// it is not a number, -2 with an error set.
Py_ssize_t declared_length(MessageObject* self);
// The limits a read applies now (-1: none).
inline Py_ssize_t body_limit(const MessageObject* self) {
    return self->max_body_size == kDefaultBodyLimit ? state.default_max_body_size : self->max_body_size;
}
inline Py_ssize_t stream_limit(const MessageObject* self) {
    return self->max_stream_size == kDefaultBodyLimit ? state.default_max_stream_size : self->max_stream_size;
}
// Before a read from `content` with `limit` (-1: none): an ASGIContent or
// RSGIContent is told the declared length and the limit, and refuses with
// PayloadTooLarge when the declared length is past it.  0, or -1.
int limit_read(MessageObject* self, PyObject* content, Py_ssize_t limit);
// PayloadTooLarge for the non-file fields of a multipart form.
void raise_fields_too_large(Py_ssize_t limit);
PyObject* get_max_body_size(PyObject* op, void*);
int set_max_body_size(PyObject* op, PyObject* value, void*);
PyObject* get_max_stream_size(PyObject* op, void*);
int set_max_stream_size(PyObject* op, PyObject* value, void*);
extern PyMethodDef body_limit_functions[];

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

// The media type of a content-type value: the part before the first ';',
// without surrounding spaces and tabs.
inline std::string_view media_type(PyObject* ct) {
    std::string_view v(PyBytes_AS_STRING(ct), static_cast<size_t>(PyBytes_GET_SIZE(ct)));
    v = v.substr(0, v.find(';'));
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
    return v;
}

// Whether `v` equals the lower-case ASCII text `lower`, in any letter case.
inline bool equals_lowered(std::string_view v, std::string_view lower) {
    if (v.size() != lower.size()) return false;
    for (size_t i = 0; i < v.size(); i++)
        if (ascii_lower(static_cast<unsigned char>(v[i])) != static_cast<unsigned char>(lower[i])) return false;
    return true;
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

// The message's content, tested the way `if content:` reads it: 1 with the
// tested object in `out`, 0 when it is None or false, -1 on error.  A
// content's __bool__ is Python code that may replace `self.content` or drop
// the last reference to the very object being tested, so callers go on with
// the object in `out` and never re-read the field after the test.
inline int held_content(MessageObject* self, Ref& out) {
    if (self->content == Py_None) return 0;
    out = Ref::borrow(self->content);
    return PyObject_IsTrue(out.get());
}

// The same test for callers that read only the content's native fields
// after it (no calls out): `obj` is the tested content, borrowed.  The
// truth test of the content classes is native and constant, runs no Python
// code and needs no reference; any other (a Python subclass's __bool__) is
// made with `hold` owning the object.
inline int test_content(MessageObject* self, Ref& hold, PyObject*& obj) {
    obj = self->content;
    if (obj == Py_None) return 0;
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (BW_LIKELY(number && number->nb_bool == state.content_nb_bool)) return number->nb_bool(obj);
    hold = Ref::borrow(obj);
    return PyObject_IsTrue(obj);
}


// Calls an override and converts its result to a truth value.
int call_override_bool(MessageObject* self, int slot, PyObject* const* args, size_t nargs);

}  // namespace bw::messages
