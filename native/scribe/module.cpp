// Module brindlewick.scribe: loading (the bindings of messages, contents and
// cookies), the constant tables of the writers, the module's state, its
// Python functions and the entry points it publishes in __pyx_capi__.
#include <Python.h>

#include <string_view>

#include "brindlewick/args.hpp"
#include "brindlewick/capi.hpp"
#include "brindlewick/fast_parse.h"
#include "brindlewick/pyref.hpp"
#include "scribe_core.hpp"

namespace bw::scribe {

State state = {};

// The variable published as MAX_RESPONSE_CHUNK_SIZE.
static const int max_response_chunk_size = kMaxResponseChunkSize;

bool check_response(PyObject* obj, const char* arg) {
    if (BW_LIKELY(Py_IS_TYPE(obj, state.Response) || PyObject_TypeCheck(obj, state.Response))) return true;
    return args::raise_arg_type(arg, "Response", obj);
}

PyObject* async_for_iter(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    unaryfunc get = type->tp_as_async ? type->tp_as_async->am_aiter : nullptr;
    if (!get) {
        PyErr_Format(PyExc_TypeError, "'async for' requires an object with __aiter__ method, got %.100s",
                     type->tp_name);
        return nullptr;
    }
    PyObject* it = get(obj);
    if (!it) return nullptr;
    PyTypeObject* it_type = Py_TYPE(it);
    if (!it_type->tp_as_async || !it_type->tp_as_async->am_anext) {
        PyErr_Format(PyExc_TypeError,
                     "'async for' received an object from __aiter__ that does not implement __anext__: %.100s",
                     it_type->tp_name);
        Py_DECREF(it);
        return nullptr;
    }
    return it;
}

namespace {

// ---- loading ------------------------------------------------------------------------

int import_siblings() {
    Ref messages = Ref::steal(PyImport_ImportModule("brindlewick.messages"));
    if (!messages) return -1;
    Ref contents = Ref::steal(PyImport_ImportModule("brindlewick.contents"));
    if (!contents) return -1;
    Ref cookies = Ref::steal(PyImport_ImportModule("brindlewick.cookies"));
    if (!cookies) return -1;

    if (capi::import_function(messages.get(), "acquire_request", state.acquire_request,
                              messages::kAcquireRequestSig) < 0 ||
        capi::import_function(messages.get(), "acquire_incoming", state.acquire_incoming,
                              messages::kAcquireIncomingSig) < 0 ||
        capi::import_function(messages.get(), "bind_request_body", state.bind_request_body,
                              messages::kBindRequestBodySig) < 0 ||
        capi::import_function(messages.get(), "release_request", state.release_request,
                              messages::kReleaseRequestSig) < 0 ||
        capi::import_function(messages.get(), "release_response", state.release_response,
                              messages::kReleaseResponseSig) < 0 ||
        capi::import_function(contents.get(), "parse_www_form_urlencoded", state.parse_www_form_urlencoded,
                              siblings::kParseWWWFormSig) < 0 ||
        capi::import_function(cookies.get(), "write_cookie_for_response", state.write_cookie_for_response,
                              siblings::kWriteCookieSig) < 0)
        return -1;

    if (capi::import_types({
        {messages.get(), "Response", sizeof(ResponseObject), &state.Response},
        {messages.get(), "Request", sizeof(RequestObject), &state.Request},
        {contents.get(), "Content", sizeof(ContentObject), &state.Content},
        {contents.get(), "StreamedContent", sizeof(ContentObject), &state.StreamedContent},
        {contents.get(), "ASGIContent", sizeof(ContentObject), &state.ASGIContent},
        {contents.get(), "RSGIContent", sizeof(ContentObject), &state.RSGIContent},
        {contents.get(), "ServerSentEvent", sizeof(ServerSentEventObject), &state.ServerSentEvent},
        {cookies.get(), "Cookie", 0, &state.Cookie},
        }) < 0)
        return -1;
    Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
    if (!asyncio) return -1;
    Ref exceptions = Ref::steal(PyImport_ImportModule("brindlewick.exceptions"));
    if (!exceptions) return -1;
    struct Binding {
        PyObject* module;
        const char* name;
        PyObject** slot;
    } bindings[] = {
        {asyncio.get(), "_get_running_loop", &state.get_running_loop},
        {asyncio.get(), "current_task", &state.current_task},
        {asyncio.get(), "CancelledError", &state.CancelledError},
        {exceptions.get(), "MessageAborted", &state.MessageAborted},
    };
    for (const Binding& b : bindings) {
        PyObject* value = PyObject_GetAttrString(b.module, b.name);
        if (!value) return -1;
        Py_XSETREF(*b.slot, value);
    }
    PyNumberMethods* number = state.Content->tp_as_number;
    state.content_nb_bool = number ? number->nb_bool : nullptr;
    // The writers call through a response's operation table: refuse a
    // messages module whose table has another layout.
    void* response_table = nullptr;
    return capi::import_vtable(state.Response, messages::kResponseVTableSig, &response_table);
}

// ---- constants ------------------------------------------------------------------------

// The core library's shared bytes object for a header name, else a new one.
PyObject* header_name(std::string_view text) {
    PyObject* shared = get_interned_header_name_bytes(text.data(), static_cast<Py_ssize_t>(text.size()));
    return shared ? Py_NewRef(shared) : PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// The core library's shared bytes object for a content type, else a new one.
PyObject* content_type_bytes(std::string_view text) {
    PyObject* shared = get_interned_content_type_bytes(text.data(), static_cast<Py_ssize_t>(text.size()));
    return shared ? Py_NewRef(shared) : PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* interned_str(std::string_view text) {
    PyObject* s = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (s) PyUnicode_InternInPlace(&s);
    return s;
}

// Sets `*slot` (owned by the state) and, when `name` is given, the module
// attribute of that name to the same object.
int keep(PyObject* module, PyObject** slot, PyObject* value, const char* name = nullptr) {
    if (!value) return -1;
    Py_XSETREF(*slot, value);
    return name ? PyModule_AddObjectRef(module, name, value) : 0;
}

enum class Kind { HeaderName, ContentType, Plain };

PyObject* bytes_of(std::string_view text, Kind kind) {
    switch (kind) {
        case Kind::HeaderName: return header_name(text);
        case Kind::ContentType: return content_type_bytes(text);
        default: return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    }
}

// {text: b"text"} (str -> bytes) or {b"text": "text"} (bytes -> str), in order.
template <size_t N>
PyObject* make_map(const std::string_view (&texts)[N], bool str_keys, Kind kind) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (std::string_view text : texts) {
        Ref s = Ref::steal(interned_str(text));
        Ref b = Ref::steal(bytes_of(text, kind));
        if (!s || !b) return nullptr;
        if (PyDict_SetItem(dict.get(), str_keys ? s.get() : b.get(), str_keys ? b.get() : s.get()) < 0)
            return nullptr;
    }
    return dict.release();
}

constexpr std::string_view kKnownHeaders[] = {
    "host", "user-agent", "accept", "accept-encoding", "accept-language", "content-type", "content-length",
    "connection", "cookie", "authorization", "origin", "referer", "cache-control", "pragma",
    "upgrade-insecure-requests", "sec-ch-ua", "sec-ch-ua-mobile", "sec-ch-ua-platform", "sec-fetch-site",
    "sec-fetch-mode", "sec-fetch-user", "sec-fetch-dest", "x-forwarded-for", "x-forwarded-proto",
    "x-forwarded-host", "x-real-ip",
};
constexpr std::string_view kHeaderValues[] = {
    "*/*", "keep-alive", "close", "gzip, deflate", "gzip, deflate, br", "application/json", "text/plain",
    "text/plain; charset=utf-8", "text/html", "text/html; charset=utf-8",
};
constexpr std::string_view kOutboundNames[] = {
    "content-type", "content-length", "server", "date", "set-cookie", "location", "connection", "cache-control",
    "vary", "access-control-allow-origin", "access-control-allow-headers", "access-control-allow-methods",
    "access-control-allow-credentials", "access-control-expose-headers", "access-control-max-age",
    "transfer-encoding", "www-authenticate", "authorization", "accept", "host", "etag", "last-modified",
    "strict-transport-security", "x-content-type-options", "x-frame-options",
};
constexpr std::string_view kOutboundValues[] = {
    "application/json", "text/plain; charset=utf-8", "text/plain", "text/html; charset=utf-8", "text/html",
    "chunked", "keep-alive", "close", "0",
};
constexpr std::string_view kCTStrCache[] = {
    "text/html; charset=utf-8", "text/html", "application/json", "text/plain", "text/plain; charset=utf-8",
};

// The prebuilt one-pair header lists, in the order of STATIC_HEADERS_BY_CT_BYTES.
struct Prebuilt {
    const char* attribute;
    std::string_view content_type;
};
constexpr Prebuilt kPrebuilt[] = {
    {"_PREBUILT_JSON_HEADERS", "application/json"},
    {"_PREBUILT_TEXT_PLAIN_UTF8_HEADERS", "text/plain; charset=utf-8"},
    {"_PREBUILT_TEXT_PLAIN_HEADERS", "text/plain"},
    {"_PREBUILT_TEXT_HTML_UTF8_HEADERS", "text/html; charset=utf-8"},
    {"_PREBUILT_TEXT_HTML_HEADERS", "text/html"},
};

int make_tables(PyObject* module) {
    if (keep(module, &state.known_headers, make_map(kKnownHeaders, true, Kind::HeaderName), "KNOWN_HEADERS") < 0 ||
        keep(module, &state.header_val_bytes, make_map(kHeaderValues, true, Kind::ContentType),
             "HEADER_VAL_BYTES") < 0 ||
        keep(module, &state.outbound_name_str, make_map(kOutboundNames, false, Kind::HeaderName),
             "KNOWN_OUTBOUND_HEADER_NAME_STR") < 0 ||
        keep(module, &state.outbound_val_str, make_map(kOutboundValues, false, Kind::ContentType),
             "KNOWN_OUTBOUND_HEADER_VAL_STR") < 0 ||
        keep(module, &state.ct_str_cache, make_map(kCTStrCache, false, Kind::ContentType), "CT_STR_CACHE") < 0)
        return -1;

    // The shared bytes of HEADER_VAL_BYTES, found natively by their text.
    size_t filled = 0;
    for (std::string_view text : kHeaderValues) {
        Ref key = Ref::steal(interned_str(text));
        if (!key) return -1;
        PyObject* bytes = PyDict_GetItemWithError(state.header_val_bytes, key.get());  // borrowed
        if (!bytes) return PyErr_Occurred() ? -1 : (PyErr_SetString(PyExc_SystemError, "HEADER_VAL_BYTES"), -1);
        state.shared_values[filled++] = {text.data(), static_cast<Py_ssize_t>(text.size()), Py_NewRef(bytes)};
    }
    static_assert(std::size(kHeaderValues) == std::size(State{}.shared_values));

    Ref by_ct = Ref::steal(PyDict_New());
    if (!by_ct) return -1;
    for (const Prebuilt& p : kPrebuilt) {
        Ref key = Ref::steal(content_type_bytes(p.content_type));
        Ref value = Ref::steal(interned_str(p.content_type));
        if (!key || !value) return -1;
        Ref pair = Ref::steal(PyTuple_Pack(2, state.s_content_type, value.get()));
        if (!pair) return -1;
        Ref list = Ref::steal(PyList_New(1));
        if (!list) return -1;
        PyList_SET_ITEM(list.get(), 0, pair.release());
        if (PyModule_AddObjectRef(module, p.attribute, list.get()) < 0 ||
            PyDict_SetItem(by_ct.get(), key.get(), list.get()) < 0)
            return -1;
    }
    if (keep(module, &state.static_headers_by_ct, by_ct.release(), "STATIC_HEADERS_BY_CT_BYTES") < 0 ||
        keep(module, &state.empty_headers, PyList_New(0), "EMPTY_HEADERS") < 0)
        return -1;

    // _NEW_LINES_RX = re.compile("\r\n|\n")
    Ref re = Ref::steal(PyImport_ImportModule("re"));
    if (!re) return -1;
    Ref rx = Ref::steal(PyObject_CallMethod(re.get(), "compile", "s", "\r\n|\n"));
    if (!rx || PyModule_AddObjectRef(module, "_NEW_LINES_RX", rx.get()) < 0) return -1;
    return PyModule_AddIntConstant(module, "MAX_RESPONSE_CHUNK_SIZE", kMaxResponseChunkSize);
}

int make_constants(PyObject* module) {
    struct Str {
        PyObject** slot;
        std::string_view text;
    } strings[] = {
        {&state.s_content_type, "content-type"},
        {&state.k_type, "type"},
        {&state.k_status, "status"},
        {&state.k_headers, "headers"},
        {&state.k_body, "body"},
        {&state.k_more_body, "more_body"},
        {&state.t_start, "http.response.start"},
        {&state.t_body, "http.response.body"},
        {&state.str_get_parts, "get_parts"},
        {&state.str_stream, "stream"},
        {&state.str_get_chunks, "get_chunks"},
        {&state.str_send_rsgi_stream, "_send_rsgi_stream"},
        {&state.str_items, "items"},
        {&state.str_path, "path"},
        {&state.str_raw_path, "raw_path"},
        {&state.str_query_string, "query_string"},
        {&state.str_headers, "headers"},
        {&state.str_method, "method"},
        {&state.str_proto, "proto"},
        {&state.str_file_path, "file_path"},
        {&state.str_file_range, "file_range"},
        {&state.str_response_empty, "response_empty"},
        {&state.str_response_bytes, "response_bytes"},
        {&state.str_response_str, "response_str"},
        {&state.str_response_file, "response_file"},
        {&state.str_response_file_range, "response_file_range"},
        {&state.str_response_file_partial, "response_file_partial"},
        {&state.str_response_stream, "response_stream"},
        {&state.str_send_bytes, "send_bytes"},
        {&state.str_send_str, "send_str"},
        {&state.str_client_disconnect, "client_disconnect"},
        {&state.empty_str, ""},
        {&state.str_complete, "complete"},
        {&state.str_aclose, "aclose"},
        {&state.str_cancel, "cancel"},
        {&state.str_uncancel, "uncancel"},
        {&state.str_cancelling, "cancelling"},
        {&state.str_create_task, "create_task"},
    };
    for (auto& s : strings)
        if (keep(module, s.slot, interned_str(s.text)) < 0) return -1;

    struct Bytes {
        PyObject** slot;
        std::string_view text;
        Kind kind;
    } bytes[] = {
        {&state.h_content_length, "content-length", Kind::HeaderName},
        {&state.h_content_type, "content-type", Kind::HeaderName},
        {&state.h_transfer_encoding, "transfer-encoding", Kind::HeaderName},
        {&state.v_zero, "0", Kind::Plain},
        {&state.v_chunked, "chunked", Kind::Plain},
        {&state.v_octet_stream, "application/octet-stream", Kind::ContentType},
        {&state.empty_bytes, "", Kind::Plain},
        {&state.chunk_terminator, "0\r\n\r\n", Kind::Plain},
    };
    for (auto& b : bytes)
        if (keep(module, b.slot, bytes_of(b.text, b.kind)) < 0) return -1;
    return 0;
}

// ---- the published entry points ------------------------------------------------------

int export_entry_points(PyObject* module) {
    SetHeadersForResponseContentFn set_headers = set_headers_for_response_content;
    ExtractRSGIHeadersFn extract = extract_rsgi_headers;
    InstantiateRSGIRequestFn instantiate = instantiate_rsgi_request;
    SendRSGIResponseSyncFn send_sync = send_rsgi_response_sync;
    WriteSSEFn sse = write_sse;
    if (capi::export_function(module, "set_headers_for_response_content", set_headers,
                              kSetHeadersForResponseContentSig) < 0 ||
        capi::export_function(module, "extract_rsgi_headers", extract, kExtractRSGIHeadersSig) < 0 ||
        capi::export_function(module, "instantiate_rsgi_request", instantiate, kInstantiateRSGIRequestSig) < 0 ||
        capi::export_function(module, "send_rsgi_response_sync", send_sync, kSendRSGIResponseSyncSig) < 0 ||
        capi::export_function(module, "write_sse", sse, kWriteSSESig) < 0)
        return -1;
    return capi::export_pointer(module, "MAX_RESPONSE_CHUNK_SIZE",
                                const_cast<int*>(&max_response_chunk_size), kMaxResponseChunkSizeSig);
}

int exec(PyObject* module) {
    state.module_dict = PyModule_GetDict(module);
    if (import_siblings() < 0 || make_constants(module) < 0 || make_tables(module) < 0) return -1;
    for (PyMethodDef* table : {head_functions, asgi_functions, rsgi_adapter_functions, rsgi_writer_functions,
                               sse_functions})
        if (PyModule_AddFunctions(module, table) < 0) return -1;
    if (init_asgi_writer(module) < 0 || init_client_watch(module) < 0 || init_exchanges(module) < 0) return -1;
    return export_entry_points(module);
}

capi::PackageModule module_def{"brindlewick.scribe", "scribe",
                               "Response writing: ASGI and RSGI writers, the RSGI request adapter, server-sent "
                               "events.",
                               nullptr, exec};

}  // namespace

}  // namespace bw::scribe

PyMODINIT_FUNC PyInit_scribe(void) { return bw::scribe::module_def.init(); }
