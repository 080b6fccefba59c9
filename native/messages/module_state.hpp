// State of module brindlewick.messages: everything the module binds,
// imports and creates when it loads, in one struct filled once by the
// module's exec step (module.cpp).  The module loads once per process and in
// one interpreter, so the state is one static instance.
#pragma once

#include <Python.h>

#include "brindlewick/siblings.hpp"
#include "contents/content_layout.hpp"
#include "url/url_layout.hpp"
#include "messages.hpp"

namespace bw::messages {

struct State {
    PyObject* module_dict;  // borrowed: dictionary of the module
    PyTypeObject* MessageType;

    // ---- names bound from the sibling modules
    PyTypeObject* Content;
    PyTypeObject* Headers;
    PyTypeObject* URL;
    PyTypeObject* Cookie;
    PyTypeObject* RSGIContent;
    PyTypeObject* ASGIContent;
    inquiry content_nb_bool;  // the truth test of the content classes (native)
    siblings::ParseWWWFormFn parse_www_form_urlencoded;
    siblings::CharsetCodecFn charset_codec;
    siblings::LimitServerBodyFn limit_server_body;
    siblings::ParseCookieFn parse_cookie;
    siblings::WriteCookieFn write_cookie_for_response;
    siblings::DatetimeToCookieFormatFn datetime_to_cookie_format;
    siblings::SplitValueFn split_value;
    siblings::BuildAbsoluteURLFn build_absolute_url;
    // Python-level names imported by the module body (Session, utcnow and
    // Identity serve Request; the exceptions Request and Response).
    PyObject* Session;
    PyObject* encodings_settings;
    PyObject* json_settings;
    PyObject* body_settings;
    PyObject* utcnow;
    PyObject* Identity;
    // Exceptions of brindlewick.exceptions.
    PyObject* BadRequest;
    PyObject* BadRequestFormat;
    PyObject* MessageAborted;
    PyObject* PayloadTooLarge;
    PyObject* FailedRequestError;
    PyObject* PickleError;
    // Body decoding and the disconnection probe.
    PyObject* msgspec_json_decode;
    PyObject* msgspec_DecodeError;
    PyObject* JSONDecodeError;
    PyObject* asyncio_create_task;
    PyObject* asyncio_get_event_loop;
    PyObject* CancelledError;
    // Form parsing: the part type, the spooled file type and the multipart
    // functions of the sibling modules.
    PyObject* FormPart;                  // brindlewick.contents.FormPart
    PyObject* simplify_multipart_data;   // brindlewick.contents.simplify_multipart_data
    PyObject* get_boundary_from_header;  // brindlewick.multipart.get_boundary_from_header
    PyObject* parse_multipart_async;     // brindlewick.multipart.parse_multipart_async
    PyObject* SpooledTemporaryFile;      // tempfile.SpooledTemporaryFile

    // Default body limits of new and recycled messages (-1: none), read
    // from body_settings when the module loads and when they change.
    Py_ssize_t default_max_body_size;
    Py_ssize_t default_max_stream_size;

    // ---- interned strings and constants
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
    PyObject* spool_max_size;   // 1048576
    PyObject* spool_mode;       // "w+b"
    PyObject* spool_kwnames;    // ("max_size", "mode")
    PyObject* part_kwnames;     // ("name", "data", "file_name", "content_type", "size", "charset")
    PyObject* str_data_attr;    // "data" (of a FormPart)
    PyObject* str_group;
    PyObject* str_ascii;
    PyObject* str_unpickle_message;  // "_unpickle_Message"
    PyObject* str_max_body_size;     // "max_body_size"
    PyObject* str_max_stream_size;   // "max_stream_size"
    PyObject* h_content_length;      // b"content-length"

    // ---- Response and pools
    // Filled by init_response_type (response.cpp) and init_pools (pools.cpp).
    PyTypeObject* ResponseType;
    PyObject* HTTPStatus;            // http.HTTPStatus
    PyObject* timedelta_year;        // datetime.timedelta(days=365)
    PyObject* set_cookie_name;       // b"set-cookie", appended as it is
    PyObject* str_phrase;            // "phrase"
    PyObject* str_requests;          // "requests"
    PyObject* str_responses;         // "responses"
    PyObject* str_tls_key;           // key of _TLS's dictionary in a thread state's dictionary
    PyTypeObject* ThreadLocalFreelist;
    PyObject* tls;                   // _TLS, the module's one _ThreadLocalFreelist
    // ---- Request (request*.cpp; filled by init_request_state)
    PyTypeObject* RequestType;
    PyObject* read_stream_fn;   // the module's _read_stream
    PyObject* call_soon_fn;     // the module's _call_soon
    PyObject* urlencode;        // urllib.parse.urlencode
    PyObject* quote;            // urllib.parse.quote
    PyObject* client_default;   // ("", 0)
    // Header names (the core library's shared objects where it has them).
    PyObject* h_expect;
    PyObject* h_etag;
    PyObject* h_if_none_match;
    PyObject* h_host;
    PyObject* h_cookie;
    PyObject* h_origin_spelled;  // b"Origin"
    PyObject* h_acrm_spelled;    // b"Access-Control-Request-Method"
    PyObject* b_equals;          // b"="
    PyObject* b_cookie_joiner;   // b"; "
    // Method strings compared by the CORS helpers.
    PyObject* m_get;
    PyObject* m_head;
    PyObject* m_trace;
    PyObject* m_options;
    // Attribute and key names.
    PyObject* str_get;
    PyObject* str_scheme;
    PyObject* str_root_path;
    PyObject* str_client;
    PyObject* str_server;
    PyObject* str_authority;
    PyObject* str_url;
    PyObject* str_is_absolute;
    PyObject* str_host;
    PyObject* str_base_path;
    PyObject* str__path;
    PyObject* str__raw_query;
    PyObject* str_with_query;
    PyObject* str_values;
    PyObject* str_file;
    PyObject* str_close;
    PyObject* str_receive;
    PyObject* str_complete;
    PyObject* str_type;
    PyObject* str_http_disconnect;
    PyObject* str_identity;
    PyObject* str_user;
    PyObject* str_client_ip;
    PyObject* str_value;
};

extern State state;

// The native operation table of Message; native subtypes copy it into the
// base of their own table.
extern MessageVTable message_vtable;

}  // namespace bw::messages
