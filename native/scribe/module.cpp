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

// What the declared list does not hold: the content classes' truth test,
// and the check of the operation table the writers call through.
int check_siblings() {
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

int load(PyObject* module) {
    if (fill_state() < 0 || check_siblings() < 0 || make_tables(module) < 0) return -1;
    for (PyMethodDef* table : {head_functions, asgi_functions, rsgi_adapter_functions, rsgi_writer_functions,
                               sse_functions})
        if (PyModule_AddFunctions(module, table) < 0) return -1;
    if (init_asgi_writer(module) < 0 || init_client_watch(module) < 0 || init_exchanges(module) < 0) return -1;
    return export_entry_points(module);
}

int exec(PyObject* module) {
    state.module_dict = PyModule_GetDict(module);
    if (load(module) == 0) return 0;
    clear_state();
    return -1;
}

capi::PackageModule module_def{"brindlewick.scribe", "scribe",
                               "Response writing: ASGI and RSGI writers, the RSGI request adapter, server-sent "
                               "events.",
                               nullptr, exec};

}  // namespace

int fill_state() {
    State& s = state;
    BW_SCRIBE_STATE(BW_STATE_FILL)
    return 0;
}

void clear_state() {
    State& s = state;
    BW_SCRIBE_STATE(BW_STATE_CLEAR)
    for (PyTypeObject** type : {&s.ChunksType, &s.ClientWatchType, &s.LoopTurnType}) Py_CLEAR(*type);
    for (PyObject** object : {&s.start_template, &s.body_template, &s.body_template_plain, &s.known_headers,
                              &s.header_val_bytes, &s.empty_headers, &s.static_headers_by_ct, &s.outbound_name_str,
                              &s.outbound_val_str, &s.ct_str_cache})
        Py_CLEAR(*object);
    for (SharedText& value : s.shared_values) Py_CLEAR(value.bytes);
    for (PrebuiltHit& hit : s.prebuilt_hits) {
        Py_CLEAR(hit.type);
        Py_CLEAR(hit.list);
    }
    for (TypeHit& hit : s.content_type_hits) {
        Py_CLEAR(hit.type);
        Py_CLEAR(hit.value);
    }
    for (NoFilePathEntry& entry : s.no_file_path) entry = {nullptr, 0};
    s.module_dict = nullptr;
    s.content_nb_bool = nullptr;
}

}  // namespace bw::scribe

PyMODINIT_FUNC PyInit_scribe(void) { return bw::scribe::module_def.init(); }
