// Interface of module brindlewick.scribe for other native code: the entry
// points it publishes in its __pyx_capi__ table, with the signature strings
// the capsules are named by, and the chunk-size variable.
//
// Object results are new references (null with an exception set); int
// results are 0, or -1 with an exception set.  Arguments are borrowed and
// must already have the declared types (the Python-visible functions of the
// same names check them; these entry points do not).
#pragma once

#include <Python.h>

#include "brindlewick/siblings.hpp"
#include "contents/content_layout.hpp"
#include "messages.hpp"

namespace bw::scribe {

// Largest body piece sent in one server call by the ASGI writer (60 KiB).
// Published as the variable MAX_RESPONSE_CHUNK_SIZE.
inline constexpr int kMaxResponseChunkSize = 61440;
inline constexpr const char kMaxResponseChunkSizeSig[] = "int";

// set_headers_for_response_content(response): appends content-type and
// content-length or transfer-encoding to the response's raw header list.
using SetHeadersForResponseContentFn = int (*)(messages::ResponseObject* response);
inline constexpr const char kSetHeadersForResponseContentSig[] = "int (struct ResponseObject *)";

// extract_rsgi_headers(raw_headers) -> list of (bytes, bytes)
using ExtractRSGIHeadersFn = PyObject* (*)(PyObject* raw_headers);
inline constexpr const char kExtractRSGIHeadersSig[] = "PyObject *(PyObject *)";

// instantiate_rsgi_request(scope, protocol) -> Request (from the pool)
using InstantiateRSGIRequestFn = messages::RequestObject* (*)(PyObject* scope, PyObject* protocol);
inline constexpr const char kInstantiateRSGIRequestSig[] = "struct RequestObject *(PyObject *, PyObject *)";

// send_rsgi_response_sync(response, protocol) -> None once handed over, or
// the coroutine that streams the body (the caller awaits it).
using SendRSGIResponseSyncFn = PyObject* (*)(messages::ResponseObject* response, PyObject* protocol);
inline constexpr const char kSendRSGIResponseSyncSig[] = "PyObject *(struct ResponseObject *, PyObject *)";

// write_sse(event) -> bytes of one text/event-stream event
using WriteSSEFn = PyObject* (*)(siblings::ServerSentEventObject* event);
inline constexpr const char kWriteSSESig[] = "PyObject *(struct ServerSentEventObject *)";

}  // namespace bw::scribe
