// Private declarations of module brindlewick.contents.
#pragma once

#include <Python.h>

#include "brindlewick/gc_fields.hpp"
#include "brindlewick/overrides.hpp"
#include "brindlewick/pyref.hpp"
#include "brindlewick/siblings.hpp"
#include "content_layout.hpp"

namespace bw::contents {

using siblings::ContentObject;
using siblings::ContentVTable;
using siblings::ServerSentEventObject;
using siblings::ServerSentEventVTable;

// ---- object layouts (each extends ContentObject after its fields) ----------

// StreamedContent: the body comes from `data_provider()`, an async iterable.
struct StreamedContentObject : ContentObject {
    PyObject* data_provider;  // callable
};

// Where a server-backed body stands.
enum BodyState : int {
    kBodyPending = 0,   // nothing received yet
    kBodyPartial = 1,   // a whole-body read was interrupted; `parts` holds what came
    kBodyComplete = 2,  // `body` holds the whole body
    kBodyStreamed = 3,  // chunks were handed out by stream() and not kept
    kBodyAborted = 4,   // the client went away
    kBodyDisposed = 5,
    kBodyTooLarge = 6,  // a read passed its limit; what came was dropped
};

// ASGIContent and RSGIContent: a body read from the server.
struct ServerContentObject : ContentObject {
    PyObject* source;  // ASGI receive callable or RSGI protocol; None once disposed
    PyObject* parts;   // list of bytes received by an interrupted read, or None
    int state;         // BodyState
    int busy;          // a read or stream is in progress
    // Set by the message before each read (limit_server_body), -1 for none:
    // the length the request declares and the most bytes the read may take.
    Py_ssize_t declared;
    Py_ssize_t limit;
};

// MultiPartFormData keeps the boundary it chose.
struct MultiPartObject : ContentObject {
    PyObject* boundary;  // bytes
};

struct FormPartObject {
    PyObject_HEAD
    PyObject* name;          // bytes
    PyObject* data;          // bytes-like or a binary file object
    PyObject* file_name;     // bytes or None
    PyObject* content_type;  // bytes or None
    PyObject* charset;       // bytes or None
    Py_ssize_t size;
};

struct FileBufferObject {
    PyObject_HEAD
    PyObject* file;          // binary file object, None once closed
    PyObject* name;          // bytes or None
    PyObject* file_name;     // bytes or None
    PyObject* content_type;  // bytes or None
    PyObject* charset;       // bytes or None
};

// ---- module state --------------------------------------------------------------

// Methods a Python subclass may override and native callers dispatch to.
inline constexpr const char* kContentOverridable[] = {"dispose"};
enum { kDispose = 0 };
inline constexpr const char* kEventOverridable[] = {"write_data"};
enum { kWriteData = 0 };

// Everything the module keeps between calls, in one place, filled once by
// the exec step (the module is executed once per process).
struct State {
    // Types.
    PyTypeObject* content_type;
    PyTypeObject* streamed_content_type;
    PyTypeObject* asgi_content_type;
    PyTypeObject* rsgi_content_type;
    PyTypeObject* form_part_type;
    PyTypeObject* server_sent_event_type;
    PyTypeObject* text_server_sent_event_type;
    PyTypeObject* ready_type;         // awaitable of a value at hand
    PyTypeObject* once_type;          // async iterator over one value
    PyTypeObject* empty_stream_type;  // data of a StreamedFormPart without a provider

    // Interned names and ASGI message texts.
    PyObject* str_type;
    PyObject* str_body;
    PyObject* str_more_body;
    PyObject* str_http_request;
    PyObject* str_http_disconnect;
    PyObject* str_read;
    PyObject* str_seek;
    PyObject* str_tell;
    PyObject* str_close;

    // Constants.
    PyObject* empty_bytes;
    PyObject* empty_str;
    PyObject* utf8_codec;        // "utf-8"
    PyObject* empty_view;        // memoryview of b""
    PyObject* text_plain;        // b"text/plain; charset=utf-8"
    PyObject* text_html;         // b"text/html; charset=utf-8"
    PyObject* application_json;  // b"application/json"
    PyObject* form_urlencoded;   // b"application/x-www-form-urlencoded"

    // Imported names.
    PyObject* MessageAborted;
    PyObject* InvalidOperation;
    PyObject* BadRequest;
    PyObject* PayloadTooLarge;
    PyObject* json_encode;  // msgspec.json.encode
    PyObject* urandom;      // os.urandom, where getrandom(2) is unavailable

    PyObject* restore_function;  // module function _restore_content (pickling)
    PyObject* charset_codecs;    // dict: charset label -> Python codec name

    // Which content and event classes override which method.
    OverrideTable content_overrides{kContentOverridable, 1};
    OverrideTable event_overrides{kEventOverridable, 1};
};
extern State state;

// A memoryview over `body` (borrowed; None gives an empty one).
PyObject* memoryview_of(PyObject* body);

// ---- awaitables and async iterators of values known at once -------------------

// An awaitable that completes at once with `value` (borrowed).
PyObject* ready(PyObject* value);
// An async iterator that yields `value` (borrowed) once, or nothing for None.
PyObject* yield_once(PyObject* value);

// ---- initialisation ---------------------------------------------------------

int init_state(PyObject* module);
int init_aio_types(PyObject* module);
int init_content_types(PyObject* module);
int init_payload_types(PyObject* module);
int init_server_contents(PyObject* module);
int init_form_types(PyObject* module);
int init_sse_types(PyObject* module);
int init_form_functions(PyObject* module);
int init_streamed_form_part(PyObject* module);
int init_charsets(PyObject* module);

PyObject* parse_www_form_urlencoded(PyObject* data);
PyObject* simplify_multipart_data(PyObject* data);
// The Python codec for a charset label a client named (charsets.cpp).
PyObject* charset_codec(PyObject* label);

// Shared by the content classes.
PyObject* content_new_common(PyTypeObject* type, ContentVTable* vtab);
// Garbage-collector slots of ContentObject; the classes that add object
// fields list them before these two.
using ContentFields = ObjectFields<ContentObject, &ContentObject::type, &ContentObject::body>;
// Dispose through the override of a Python subclass, when there is one; `0`
// means "no override, do the native work".
int dispose_override(ContentObject* self, int skip_dispatch, int* result);
// Records a native content class whose dispose needs no override check
// (the first few only; others are answered from the override cache).
int add_native_content_type(PyTypeObject* type);

}  // namespace bw::contents
