// The head of a response as both writers send it, decided once
// (compose_head in response_head.cpp) and then encoded for ASGI (a list of
// bytes pairs in the start message) or for RSGI (str pairs handed to a
// protocol call).
//
// What the composition decides:
// - the status: 200-599 only (a status the wire cannot carry, or a 1xx,
//   which is never a final answer here, is refused with ValueError);
// - whether a body follows: not for HEAD, 204 or 304;
// - the headers: the application's own, every one checked (an HTTP token
//   name, no CR, LF or NUL anywhere), then a content-type when the
//   application set none (a missing or empty content type is
//   application/octet-stream), then the framing: content-length whenever the
//   length is known (the application's own content-length and
//   transfer-encoding give way to it), none for 204 and 304; for a body of unknown
//   length, the application's framing if it set one, else chunked;
// - the body kind: none, whole (bytes-like or str), or streamed.
#pragma once

#include <Python.h>

#include <cstdint>

#include "brindlewick/coro.hpp"
#include "scribe_core.hpp"

namespace bw::scribe {

enum class BodyKind : uint8_t { Empty, Whole, Stream };

struct ResponseHead {
    int status = 0;
    BodyKind kind = BodyKind::Empty;
    bool send_body = true;    // false for HEAD, 204 and 304: the head only
    bool chunked = false;     // unknown length, no framing of the application's: chunked
    Py_ssize_t length = -1;   // content-length to send, -1 for none
    Ref response;
    Ref content;       // the response's content, None when it has none
    Ref headers;       // the application's headers, checked: a private list of
                       // exact (bytes, bytes) or (str, str) tuples (HeadText),
                       // or the shared empty list
    Ref content_type;  // bytes to send as content-type, or null
    Ref body;          // BodyKind::Whole: bytes, bytearray, memoryview or str

    ResponseHead() = default;
    ResponseHead(ResponseHead&&) = default;
    ResponseHead& operator=(ResponseHead&&) = default;
};

// The form of the header list a head keeps: bytes pairs (ASGI) or the str
// pairs RSGI wants, converted as they are checked.
enum class HeadText : uint8_t { Bytes, Str };

// Decides the head of `response`; `head_request` when the request's method
// is HEAD; `text` the form its header list takes.  0, or -1 with an error set (ValueError for a status or a header
// that cannot be sent, TypeError for values of the wrong types); nothing is
// sent either way.
int compose_head(ResponseObject* response, bool head_request, HeadText text, ResponseHead& head);

// The headers the head sends, as the ASGI start message carries them: a
// list of (bytes, bytes) tuples of its own (the head's private list, which
// this completes, or a new one).  Call it once per head.
PyObject* head_bytes_list(ResponseHead& head);

// The headers as RSGI wants them (a head composed with HeadText::Str):
// (str, str) pairs, each value the UTF-8 text of its bytes, which the server
// encodes back into the same bytes.  `with_length`: the content-length goes
// in too (the server frames whole bodies itself).  A shared constant list
// when there is nothing but a common content type.  Call it once per head.
PyObject* head_str_list(ResponseHead& head, bool with_length);

// The rule for the pieces of a streamed body, the same on both interfaces:
// bytes as they are, bytearray and memoryview as their bytes, str as UTF-8.
// 1: `*out` is the piece to send (new reference), 0: nothing to send (None
// or empty), -1: TypeError ("Expected bytes, got ...") or another error.
int stream_piece(PyObject* piece, PyObject** out, bool keep_str);

// asgi_writer.cpp: the coroutine sending `head` through an ASGI `send`.
// With a `receive` and the `request` answered (both may be null), the
// client is watched while a streamed body is sent (see may_listen_asgi).
PyObject* send_asgi_response(ResponseHead&& head, PyObject* send, PyObject* receive, RequestObject* request);

// rsgi_writer.cpp: hands `head` to the RSGI protocol; None once done, or the
// coroutine that streams the body (the caller awaits it).
PyObject* send_rsgi_head(ResponseHead&& head, PyObject* protocol);

}  // namespace bw::scribe
