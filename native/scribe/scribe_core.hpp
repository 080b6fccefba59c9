// Private declarations of module brindlewick.scribe: the module's one state
// struct (filled once by the exec step in module.cpp, with the module's
// caches) and what the source units publish to each other.
#pragma once

#include <Python.h>

#include "brindlewick/coro.hpp"
#include "brindlewick/pyref.hpp"
#include "brindlewick/siblings.hpp"
#include "brindlewick/state_fields.hpp"
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

// Everything the module interns and binds, declared once: the fields of
// State, their filling when the module loads (fill_state, in list order)
// and their release (clear_state) are generated from this list (see
// brindlewick/state_fields.hpp for the kinds).
//
// Names: the prefix says what a field holds, the rest is its text.
//   str_<text>  an interned str looked up or called by name (characters a
//               name cannot hold are `_`)
//   k_<key>     a key of the ASGI messages and scopes; t_<...> the "type"
//               values of the messages sent ("http.response.start")
//   s_<name>    a header name as str
//   h_<name>    a header name as bytes, lower case (the core library's
//               shared object)
//   v_<text>    a header value as bytes
// Other constants are named by their use (empty_str, chunk_terminator).
#define BW_SCRIBE_STATE(X)                                                                                  \
    /* Entry points of messages and cookies. */                                                              \
    X(function, acquire_incoming, messages::AcquireIncomingFn, "brindlewick.messages", "acquire_incoming",     \
      messages::kAcquireIncomingSig)                                                                          \
    X(function, bind_request_body, messages::BindRequestBodyFn, "brindlewick.messages", "bind_request_body",   \
      messages::kBindRequestBodySig)                                                                          \
    X(function, release_request, messages::ReleaseRequestFn, "brindlewick.messages", "release_request",        \
      messages::kReleaseRequestSig)                                                                           \
    X(function, release_response, messages::ReleaseResponseFn, "brindlewick.messages", "release_response",     \
      messages::kReleaseResponseSig)                                                                          \
    X(function, write_cookie_for_response, siblings::WriteCookieFn, "brindlewick.cookies",                     \
      "write_cookie_for_response", siblings::kWriteCookieSig)                                                 \
    /* Bound for the loading contract only (the module does not load without them); nothing reads them. */ \
    X(function, acquire_request, messages::AcquireRequestFn, "brindlewick.messages", "acquire_request",        \
      messages::kAcquireRequestSig)                                                                           \
    X(function, parse_www_form_urlencoded, siblings::ParseWWWFormFn, "brindlewick.contents",                   \
      "parse_www_form_urlencoded", siblings::kParseWWWFormSig)                                                \
    X(type, Request, "brindlewick.messages", "Request", sizeof(RequestObject))                                \
    /* Sibling classes, their layouts checked. */                                                            \
    X(type, Response, "brindlewick.messages", "Response", sizeof(ResponseObject))                             \
    X(type, Content, "brindlewick.contents", "Content", sizeof(ContentObject))                                \
    X(type, StreamedContent, "brindlewick.contents", "StreamedContent", sizeof(ContentObject))                \
    X(type, ASGIContent, "brindlewick.contents", "ASGIContent", sizeof(ContentObject))                        \
    X(type, RSGIContent, "brindlewick.contents", "RSGIContent", sizeof(ContentObject))                        \
    X(type, ServerSentEvent, "brindlewick.contents", "ServerSentEvent", sizeof(ServerSentEventObject))         \
    X(type, Cookie, "brindlewick.cookies", "Cookie", 0)                                                       \
    /* The event loop, the writer's task and the client that left. */                                        \
    X(attr, get_running_loop, "asyncio", "_get_running_loop")                                                 \
    X(attr, current_task, "asyncio", "current_task")                                                          \
    X(attr, CancelledError, "asyncio", "CancelledError")                                                      \
    X(attr, MessageAborted, "brindlewick.exceptions", "MessageAborted")                                       \
    X(str, str_complete, "complete")                                                                          \
    X(str, str_aclose, "aclose")                                                                              \
    X(str, str_cancel, "cancel")                                                                              \
    X(str, str_uncancel, "uncancel")                                                                          \
    X(str, str_cancelling, "cancelling")                                                                      \
    X(str, str_create_task, "create_task")                                                                    \
    X(str, str_client_disconnect, "client_disconnect")                                                        \
    /* ASGI messages: their keys and the types of those sent. */                                             \
    X(str, k_type, "type")                                                                                    \
    X(str, k_status, "status")                                                                                \
    X(str, k_headers, "headers")                                                                              \
    X(str, k_body, "body")                                                                                    \
    X(str, k_more_body, "more_body")                                                                          \
    X(str, t_start, "http.response.start")                                                                    \
    X(str, t_body, "http.response.body")                                                                      \
    /* Names read from scopes (k_type, k_headers too). */                                                    \
    X(str, str_path, "path")                                                                                  \
    X(str, str_raw_path, "raw_path")                                                                          \
    X(str, str_query_string, "query_string")                                                                  \
    X(str, str_method, "method")                                                                              \
    X(str, str_proto, "proto")                                                                                \
    /* Contents: their bodies, files and pieces. */                                                          \
    X(str, str_get_parts, "get_parts")                                                                        \
    X(str, str_stream, "stream")                                                                              \
    X(str, str_get_chunks, "get_chunks")                                                                      \
    X(str, str_items, "items")                                                                                \
    X(str, str_file_path, "file_path")                                                                        \
    X(str, str_file_range, "file_range")                                                                      \
    /* Calls of the RSGI protocol and its stream transport. */                                               \
    X(str, str_response_empty, "response_empty")                                                              \
    X(str, str_response_bytes, "response_bytes")                                                              \
    X(str, str_response_str, "response_str")                                                                  \
    X(str, str_response_file, "response_file")                                                                \
    X(str, str_response_file_range, "response_file_range")                                                    \
    X(str, str_response_file_partial, "response_file_partial")                                                \
    X(str, str_response_stream, "response_stream")                                                            \
    X(str, str_send_bytes, "send_bytes")                                                                      \
    X(str, str_send_str, "send_str")                                                                          \
    /* Header names and values of response heads. */                                                         \
    X(str, s_content_type, "content-type")                                                                    \
    X(header, h_content_length, "content-length")                                                             \
    X(header, h_content_type, "content-type")                                                                 \
    X(header, h_transfer_encoding, "transfer-encoding")                                                       \
    X(bytes, v_zero, "0")                                                                                     \
    X(bytes, v_chunked, "chunked")                                                                            \
    X(content_type, v_octet_stream, "application/octet-stream")                                               \
    X(bytes, chunk_terminator, "0\r\n\r\n")                                                                   \
    X(bytes, empty_bytes, "")                                                                                 \
    X(str, empty_str, "")

struct State {
    BW_SCRIBE_STATE(BW_STATE_FIELD)

    // ---- made when the module loads (module.cpp, asgi_writer.cpp,
    // client_watch.cpp), released by clear_state too
    PyObject* module_dict;          // borrowed: dictionary of the module
    inquiry content_nb_bool;        // Content's own truth test (native, always true)
    PyTypeObject* ChunksType;       // iterator of get_chunks
    PyTypeObject* ClientWatchType;  // client_watch.cpp
    PyTypeObject* LoopTurnType;     // client_watch.cpp
    PyObject* start_template;       // {"type": t_start, "status": None, "headers": None}
    PyObject* body_template;        // {"type": t_body, "body": b"", "more_body": False}
    PyObject* body_template_plain;  // {"type": t_body, "body": b""}

    // ---- the constant tables (also module attributes, never changed)
    PyObject* known_headers;                   // KNOWN_HEADERS: str -> bytes
    PyObject* header_val_bytes;                // HEADER_VAL_BYTES: str -> bytes
    SharedText shared_values[10];              // the same, searched by text
    PyObject* empty_headers;                   // EMPTY_HEADERS
    PyObject* static_headers_by_ct;            // STATIC_HEADERS_BY_CT_BYTES: bytes -> list
    PyObject* outbound_name_str;               // KNOWN_OUTBOUND_HEADER_NAME_STR: bytes -> str
    PyObject* outbound_val_str;                // KNOWN_OUTBOUND_HEADER_VAL_STR: bytes -> str
    PyObject* ct_str_cache;                    // CT_STR_CACHE: bytes -> str

    // ---- caches of the writers (response_head.cpp, rsgi_writer.cpp)
    PrebuiltHit prebuilt_hits[4];
    unsigned prebuilt_next;
    TypeHit content_type_hits[4];
    unsigned content_type_next;
    NoFilePathEntry no_file_path[4];
};

// Fills the declared entries (module.cpp): 0, or -1 with an error set.
int fill_state();
// Releases everything the state owns, caches included (a load that failed
// keeps nothing).
void clear_state();

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
    // Ends the listener after the body loop, `failed` when an await in it
    // failed: true when the stream must be abandoned, with the error to
    // raise pending (the loop's own, or MessageAborted when the client
    // left); false when the pieces simply ran out.
    bool finish(bool failed);

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
