// State of module brindlewick.messages: everything the module binds,
// imports and creates when it loads, and its caches, in one struct filled
// once by the module's exec step (module.cpp).  The module loads once per
// process and in one interpreter, so the state is one static instance.
#pragma once

#include <Python.h>

#include <cstdint>

#include "brindlewick/siblings.hpp"
#include "brindlewick/state_fields.hpp"
#include "contents/content_layout.hpp"
#include "url/url_layout.hpp"
#include "messages.hpp"

namespace bw::messages {

// Everything the module interns, binds and imports, declared once: the
// fields of State, their filling when the module loads (fill_state, in
// list order) and their release (clear_state) are generated from this list
// (see brindlewick/state_fields.hpp for the kinds).
//
// Names: the prefix says what a field holds, the rest is its text.
//   str_<text>  an interned str; characters a name cannot hold are `_`, so
//               str__data is "_data" and str_data is "data"; the dunders
//               drop theirs (str_dict is "__dict__", str_new "__new__")
//   m_<text>    a method name as the core library shares it ("GET")
//   h_<name>    a header name as bytes, lower case (the core library's shared
//               object where it has one); h_..._spelled as sent, capitalised
//   b_<text>    other bytes
// Other constants are named by their use (empty_str, spool_mode, tls_key).
#define BW_MESSAGES_STATE(X)                                                                                \
    /* Entry points of the sibling modules. */                                                               \
    X(function, parse_www_form_urlencoded, siblings::ParseWWWFormFn, "brindlewick.contents",                  \
      "parse_www_form_urlencoded", siblings::kParseWWWFormSig)                                                \
    X(function, charset_codec, siblings::CharsetCodecFn, "brindlewick.contents", "charset_codec",              \
      siblings::kCharsetCodecSig)                                                                             \
    X(function, limit_server_body, siblings::LimitServerBodyFn, "brindlewick.contents", "limit_server_body",   \
      siblings::kLimitServerBodySig)                                                                          \
    X(function, parse_cookie, siblings::ParseCookieFn, "brindlewick.cookies", "parse_cookie",                  \
      siblings::kParseCookieSig)                                                                              \
    X(function, write_cookie_for_response, siblings::WriteCookieFn, "brindlewick.cookies",                     \
      "write_cookie_for_response", siblings::kWriteCookieSig)                                                 \
    X(function, split_value, siblings::SplitValueFn, "brindlewick.cookies", "split_value",                     \
      siblings::kSplitValueSig)                                                                               \
    X(function, build_absolute_url, siblings::BuildAbsoluteURLFn, "brindlewick.url", "build_absolute_url",     \
      siblings::kBuildAbsoluteURLSig)                                                                         \
    /* Bound for the loading contract only (a sibling without them does not load); nothing reads them. */  \
    X(function, datetime_to_cookie_format, siblings::DatetimeToCookieFormatFn, "brindlewick.cookies",          \
      "datetime_to_cookie_format", siblings::kDatetimeToCookieFormatSig)                                      \
    X(attr, Session, "brindlewick.sessions", "Session")                                                       \
    /* Sibling classes, their layouts checked (Content before anything else named in contents). */           \
    X(type, Content, "brindlewick.contents", "Content", sizeof(ContentObject))                                \
    X(type, URL, "brindlewick.url", "URL", sizeof(URLObject))                                                 \
    X(type, Cookie, "brindlewick.cookies", "Cookie", 0)                                                       \
    X(type, RSGIContent, "brindlewick.contents", "RSGIContent", sizeof(ContentObject))                        \
    X(type, ASGIContent, "brindlewick.contents", "ASGIContent", sizeof(ContentObject))                        \
    X(type, Headers, "brindlewick.headers", "Headers", 0)                                                     \
    /* Settings, and what Request and Response hand out. */                                                  \
    X(attr, encodings_settings, "brindlewick.settings.encodings", "encodings_settings")                       \
    X(attr, json_settings, "brindlewick.settings.json", "json_settings")                                      \
    X(attr, body_settings, "brindlewick.settings.body", "body_settings")                                      \
    X(attr, utcnow, "brindlewick.utils.time", "utcnow")                                                       \
    X(attr, Identity, "wardkeep", "Identity")                                                                 \
    X(attr, HTTPStatus, "http", "HTTPStatus")                                                                 \
    X(attr, urlencode, "urllib.parse", "urlencode")                                                           \
    X(attr, quote, "urllib.parse", "quote")                                                                   \
    /* Exceptions raised by the messages. */                                                                 \
    X(attr, BadRequest, "brindlewick.exceptions", "BadRequest")                                               \
    X(attr, BadRequestFormat, "brindlewick.exceptions", "BadRequestFormat")                                   \
    X(attr, MessageAborted, "brindlewick.exceptions", "MessageAborted")                                       \
    X(attr, PayloadTooLarge, "brindlewick.exceptions", "PayloadTooLarge")                                     \
    X(attr, FailedRequestError, "brindlewick.exceptions", "FailedRequestError")                               \
    X(attr, PickleError, "pickle", "PickleError")                                                             \
    /* Body decoding and the disconnection probe. */                                                         \
    X(attr, msgspec_json_decode, "msgspec.json", "decode")                                                    \
    X(attr, msgspec_DecodeError, "msgspec", "DecodeError")                                                    \
    X(attr, JSONDecodeError, "json.decoder", "JSONDecodeError")                                               \
    X(attr, asyncio_create_task, "asyncio", "create_task")                                                    \
    X(attr, asyncio_get_event_loop, "asyncio", "get_event_loop")                                              \
    X(attr, CancelledError, "asyncio", "CancelledError")                                                      \
    /* Form parsing: the part type, the spooled file type and the multipart functions (brindlewick.multipart \
       imports brindlewick.contents only, never this module, so importing it here makes no cycle). */        \
    X(attr, FormPart, "brindlewick.contents", "FormPart")                                                     \
    X(attr, simplify_multipart_data, "brindlewick.contents", "simplify_multipart_data")                       \
    X(attr, get_boundary_from_header, "brindlewick.multipart", "get_boundary_from_header")                    \
    X(attr, parse_multipart_async, "brindlewick.multipart", "parse_multipart_async")                          \
    X(attr, SpooledTemporaryFile, "tempfile", "SpooledTemporaryFile")                                         \
    /* Message's own methods and attributes, looked up by name when a subclass overrides them. */            \
    X(str, str_read, "read")                                                                                  \
    X(str, str_read_raw, "read_raw")                                                                          \
    X(str, str_read_buffer, "read_buffer")                                                                    \
    X(str, str_stream, "stream")                                                                              \
    X(str, str_text, "text")                                                                                  \
    X(str, str_form, "form")                                                                                  \
    X(str, str_multipart, "multipart")                                                                        \
    X(str, str_multipart_stream, "multipart_stream")                                                          \
    X(str, str_body_buffer, "body_buffer")                                                                    \
    X(str, str_max_body_size, "max_body_size")                                                                \
    X(str, str_max_stream_size, "max_stream_size")                                                            \
    /* Pickling and the instance dictionary. */                                                              \
    X(str, str_dict, "__dict__")                                                                              \
    X(str, str_new, "__new__")                                                                                \
    X(str, str_update, "update")                                                                              \
    X(str, str__unpickle_Message, "_unpickle_Message")                                                        \
    /* Bodies: content objects, charsets and JSON decoders. */                                               \
    X(str, str_content, "content")                                                                            \
    X(str, str_body, "body")                                                                                  \
    X(str, str__data, "_data")                                                                                \
    X(str, str_charset, "charset")                                                                            \
    X(str, str_decode, "decode")                                                                              \
    X(str, str_encode, "encode")                                                                              \
    X(str, str_utf8, "utf8")                                                                                  \
    X(str, str_ascii, "ascii")                                                                                \
    X(str, str_lower, "lower")                                                                                \
    X(str, str_has_custom_loads, "has_custom_loads")                                                          \
    X(str, str_loads, "loads")                                                                                \
    X(str, str_cancel, "cancel")                                                                              \
    X(str, str_call_soon, "call_soon")                                                                        \
    X(str, str_complete, "complete")                                                                          \
    X(str, str_receive, "receive")                                                                            \
    X(str, str_type, "type")                                                                                  \
    X(str, str_http_disconnect, "http.disconnect")                                                            \
    /* The charset pattern the module installs, and its match. */                                           \
    X(str, str__charset_rx, "_charset_rx")                                                                    \
    X(str, str_search, "search")                                                                              \
    X(str, str_group, "group")                                                                                \
    /* Form parts and their spooled files. */                                                                \
    X(str, str_name, "name")                                                                                  \
    X(str, str_data, "data")                                                                                  \
    X(str, str_file_name, "file_name")                                                                        \
    X(str, str_content_type, "content_type")                                                                  \
    X(str, str_file, "file")                                                                                  \
    X(str, str_write, "write")                                                                                \
    X(str, str_seek, "seek")                                                                                  \
    X(str, str_close, "close")                                                                                \
    X(str, str_items, "items")                                                                                \
    X(str, str_values, "values")                                                                              \
    X(str, spool_mode, "w+b")                                                                                 \
    X(integer, spool_max_size, 1048576)                                                                       \
    X(integer, zero, 0)                                                                                       \
    /* Names read from ASGI scopes and RSGI scope objects. */                                                \
    X(str, str_get, "get")                                                                                    \
    X(str, str_scheme, "scheme")                                                                              \
    X(str, str_root_path, "root_path")                                                                        \
    X(str, str_client, "client")                                                                              \
    X(str, str_server, "server")                                                                              \
    X(str, str_authority, "authority")                                                                        \
    /* Request attributes and URL values. */                                                                 \
    X(str, str_url, "url")                                                                                    \
    X(str, str_is_absolute, "is_absolute")                                                                    \
    X(str, str_host, "host")                                                                                  \
    X(str, str_base_path, "base_path")                                                                        \
    X(str, str__path, "_path")                                                                                \
    X(str, str__raw_query, "_raw_query")                                                                      \
    X(str, str_with_query, "with_query")                                                                      \
    X(str, str_value, "value")                                                                                \
    X(str, str_identity, "identity")                                                                          \
    X(str, str_user, "user")                                                                                  \
    X(str, str_client_ip, "client_ip")                                                                        \
    X(str, str_phrase, "phrase")                                                                              \
    /* Methods compared by the CORS helpers. */                                                              \
    X(method, m_get, "GET")                                                                                   \
    X(method, m_head, "HEAD")                                                                                 \
    X(method, m_trace, "TRACE")                                                                               \
    X(method, m_options, "OPTIONS")                                                                           \
    /* Header names, and the bytes of content types and cookie headers. */                                  \
    X(header, h_content_type, "content-type")                                                                 \
    X(header, h_content_length, "content-length")                                                             \
    X(header, h_expect, "expect")                                                                             \
    X(header, h_etag, "etag")                                                                                 \
    X(header, h_if_none_match, "if-none-match")                                                               \
    X(header, h_host, "host")                                                                                 \
    X(header, h_cookie, "cookie")                                                                             \
    X(bytes, h_origin_spelled, "Origin")                                                                      \
    X(bytes, h_acrm_spelled, "Access-Control-Request-Method")                                                 \
    X(bytes, set_cookie_name, "set-cookie") /* a new object, appended as it is */                            \
    X(bytes, b_json, "json")                                                                                  \
    X(bytes, b_xml, "xml")                                                                                    \
    X(bytes, b_equals, "=")                                                                                   \
    X(bytes, empty_bytes, "")                                                                                 \
    X(str, empty_str, "")                                                                                     \
    /* The per-thread pools. */                                                                              \
    X(str, str_requests, "requests")                                                                          \
    X(str, str_responses, "responses")                                                                        \
    X(str, tls_key, "brindlewick.messages._TLS") /* of _TLS's dictionary in a thread state's */

// The thread's attribute dictionary of _TLS, remembered per thread state
// (pools.cpp): valid while `thread_id` is the calling thread state's id.
struct ThreadDictEntry {
    uint64_t thread_id;
    PyObject* dict;  // borrowed; kept alive by that thread state's dictionary
};

struct State {
    BW_MESSAGES_STATE(BW_STATE_FIELD)

    // ---- made when the module loads (module.cpp, message.cpp, request.cpp,
    // response.cpp, pools.cpp), released by clear_state too
    PyObject* module_dict;  // borrowed: dictionary of the module
    PyTypeObject* MessageType;
    PyTypeObject* RequestType;
    PyTypeObject* ResponseType;
    PyTypeObject* ThreadLocalFreelist;
    PyObject* tls;              // _TLS, the module's one _ThreadLocalFreelist
    inquiry content_nb_bool;    // the truth test of the content classes (native)
    PyObject* charset_rx;       // the compiled pattern the module installed
    PyObject* spool_kwnames;    // ("max_size", "mode")
    PyObject* part_kwnames;     // ("name", "data", "file_name", "content_type", "size", "charset")
    PyObject* client_default;   // ("", 0)
    PyObject* timedelta_year;   // datetime.timedelta(days=365)
    PyObject* read_stream_fn;   // the module's _read_stream
    PyObject* call_soon_fn;     // the module's _call_soon

    // Default body limits of new and recycled messages (-1: none), read
    // from body_settings when the module loads and when they change.
    Py_ssize_t default_max_body_size;
    Py_ssize_t default_max_stream_size;

    // ---- caches
    ThreadDictEntry thread_dicts[8];  // pools.cpp, indexed by the thread state's id
};

// Fills the declared entries (module.cpp): 0, or -1 with an error set.
int fill_state();
// Releases everything the state owns (a load that failed keeps nothing).
void clear_state();

extern State state;

// The native operation table of Message; native subtypes copy it into the
// base of their own table.
extern MessageVTable message_vtable;

}  // namespace bw::messages
