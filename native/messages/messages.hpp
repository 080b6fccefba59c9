// Interface of module brindlewick.messages: the object layouts and native
// operation tables of Message (and, extending them, Request and Response),
// shared by every source unit of the module and by module scribe.
#pragma once

#include <Python.h>

#include "brindlewick/siblings.hpp"

namespace bw::messages {

struct MessageObject;

// Native operation table of Message, in slot order.  Entries that take
// `skip_dispatch` are overridable: called with 0 they reach a Python
// subclass's override; the Python-visible methods call them with 1.
// Object results are new references (null with an exception set); int
// results are 0/1 for false/true or success, -1 with an exception set.
struct MessageVTable {
    PyObject* (*get_headers)(MessageObject* self, PyObject* key, int skip_dispatch);
    PyObject* (*get_first_header)(MessageObject* self, PyObject* key, int skip_dispatch);
    PyObject* (*get_single_header)(MessageObject* self, PyObject* key, int skip_dispatch);
    PyObject* (*remove_header)(MessageObject* self, PyObject* key, int skip_dispatch);
    int (*_has_header)(MessageObject* self, PyObject* key);
    int (*has_header)(MessageObject* self, PyObject* key, int skip_dispatch);
    int (*_add_header)(MessageObject* self, PyObject* key, PyObject* value);
    int (*_add_header_if_missing)(MessageObject* self, PyObject* key, PyObject* value);
    PyObject* (*add_header)(MessageObject* self, PyObject* key, PyObject* value, int skip_dispatch);
    PyObject* (*set_header)(MessageObject* self, PyObject* key, PyObject* value, int skip_dispatch);
    PyObject* (*content_type)(MessageObject* self, int skip_dispatch);
    int (*remove_headers)(MessageObject* self, PyObject* headers);
    PyObject* (*get_headers_tuples)(MessageObject* self, PyObject* key);
    int (*init_prop)(MessageObject* self, PyObject* name, PyObject* value);
    PyObject* (*with_content)(MessageObject* self, PyObject* content, int skip_dispatch);
    int (*has_body)(MessageObject* self, int skip_dispatch);
    int (*declares_content_type)(MessageObject* self, PyObject* type, int skip_dispatch);
    int (*declares_json)(MessageObject* self, int skip_dispatch);
    int (*declares_xml)(MessageObject* self, int skip_dispatch);
};

struct MessageObject {
    PyObject_HEAD
    MessageVTable* vtab;
    PyObject* _raw_headers;    // list of (bytes, bytes) tuples, or None
    PyObject* _headers;        // Headers view, or None until first built
    PyObject* content;         // Content, or None
    PyObject* scope_protocol;  // any
    PyObject* _form_data;      // any
    PyObject* context;         // any
    PyObject* weakreflist;
};

inline MessageObject* as_message(PyObject* op) { return reinterpret_cast<MessageObject*>(op); }
inline PyObject* as_object(MessageObject* m) { return reinterpret_cast<PyObject*>(m); }

// Returns `name` itself or the core library's shared object of the same
// value (new reference either way); None passes through.
PyObject* intern_header_name_bytes(PyObject* name);

// ---- module state -----------------------------------------------------
// The module loads once per process (one interpreter), so its state is
// plain static storage, filled by the module's exec step.

extern PyTypeObject* MessageType;
extern MessageVTable message_vtable;

// Names bound from the sibling modules.
struct Bindings {
    PyTypeObject* Content;
    PyTypeObject* Headers;
    PyTypeObject* URL;
    PyTypeObject* Cookie;
    PyTypeObject* RSGIContent;
    PyTypeObject* ASGIContent;
    siblings::ParseWWWFormFn parse_www_form_urlencoded;
    siblings::ParseCookieFn parse_cookie;
    siblings::WriteCookieFn write_cookie_for_response;
    siblings::DatetimeToCookieFormatFn datetime_to_cookie_format;
    siblings::SplitValueFn split_value;
    siblings::BuildAbsoluteURLFn build_absolute_url;
    // Python-level names imported by the module body.
    PyObject* Session;
    PyObject* encodings_settings;
    PyObject* json_settings;
    PyObject* utcnow;
    PyObject* Identity;
    // Exceptions of brindlewick.exceptions.
    PyObject* BadRequest;
    PyObject* BadRequestFormat;
    PyObject* MessageAborted;
    PyObject* InvalidArgument;
    PyObject* InvalidOperation;
    PyObject* FailedRequestError;
    PyObject* PickleError;
    // Body decoding and the disconnection probe.
    PyObject* msgspec_json_decode;
    PyObject* msgspec_DecodeError;
    PyObject* JSONDecodeError;
    PyObject* asyncio_create_task;
    PyObject* asyncio_get_event_loop;
    PyObject* CancelledError;
};
extern Bindings bound;

// Interned strings and constants created at module init.
struct Constants {
    PyObject* content_type;    // b"content-type" (the core library's shared object)
    PyObject* json;            // b"json"
    PyObject* xml;             // b"xml"
    PyObject* utf8;            // "utf8"
    PyObject* empty_bytes;     // b""
    PyObject* str_lower;       // "lower"
    PyObject* str_body_buffer; // "body_buffer"
    PyObject* str_search;      // "search"
    PyObject* str_charset_rx;  // "_charset_rx"
    PyObject* str_dict;        // "__dict__"
    PyObject* str_update;      // "update"
    PyObject* str_new;         // "__new__"
    PyObject* charset_rx;      // the compiled pattern the module installed
    // Method and attribute names used by the body readers.
    PyObject* str_read;
    PyObject* str_read_raw;
    PyObject* str_read_buffer;
    PyObject* str_stream;
    PyObject* str_charset;
    PyObject* str_decode;
    PyObject* str_encode;
    PyObject* str_data;        // "_data"
    PyObject* str_body;
    PyObject* str_content;
    PyObject* str_cancel;
    PyObject* str_call_soon;
    PyObject* str_has_custom_loads;
    PyObject* str_loads;
    PyObject* str_name;
    PyObject* str_file_name;
    PyObject* str_content_type;
    PyObject* str_write;
    PyObject* str_seek;
    PyObject* str_items;
    PyObject* zero;            // 0
    PyObject* str_text;
    PyObject* str_form;
    PyObject* str_multipart;
    PyObject* str_multipart_stream;
    PyObject* utf8_codec;      // "utf8" for str.encode
    PyObject* empty_str;
    PyObject* form_urlencoded;  // b"application/x-www-form-urlencoded"
    PyObject* form_multipart;   // b"multipart/form-data;"
    PyObject* spool_max_size;   // 1048576
};
extern Constants constants;
extern PyObject* module_dict;  // borrowed: dictionary of the module

// parse_charset(value: bytes) -> str | None, using the module's _charset_rx.
PyObject* parse_charset(PyObject* value);

// Source units of the module.
int init_message_type(PyObject* module);

// Python-visible methods and module functions of the body readers
// (body_intake.cpp) and form parsing (body_forms.cpp), added to Message.
extern PyMethodDef body_methods[];
extern PyMethodDef body_functions[];
extern PyMethodDef form_methods[];
extern PyMethodDef form_functions[];

}  // namespace bw::messages
