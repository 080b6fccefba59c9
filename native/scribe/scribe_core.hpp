// Private declarations of module brindlewick.scribe: the module's one state
// struct (filled once by the exec step in module.cpp) and what the source
// units publish to each other.
#pragma once

#include <Python.h>

#include "brindlewick/coro.hpp"
#include "brindlewick/pyref.hpp"
#include "brindlewick/siblings.hpp"
#include "contents/content_layout.hpp"
#include "messages.hpp"
#include "scribe.hpp"

namespace bw::scribe {

using messages::RequestObject;
using messages::ResponseObject;
using siblings::ContentObject;
using siblings::ServerSentEventObject;

// A content type found in STATIC_HEADERS_BY_CT_BYTES, with its list (both
// owned, so an address compared is never that of a freed object).
struct PrebuiltHit {
    PyObject* type;
    PyObject* list;
};

// A common request header value with its shared bytes (HEADER_VAL_BYTES).
struct SharedText {
    const char* text;
    Py_ssize_t length;
    PyObject* bytes;
};

// A content type object with the content-type value sent for it.
struct TypeHit {
    PyObject* type;
    PyObject* value;
};

// A content type known to have no `file_path` attribute on its instances.
struct NoFilePathEntry {
    PyTypeObject* type;
    unsigned int version;
};

struct State {
    PyObject* module_dict;  // borrowed: dictionary of the module

    // ---- bound from the sibling modules
    PyTypeObject* Response;
    PyTypeObject* Request;
    PyTypeObject* Content;
    PyTypeObject* StreamedContent;
    PyTypeObject* ASGIContent;
    PyTypeObject* RSGIContent;
    PyTypeObject* ServerSentEvent;
    PyTypeObject* Cookie;
    messages::AcquireRequestFn acquire_request;
    messages::AcquireIncomingFn acquire_incoming;
    messages::BindRequestBodyFn bind_request_body;
    messages::ReleaseRequestFn release_request;
    messages::ReleaseResponseFn release_response;
    siblings::WriteCookieFn write_cookie_for_response;
    siblings::ParseWWWFormFn parse_www_form_urlencoded;  // bound by the loading contract; unused here

    // ---- the constant tables (also module attributes, never changed)
    PyObject* known_headers;                   // KNOWN_HEADERS: str -> bytes
    PyObject* header_val_bytes;                // HEADER_VAL_BYTES: str -> bytes
    SharedText shared_values[10];              // the same, searched by text
    PyObject* empty_headers;                   // EMPTY_HEADERS
    PyObject* static_headers_by_ct;            // STATIC_HEADERS_BY_CT_BYTES: bytes -> list
    PyObject* outbound_name_str;               // KNOWN_OUTBOUND_HEADER_NAME_STR: bytes -> str
    PyObject* outbound_val_str;                // KNOWN_OUTBOUND_HEADER_VAL_STR: bytes -> str
    PyObject* ct_str_cache;                    // CT_STR_CACHE: bytes -> str

    // ---- header names and values (the core library's shared objects where it has them)
    PyObject* h_content_length;     // b"content-length"
    PyObject* h_content_type;       // b"content-type"
    PyObject* h_transfer_encoding;  // b"transfer-encoding"
    PyObject* v_zero;               // b"0"
    PyObject* v_chunked;            // b"chunked"
    PyObject* v_octet_stream;       // b"application/octet-stream"
    PyObject* s_content_type;       // "content-type"
    PyObject* empty_bytes;          // b""
    PyObject* empty_str;            // ""
    PyObject* chunk_terminator;     // b"0\r\n\r\n"

    // ---- ASGI message keys and values
    PyObject* k_type;
    PyObject* k_status;
    PyObject* k_headers;
    PyObject* k_body;
    PyObject* k_more_body;
    PyObject* t_start;  // "http.response.start"
    PyObject* t_body;   // "http.response.body"
    PyObject* start_template;       // {"type": t_start, "status": None, "headers": None}
    PyObject* body_template;        // {"type": t_body, "body": b"", "more_body": False}
    PyObject* body_template_plain;  // {"type": t_body, "body": b""}

    // ---- attribute and method names
    PyObject* str_get_parts;
    PyObject* str_stream;
    PyObject* str_get_chunks;
    PyObject* str_send_rsgi_stream;
    PyObject* str_items;
    PyObject* str_path;
    PyObject* str_raw_path;
    PyObject* str_query_string;
    PyObject* str_headers;
    PyObject* str_method;
    PyObject* str_proto;
    PyObject* str_file_path;
    PyObject* str_file_range;
    PyObject* str_response_empty;
    PyObject* str_response_bytes;
    PyObject* str_response_str;
    PyObject* str_response_file;
    PyObject* str_response_file_range;
    PyObject* str_response_file_partial;
    PyObject* str_response_stream;
    PyObject* str_send_bytes;
    PyObject* str_send_str;

    PyObject* str_client_disconnect;
    PyObject* str_complete;
    PyObject* str_aclose;
    PyObject* str_cancel;
    PyObject* str_uncancel;
    PyObject* str_cancelling;
    PyObject* str_create_task;

    // ---- bound from asyncio and brindlewick.exceptions
    PyObject* get_running_loop;  // asyncio._get_running_loop
    PyObject* current_task;      // asyncio.current_task
    PyObject* CancelledError;    // asyncio.CancelledError
    PyObject* MessageAborted;    // brindlewick.exceptions.MessageAborted

    // ---- caches of the RSGI writer (response_head.cpp, rsgi_writer.cpp)
    PrebuiltHit prebuilt_hits[4];
    unsigned prebuilt_next;
    TypeHit content_type_hits[4];
    unsigned content_type_next;
    NoFilePathEntry no_file_path[4];

    inquiry content_nb_bool;        // Content's own truth test (native, always true)

    PyTypeObject* ChunksType;       // iterator of get_chunks
    PyTypeObject* ClientWatchType;  // client_watch.cpp
    PyTypeObject* LoopTurnType;     // client_watch.cpp
};

extern State state;

// ---- shared helpers (module.cpp) ---------------------------------------------------

// `obj` is a Response (or subclass); None is refused.  TypeError naming `arg`.
bool check_response(PyObject* obj, const char* arg);

// obj.__aiter__() for an `async for` over `obj`, with the interpreter's
// messages for an object that is not asynchronously iterable.
PyObject* async_for_iter(PyObject* obj);

// ---- entry points of the source units ---------------------------------------------

// client_watch.cpp
// Listens for the client leaving while a body loop runs (see the file).  A
// local of the writer's coroutine body; inactive until start() found an
// asyncio task to watch for.
class ClientWatch {
public:
    // Starts listening on `channel`: an ASGI `receive` (asgi), or an RSGI
    // protocol that has client_disconnect().  0 (also when there is nothing
    // to listen with), -1 with an error set.
    int start(PyObject* channel, bool asgi);
    bool active() const;
    // The client left: send nothing more.
    bool gone() const;
    // Whether the writer is inside its body loop: the listener cancels the
    // writer's task only then.
    void streaming(bool inside);
    // After a failed await in the body loop: 1 when the failure is the
    // watch's own cancellation (then the error is cleared and gone() is
    // true), 0 when it is not (the error stays pending).
    int absorb();
    // Ends the listener; the pending error, if any, is kept.
    void stop();

private:
    coro::Root watch_;
};
// A watched body loop gives the event loop a turn after this many pieces,
// so that the listener runs even when neither the producer nor `send` waits.
inline constexpr unsigned kPiecesPerLoopTurn = 16;
// Whether an ASGI client may be listened to through `receive` while the
// response to `request` streams: only when the request body is not wanted
// any more (none declared, or read to its end), since the listener takes
// whatever message comes next.  Any failure of the check answers false.
bool may_listen_asgi(RequestObject* request);
// A new awaitable that gives the event loop one turn.
PyObject* loop_turn();
// For a body loop that stops early with an error pending: awaits
// `pieces.aclose()` when the iterator has one (the producer's `finally`
// blocks run now), then completes with null and that error pending (or the
// failure of aclose(), chained to it).
coro::Await abandon_pieces(PyObject* pieces);
// Sets MessageAborted for a client that left mid-body; returns null.
PyObject* raise_client_gone();
int init_client_watch(PyObject* module);

// response_head.cpp (the composition itself is declared in response_head.hpp)
int set_headers_for_response_content(ResponseObject* response);
extern PyMethodDef head_functions[];

// asgi_writer.cpp (send_asgi_response: response_head.hpp)
extern PyMethodDef asgi_functions[];
int init_asgi_writer(PyObject* module);

// header_text.cpp
// The scope's request headers as a new list of (bytes, bytes) pairs.
PyObject* extract_rsgi_headers(PyObject* raw_headers);
// (str, str) for a response header of exact bytes `name` and `value`, each
// through its table of shared str, else as UTF-8 text (ValueError naming
// the header when the value is not UTF-8).
PyObject* header_str_pair(PyObject* name, PyObject* name_table, PyObject* value, PyObject* value_table);
// The same for an application's header, checked first (an HTTP token name,
// no CR, LF or NUL: ValueError otherwise).
PyObject* checked_str_pair(PyObject* name, PyObject* value);

// rsgi_adapter.cpp
RequestObject* instantiate_rsgi_request(PyObject* scope, PyObject* protocol);
// The request body bound by the one rule of both interfaces
// (bind_request_body of the messages module: none for a method without a
// body, else `type(channel)`); returns `request`, or null with the error
// after the request went back to its pool.
RequestObject* bind_body(RequestObject* request, PyObject* channel, PyTypeObject* type);
// The path as a request target carries it: the UTF-8 bytes of a decoded
// path, percent-encoded where a target cannot hold a byte as it is.
PyObject* path_as_sent(PyObject* decoded);
extern PyMethodDef rsgi_adapter_functions[];

// exchanges.cpp
int init_exchanges(PyObject* module);
// rsgi_writer.cpp
// send_rsgi_response_sync(response, protocol): None once handed over, or the
// coroutine streaming the body.
PyObject* send_rsgi_response_sync(ResponseObject* response, PyObject* protocol);
extern PyMethodDef rsgi_writer_functions[];

// sse.cpp
PyObject* write_sse(ServerSentEventObject* event);
extern PyMethodDef sse_functions[];

}  // namespace bw::scribe
