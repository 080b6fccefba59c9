// Module brindlewick.messages: initialisation, sibling bindings and the
// module-level functions of the message core.
#include <Python.h>

#include "brindlewick/args.hpp"
#include "brindlewick/capi.hpp"
#include "brindlewick/fast_parse.h"
#include "brindlewick/pyref.hpp"
#include "message_core.hpp"
#include "response_core.hpp"
#include "request_core.hpp"

namespace bw::messages {

State state = {};

PyObject* intern_header_name_bytes(PyObject* name) {
    if (BW_LIKELY(PyBytes_Check(name))) {
        PyObject* shared = get_interned_header_name_bytes(PyBytes_AS_STRING(name), PyBytes_GET_SIZE(name));
        if (shared) return Py_NewRef(shared);
    }
    return Py_NewRef(name);
}

namespace {

// ---- parse_charset ----------------------------------------------------

inline bool is_charset_char(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// The installed pattern, charset=([\w\-]+) case-insensitive, searched
// natively: the first "charset=" (any case) followed by at least one word
// character or hyphen; the name runs to the first other character.
PyObject* search_charset_natively(PyObject* value) {
    static const char needle[] = "charset=";
    const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(value));
    Py_ssize_t length = PyBytes_GET_SIZE(value);
    for (Py_ssize_t i = 0; i + 8 < length; i++) {
        Py_ssize_t k = 0;
        while (k < 8) {
            if (ascii_lower(data[i + k]) != static_cast<unsigned char>(needle[k])) break;
            k++;
        }
        if (k < 8) continue;
        Py_ssize_t start = i + 8, end = start;
        while (end < length && is_charset_char(data[end])) end++;
        if (end > start)
            return PyUnicode_DecodeASCII(reinterpret_cast<const char*>(data + start), end - start, nullptr);
    }
    Py_RETURN_NONE;
}

PyObject* parse_charset_impl(PyObject* value) {
    PyObject* found = PyDict_GetItemWithError(state.module_dict, state.str_charset_rx);  // borrowed
    if (!found) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", state.str_charset_rx);
        return nullptr;
    }
    // The installed pattern is searched natively: no code runs, the borrow holds.
    if (found == state.charset_rx && PyBytes_CheckExact(value)) return search_charset_natively(value);
    // Someone replaced the pattern: use it as given, held, since its search()
    // may rebind the global and drop it.
    Ref rx = Ref::borrow(found);
    Ref match = Ref::steal(PyObject_CallMethodOneArg(rx.get(), state.str_search, value));
    if (!match) return nullptr;
    if (match.get() == Py_None) Py_RETURN_NONE;
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) return nullptr;
    Ref group = Ref::steal(PyObject_CallMethodOneArg(match.get(), state.str_group, one.get()));
    if (!group) return nullptr;
    Ref text = Ref::steal(PyObject_CallMethodOneArg(group.get(), state.str_decode, state.str_ascii));
    if (!text) return nullptr;
    if (!PyUnicode_CheckExact(text.get()) && text.get() != Py_None) {
        args::raise_expected("str", text.get());
        return nullptr;
    }
    return text.release();
}

PyObject* py_parse_charset(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"value"};
    static args::Signature sig{"parse_charset", names, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    if (!args::exact(a[0], &PyBytes_Type, "value")) return nullptr;
    return parse_charset_impl(a[0]);
}

PyMethodDef functions[] = {
    {"parse_charset", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(py_parse_charset)),
     METH_FASTCALL | METH_KEYWORDS,
     "parse_charset(value: bytes) -> str | None\n\nThe charset parameter of a content-type value, or None."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- loading ----------------------------------------------------------

int import_siblings() {
    Ref contents = Ref::steal(PyImport_ImportModule("brindlewick.contents"));
    if (!contents) return -1;
    Ref cookies = Ref::steal(PyImport_ImportModule("brindlewick.cookies"));
    if (!cookies) return -1;
    Ref url = Ref::steal(PyImport_ImportModule("brindlewick.url"));
    if (!url) return -1;

    using namespace siblings;
    if (capi::import_function(contents.get(), "parse_www_form_urlencoded", state.parse_www_form_urlencoded,
                              kParseWWWFormSig) < 0 ||
        capi::import_function(contents.get(), "charset_codec", state.charset_codec, kCharsetCodecSig) < 0 ||
        capi::import_function(contents.get(), "limit_server_body", state.limit_server_body, kLimitServerBodySig) < 0 ||
        capi::import_function(cookies.get(), "parse_cookie", state.parse_cookie, kParseCookieSig) < 0 ||
        capi::import_function(cookies.get(), "write_cookie_for_response", state.write_cookie_for_response,
                              kWriteCookieSig) < 0 ||
        capi::import_function(cookies.get(), "datetime_to_cookie_format", state.datetime_to_cookie_format,
                              kDatetimeToCookieFormatSig) < 0 ||
        capi::import_function(cookies.get(), "split_value", state.split_value, kSplitValueSig) < 0 ||
        capi::import_function(url.get(), "build_absolute_url", state.build_absolute_url, kBuildAbsoluteURLSig) < 0)
        return -1;

    if (capi::import_types({
        {contents.get(), "Content", sizeof(ContentObject), &state.Content},
        {url.get(), "URL", sizeof(URLObject), &state.URL},
        {cookies.get(), "Cookie", 0, &state.Cookie},
        {contents.get(), "RSGIContent", sizeof(ContentObject), &state.RSGIContent},
        {contents.get(), "ASGIContent", sizeof(ContentObject), &state.ASGIContent},
        }) < 0)
        return -1;

    state.content_nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(state.Content, Py_nb_bool));

    Ref headers = Ref::steal(PyImport_ImportModule("brindlewick.headers"));
    if (!headers) return -1;
    PyTypeObject* headers_type = capi::import_type(headers.get(), "Headers", 0);
    if (!headers_type) return -1;
    Py_XSETREF(state.Headers, headers_type);

    struct NameImport {
        const char* module;
        const char* name;
        PyObject** slot;
    } names[] = {
        {"brindlewick.sessions", "Session", &state.Session},
        {"brindlewick.settings.encodings", "encodings_settings", &state.encodings_settings},
        {"brindlewick.settings.json", "json_settings", &state.json_settings},
        {"brindlewick.settings.body", "body_settings", &state.body_settings},
        {"brindlewick.utils.time", "utcnow", &state.utcnow},
        {"wardkeep", "Identity", &state.Identity},
        {"brindlewick.exceptions", "BadRequest", &state.BadRequest},
        {"brindlewick.exceptions", "BadRequestFormat", &state.BadRequestFormat},
        {"brindlewick.exceptions", "MessageAborted", &state.MessageAborted},
        {"brindlewick.exceptions", "PayloadTooLarge", &state.PayloadTooLarge},
        {"brindlewick.exceptions", "FailedRequestError", &state.FailedRequestError},
        {"pickle", "PickleError", &state.PickleError},
        {"msgspec.json", "decode", &state.msgspec_json_decode},
        {"msgspec", "DecodeError", &state.msgspec_DecodeError},
        {"json.decoder", "JSONDecodeError", &state.JSONDecodeError},
        {"asyncio", "create_task", &state.asyncio_create_task},
        {"asyncio", "get_event_loop", &state.asyncio_get_event_loop},
        {"asyncio", "CancelledError", &state.CancelledError},
        {"brindlewick.contents", "FormPart", &state.FormPart},
        {"brindlewick.contents", "simplify_multipart_data", &state.simplify_multipart_data},
        // brindlewick.multipart imports brindlewick.contents (bound above),
        // never this module, so importing it here makes no cycle.
        {"brindlewick.multipart", "get_boundary_from_header", &state.get_boundary_from_header},
        {"brindlewick.multipart", "parse_multipart_async", &state.parse_multipart_async},
        {"tempfile", "SpooledTemporaryFile", &state.SpooledTemporaryFile},
    };
    for (auto& n : names) {
        Ref module = Ref::steal(PyImport_ImportModule(n.module));
        if (!module) return -1;
        PyObject* value = PyObject_GetAttrString(module.get(), n.name);
        if (!value) return -1;
        Py_XSETREF(*n.slot, value);
    }
    return 0;
}

int make_constants(PyObject* module) {
    struct Str {
        PyObject** slot;
        const char* text;
    } strings[] = {
        {&state.utf8, "utf8"},
        {&state.str_lower, "lower"},
        {&state.str_body_buffer, "body_buffer"},
        {&state.str_search, "search"},
        {&state.str_charset_rx, "_charset_rx"},
        {&state.str_dict, "__dict__"},
        {&state.str_update, "update"},
        {&state.str_new, "__new__"},
        {&state.str_read, "read"},
        {&state.str_read_raw, "read_raw"},
        {&state.str_read_buffer, "read_buffer"},
        {&state.str_stream, "stream"},
        {&state.str_charset, "charset"},
        {&state.str_decode, "decode"},
        {&state.str_encode, "encode"},
        {&state.str_data, "_data"},
        {&state.str_body, "body"},
        {&state.str_content, "content"},
        {&state.str_cancel, "cancel"},
        {&state.str_call_soon, "call_soon"},
        {&state.str_has_custom_loads, "has_custom_loads"},
        {&state.str_loads, "loads"},
        {&state.str_name, "name"},
        {&state.str_file_name, "file_name"},
        {&state.str_content_type, "content_type"},
        {&state.str_write, "write"},
        {&state.str_seek, "seek"},
        {&state.str_items, "items"},
        {&state.str_text, "text"},
        {&state.str_form, "form"},
        {&state.str_multipart, "multipart"},
        {&state.str_multipart_stream, "multipart_stream"},
        {&state.utf8_codec, "utf8"},
        {&state.empty_str, ""},
        {&state.spool_mode, "w+b"},
        {&state.str_data_attr, "data"},
        {&state.str_close, "close"},
        {&state.str_group, "group"},
        {&state.str_ascii, "ascii"},
        {&state.str_unpickle_message, "_unpickle_Message"},
        {&state.str_max_body_size, "max_body_size"},
        {&state.str_max_stream_size, "max_stream_size"},
    };
    for (auto& s : strings) {
        PyObject* o = PyUnicode_InternFromString(s.text);
        if (!o) return -1;
        Py_XSETREF(*s.slot, o);
    }
    PyObject* ct = get_interned_header_name_bytes("content-type", 12);
    Py_XSETREF(state.content_type, ct ? Py_NewRef(ct) : PyBytes_FromString("content-type"));
    Py_XSETREF(state.json, PyBytes_FromString("json"));
    Py_XSETREF(state.xml, PyBytes_FromString("xml"));
    Py_XSETREF(state.empty_bytes, PyBytes_FromStringAndSize("", 0));
    PyObject* cl = get_interned_header_name_bytes("content-length", 14);
    Py_XSETREF(state.h_content_length, cl ? Py_NewRef(cl) : PyBytes_FromString("content-length"));
    Py_XSETREF(state.spool_max_size, PyLong_FromLong(1048576));
    Py_XSETREF(state.zero, PyLong_FromLong(0));
    Py_XSETREF(state.spool_kwnames, Py_BuildValue("(ss)", "max_size", "mode"));
    Py_XSETREF(state.part_kwnames,
               Py_BuildValue("(ssssss)", "name", "data", "file_name", "content_type", "size", "charset"));
    if (!state.content_type || !state.json || !state.xml || !state.empty_bytes ||
        !state.h_content_length || !state.spool_max_size || !state.zero ||
        !state.spool_kwnames || !state.part_kwnames)
        return -1;

    // _charset_rx = re.compile(rb"charset=([\w\-]+)", re.I)
    Ref re = Ref::steal(PyImport_ImportModule("re"));
    if (!re) return -1;
    Ref flag = Ref::steal(PyObject_GetAttrString(re.get(), "I"));
    if (!flag) return -1;
    static const char pattern[] = "charset=([\\w\\-]+)";
    PyObject* rx = PyObject_CallMethod(re.get(), "compile", "y#O", pattern, Py_ssize_t(sizeof pattern - 1), flag.get());
    if (!rx) return -1;
    Py_XSETREF(state.charset_rx, rx);
    return PyModule_AddObjectRef(module, "_charset_rx", rx);
}

int exec(PyObject* module) {
    state.module_dict = PyModule_GetDict(module);
    if (import_siblings() < 0 || make_constants(module) < 0 || read_body_settings() < 0) return -1;
    if (PyModule_AddFunctions(module, functions) < 0 || PyModule_AddFunctions(module, body_functions) < 0 ||
        PyModule_AddFunctions(module, form_functions) < 0 || PyModule_AddFunctions(module, body_limit_functions) < 0)
        return -1;
    if (init_message_type(module) < 0 || init_request_type(module) < 0 || init_response_type(module) < 0)
        return -1;
    return init_pools(module);
}

capi::PackageModule module_def{"brindlewick.messages", "messages",
                               "HTTP message objects: headers, bodies, requests, responses.", nullptr, exec};

}  // namespace

PyObject* parse_charset(PyObject* value) { return parse_charset_impl(value); }

}  // namespace bw::messages

PyMODINIT_FUNC PyInit_messages(void) { return bw::messages::module_def.init(); }
