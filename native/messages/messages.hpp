// Interface of module brindlewick.messages for other native code (module
// scribe, and the message types' own source units): the object layouts and
// native operation tables of Message and of the types that extend it.
// Module-private state lives in module_state.hpp, private declarations of
// the message core in message_core.hpp.
#pragma once

#include <Python.h>

#include <cstddef>

#include "brindlewick/scratchpad.h"

namespace bw::messages {

struct MessageObject;

// Native operation table of Message, in slot order.  Entries that take
// `skip_dispatch` are overridable: called with 0 they reach a Python
// subclass's override; the Python-visible methods call them with 1.
// Object results are new references (null with an exception set); int
// results are 0/1 for false/true or success, -1 with an exception set.
//
// A native subtype extends the table by embedding it first, and its
// objects point `vtab` at the embedded base, so code written against
// Message calls through the same pointer:
//
//     struct RequestVTable {
//         MessageVTable base;          // a copy of message_vtable
//         int (*reset)(RequestObject* self, int skip_dispatch);
//         ...
//     };
//     static_assert(offsetof(RequestVTable, base) == 0);
//     // RequestVTable* of a Request: reinterpret_cast<RequestVTable*>(self->vtab)
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
    PyObject* (*with_content)(MessageObject* self, PyObject* content, int skip_dispatch);
    int (*has_body)(MessageObject* self, int skip_dispatch);
    int (*declares_content_type)(MessageObject* self, PyObject* type, int skip_dispatch);
    int (*declares_json)(MessageObject* self, int skip_dispatch);
    int (*declares_xml)(MessageObject* self, int skip_dispatch);
};

// Signature string of MessageVTable: its entries in slot order, each with its
// signature.  Message publishes its table under this name (`__pyx_vtable__`,
// see bw::capi::export_vtable); code in another module that calls through
// the table checks it with bw::capi::import_vtable when it loads.  Change it
// with the table.
#define BW_MSG "struct MessageObject *"
// The entries of MessageVTable, spelled once for the signature strings of
// Message and of its subtypes.
#define BW_MESSAGE_VTABLE_ENTRIES \
    "get_headers: PyObject *(" BW_MSG ", PyObject *, int); " \
    "get_first_header: PyObject *(" BW_MSG ", PyObject *, int); " \
    "get_single_header: PyObject *(" BW_MSG ", PyObject *, int); " \
    "remove_header: PyObject *(" BW_MSG ", PyObject *, int); " \
    "_has_header: int (" BW_MSG ", PyObject *); " \
    "has_header: int (" BW_MSG ", PyObject *, int); " \
    "_add_header: int (" BW_MSG ", PyObject *, PyObject *); " \
    "_add_header_if_missing: int (" BW_MSG ", PyObject *, PyObject *); " \
    "add_header: PyObject *(" BW_MSG ", PyObject *, PyObject *, int); " \
    "set_header: PyObject *(" BW_MSG ", PyObject *, PyObject *, int); " \
    "content_type: PyObject *(" BW_MSG ", int); " \
    "remove_headers: int (" BW_MSG ", PyObject *); " \
    "get_headers_tuples: PyObject *(" BW_MSG ", PyObject *); " \
    "with_content: PyObject *(" BW_MSG ", PyObject *, int); " \
    "has_body: int (" BW_MSG ", int); " \
    "declares_content_type: int (" BW_MSG ", PyObject *, int); " \
    "declares_json: int (" BW_MSG ", int); " \
    "declares_xml: int (" BW_MSG ", int)"
inline constexpr const char kMessageVTableSig[] = BW_MESSAGE_VTABLE_ENTRIES;
inline constexpr size_t kMessageVTableEntries = 18;
static_assert(sizeof(MessageVTable) == kMessageVTableEntries * sizeof(void*),
              "MessageVTable changed: update kMessageVTableSig and kMessageVTableEntries");

// Native subtypes derive from this struct (`struct RequestObject :
// MessageObject { ... }`), so their own fields follow Message's.
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
    // Most bytes a read of the body may take: whole-body reads (and the
    // fields of a multipart form), and stream(); -1 for no limit,
    // kDefaultBodyLimit for the default of brindlewick.settings.body.
    Py_ssize_t max_body_size;
    Py_ssize_t max_stream_size;
};

inline constexpr Py_ssize_t kDefaultBodyLimit = -2;

inline MessageObject* as_message(PyObject* op) { return reinterpret_cast<MessageObject*>(op); }
inline PyObject* as_object(MessageObject* m) { return reinterpret_cast<PyObject*>(m); }

// ---- Request ----------------------------------------------------------------

struct RequestObject;

// Operation table of Request: Message's entries, then its own.
// `expect_100_continue` and `reset` are overridable (`skip_dispatch` as
// above); `alloc_scratchpad` returns a block of the request's arena, or null
// without an exception when the arena cannot serve it.
struct RequestVTable {
    MessageVTable base;
    int (*expect_100_continue)(RequestObject* self, int skip_dispatch);
    int (*reset)(RequestObject* self, int skip_dispatch);
    void* (*alloc_scratchpad)(RequestObject* self, size_t size, size_t alignment);
};
static_assert(offsetof(RequestVTable, base) == 0, "a Request's table must start with Message's");
inline constexpr const char kRequestVTableSig[] =
    BW_MESSAGE_VTABLE_ENTRIES "; expect_100_continue: int (struct RequestObject *, int); "
    "reset: int (struct RequestObject *, int); alloc_scratchpad: void *(struct RequestObject *, size_t, size_t)";
static_assert(sizeof(RequestVTable) == (kMessageVTableEntries + 3) * sizeof(void*),
              "RequestVTable changed: update kRequestVTableSig");

struct RequestObject : MessageObject {
    PyObject* method;               // str or None
    PyObject* _url;                 // URL or None, built lazily
    PyObject* _path;                // bytes or None
    PyObject* _raw_query;           // bytes or None, without the "?"
    PyObject* route_values;         // any
    PyObject* scope;                // any: the server scope
    PyObject* _user;                // any
    PyObject* _di_scope;            // any
    PyObject* state;                // any
    PyObject* _session;             // any
    PyObject* _base_path;           // str or None: cache of base_path
    PyObject* _original_client_ip;  // str or None
    PyObject* _host;                // str or None: cache / override of host
    PyObject* _scheme;              // str or None: cache / override of scheme
    PyObject* _context;             // any
    PyObject* services;             // any
    PyObject* _is_disconnected;     // None, False or True
    // The connection record the server adapters fill (see IncomingRequest).
    PyObject* _decoded_path;        // str: the path as the server decoded it, or None
    PyObject* _client;              // (address str, port int) once read, or None
    int _scope_kind;                // ScopeKind of `scope`
    ScratchpadArena _arena;         // valid only while _arena_initialized
    int _arena_initialized;
    int _pooled;                    // 1 while the object sits in a thread's pool
};

inline RequestObject* as_request(PyObject* op) { return static_cast<RequestObject*>(as_message(op)); }
inline RequestVTable* request_vtab(RequestObject* r) { return reinterpret_cast<RequestVTable*>(r->vtab); }

// ---- Response ---------------------------------------------------------------

struct ResponseObject;

// Operation table of Response: Message's entries, then `is_redirect` and
// `reset`, both overridable.
struct ResponseVTable {
    MessageVTable base;
    int (*is_redirect)(ResponseObject* self, int skip_dispatch);
    int (*reset)(ResponseObject* self, int skip_dispatch);
};
static_assert(offsetof(ResponseVTable, base) == 0, "a Response's table must start with Message's");
inline constexpr const char kResponseVTableSig[] =
    BW_MESSAGE_VTABLE_ENTRIES "; is_redirect: int (struct ResponseObject *, int); reset: int (struct ResponseObject *, int)";
static_assert(sizeof(ResponseVTable) == (kMessageVTableEntries + 2) * sizeof(void*),
              "ResponseVTable changed: update kResponseVTableSig");

struct ResponseObject : MessageObject {
    int32_t status;
    int _pooled;         // 1 while the object sits in a thread's pool
    PyObject* state;     // any
    PyObject* _context;  // any
};

inline ResponseObject* as_response(PyObject* op) { return static_cast<ResponseObject*>(as_message(op)); }
inline ResponseVTable* response_vtab(ResponseObject* r) { return reinterpret_cast<ResponseVTable*>(r->vtab); }

// ---- native entry points published in the module's __pyx_capi__ -----------
// Object results are new references (null with an exception set); int
// results 0/1, or -1 with an exception set.

using EnsureBytesFn = PyObject* (*)(PyObject* value);
inline constexpr const char kEnsureBytesSig[] = "PyObject *(PyObject *)";
using MethodWithoutBodyFn = int (*)(PyObject* method);
inline constexpr const char kMethodWithoutBodySig[] = "int (PyObject *)";
using IsCorsRequestFn = int (*)(RequestObject* request);
inline constexpr const char kIsCorsRequestSig[] = "int (struct RequestObject *)";
using IsCorsPreflightRequestFn = int (*)(RequestObject* request);
inline constexpr const char kIsCorsPreflightRequestSig[] = "int (struct RequestObject *)";
using GetRequestAbsoluteURLFn = PyObject* (*)(RequestObject* request);
inline constexpr const char kGetRequestAbsoluteURLSig[] = "PyObject *(struct RequestObject *)";
using GetAbsoluteURLToPathFn = PyObject* (*)(RequestObject* request, PyObject* path);
inline constexpr const char kGetAbsoluteURLToPathSig[] = "PyObject *(struct RequestObject *, PyObject *)";

// What a server adapter knows of one request: its connection record.  The
// adapter is the only one that fills it; the Request properties read it
// (path, url, query, headers, host, scheme, base_path, client_ip,
// client_port, server) and go to `scope` only for what the record leaves
// there, through the one reader of each kind of scope.
enum ScopeKind : int {
    kScopeUnknown = 0,  // a request built by hand: a mapping with get(), else attributes
    kScopeASGI = 1,     // an ASGI scope: a mapping
    kScopeRSGI = 2,     // an RSGI scope: an object with attributes; client "address:port"
};

struct IncomingRequest {
    PyObject* method;        // str
    PyObject* path;          // bytes: the request path as the client sent it (percent-encoded)
    PyObject* decoded_path;  // str: the path percent-decoded by the server, or null
    PyObject* raw_query;     // bytes, without the "?"
    PyObject* headers;       // list of (bytes, bytes) tuples
    int headers_final;       // 1: `headers` is taken over as it is (the adapter built it);
                             // 0: it is copied (the server keeps its own list)
    PyObject* scope;         // the server's scope, kept as given
    int scope_kind;          // ScopeKind
};

// acquire_incoming(record) -> Request from the pool, its fields from the
// record; the body is left unbound (see bind_request_body).
using AcquireIncomingFn = RequestObject* (*)(const IncomingRequest* record);
inline constexpr const char kAcquireIncomingSig[] = "struct RequestObject *(const struct IncomingRequest *)";

// bind_request_body(request, channel, content_type): one rule for both
// interfaces.  A method without a body (method_without_body) gets no
// content object: the channel is kept in scope_protocol, and a reader that
// asks for the body anyway gets one then.  Any other method gets
// content_type(channel) (an ASGIContent or RSGIContent).  0, or -1.
using BindRequestBodyFn = int (*)(RequestObject* request, PyObject* channel, PyTypeObject* content_type);
inline constexpr const char kBindRequestBodySig[] = "int (struct RequestObject *, PyObject *, PyTypeObject *)";

// acquire_request(method, path, raw_query, headers, scope) -> Request
using AcquireRequestFn = RequestObject* (*)(PyObject* method, PyObject* path, PyObject* raw_query,
                                            PyObject* headers, PyObject* scope);
inline constexpr const char kAcquireRequestSig[] =
    "struct RequestObject *(PyObject *, PyObject *, PyObject *, PyObject *, PyObject *)";
// release_request(request): 0, or -1 with an exception set
using ReleaseRequestFn = int (*)(RequestObject* request);
inline constexpr const char kReleaseRequestSig[] = "int (struct RequestObject *)";
// acquire_response(status, headers, content) -> Response
using AcquireResponseFn = ResponseObject* (*)(int32_t status, PyObject* headers, PyObject* content);
inline constexpr const char kAcquireResponseSig[] = "struct ResponseObject *(int32_t, PyObject *, PyObject *)";
using ReleaseResponseFn = int (*)(ResponseObject* response);
inline constexpr const char kReleaseResponseSig[] = "int (struct ResponseObject *)";

}  // namespace bw::messages
