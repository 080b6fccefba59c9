// Module brindlewick.messages: initialisation, sibling bindings and the
// module-level functions of the message core.
#include <Python.h>

#include "brindlewick/args.hpp"
#include "brindlewick/capi.hpp"
#include "brindlewick/fast_parse.h"
#include "brindlewick/pyref.hpp"
#include "message_core.hpp"

namespace bw::messages {

Bindings bound = {};
Constants constants = {};
PyObject* module_dict = nullptr;

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
    PyObject* rx = PyDict_GetItemWithError(module_dict, constants.str_charset_rx);  // borrowed
    if (!rx) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", constants.str_charset_rx);
        return nullptr;
    }
    if (rx == constants.charset_rx && PyBytes_CheckExact(value)) return search_charset_natively(value);
    // Someone replaced the pattern: use it as given.
    Ref match = Ref::steal(PyObject_CallMethodOneArg(rx, constants.str_search, value));
    if (!match) return nullptr;
    if (match.get() == Py_None) Py_RETURN_NONE;
    Ref group = Ref::steal(PyObject_CallMethod(match.get(), "group", "i", 1));
    if (!group) return nullptr;
    Ref text = Ref::steal(PyObject_CallMethod(group.get(), "decode", "s", "ascii"));
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
    if (capi::import_function(contents.get(), "parse_www_form_urlencoded", bound.parse_www_form_urlencoded,
                              kParseWWWFormSig) < 0 ||
        capi::import_function(cookies.get(), "parse_cookie", bound.parse_cookie, kParseCookieSig) < 0 ||
        capi::import_function(cookies.get(), "write_cookie_for_response", bound.write_cookie_for_response,
                              kWriteCookieSig) < 0 ||
        capi::import_function(cookies.get(), "datetime_to_cookie_format", bound.datetime_to_cookie_format,
                              kDatetimeToCookieFormatSig) < 0 ||
        capi::import_function(cookies.get(), "split_value", bound.split_value, kSplitValueSig) < 0 ||
        capi::import_function(url.get(), "build_absolute_url", bound.build_absolute_url, kBuildAbsoluteURLSig) < 0)
        return -1;

    struct TypeImport {
        PyObject* module;
        const char* name;
        size_t basicsize;
        PyTypeObject** slot;
    } types[] = {
        {contents.get(), "Content", sizeof(ContentObject), &bound.Content},
        {url.get(), "URL", sizeof(URLObject), &bound.URL},
        {cookies.get(), "Cookie", 0, &bound.Cookie},
        {contents.get(), "RSGIContent", sizeof(ContentObject), &bound.RSGIContent},
        {contents.get(), "ASGIContent", sizeof(ContentObject), &bound.ASGIContent},
    };
    for (auto& t : types) {
        PyTypeObject* type = capi::import_type(t.module, t.name, t.basicsize);
        if (!type) return -1;
        Py_XSETREF(*t.slot, type);
    }

    Ref headers = Ref::steal(PyImport_ImportModule("brindlewick.headers"));
    if (!headers) return -1;
    PyTypeObject* headers_type = capi::import_type(headers.get(), "Headers", 0);
    if (!headers_type) return -1;
    Py_XSETREF(bound.Headers, headers_type);

    struct NameImport {
        const char* module;
        const char* name;
        PyObject** slot;
    } names[] = {
        {"brindlewick.sessions", "Session", &bound.Session},
        {"brindlewick.settings.encodings", "encodings_settings", &bound.encodings_settings},
        {"brindlewick.settings.json", "json_settings", &bound.json_settings},
        {"brindlewick.utils.time", "utcnow", &bound.utcnow},
        {"wardkeep", "Identity", &bound.Identity},
        {"brindlewick.exceptions", "BadRequest", &bound.BadRequest},
        {"brindlewick.exceptions", "BadRequestFormat", &bound.BadRequestFormat},
        {"brindlewick.exceptions", "MessageAborted", &bound.MessageAborted},
        {"brindlewick.exceptions", "InvalidArgument", &bound.InvalidArgument},
        {"brindlewick.exceptions", "InvalidOperation", &bound.InvalidOperation},
        {"brindlewick.exceptions", "FailedRequestError", &bound.FailedRequestError},
        {"pickle", "PickleError", &bound.PickleError},
        {"msgspec.json", "decode", &bound.msgspec_json_decode},
        {"msgspec", "DecodeError", &bound.msgspec_DecodeError},
        {"json.decoder", "JSONDecodeError", &bound.JSONDecodeError},
        {"asyncio", "create_task", &bound.asyncio_create_task},
        {"asyncio", "get_event_loop", &bound.asyncio_get_event_loop},
        {"asyncio", "CancelledError", &bound.CancelledError},
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
        {&constants.utf8, "utf8"},
        {&constants.str_lower, "lower"},
        {&constants.str_body_buffer, "body_buffer"},
        {&constants.str_search, "search"},
        {&constants.str_charset_rx, "_charset_rx"},
        {&constants.str_dict, "__dict__"},
        {&constants.str_update, "update"},
        {&constants.str_new, "__new__"},
        {&constants.str_read, "read"},
        {&constants.str_read_raw, "read_raw"},
        {&constants.str_read_buffer, "read_buffer"},
        {&constants.str_stream, "stream"},
        {&constants.str_charset, "charset"},
        {&constants.str_decode, "decode"},
        {&constants.str_encode, "encode"},
        {&constants.str_data, "_data"},
        {&constants.str_body, "body"},
        {&constants.str_content, "content"},
        {&constants.str_cancel, "cancel"},
        {&constants.str_call_soon, "call_soon"},
        {&constants.str_has_custom_loads, "has_custom_loads"},
        {&constants.str_loads, "loads"},
        {&constants.str_name, "name"},
        {&constants.str_file_name, "file_name"},
        {&constants.str_content_type, "content_type"},
        {&constants.str_write, "write"},
        {&constants.str_seek, "seek"},
        {&constants.str_items, "items"},
        {&constants.str_text, "text"},
        {&constants.str_form, "form"},
        {&constants.str_multipart, "multipart"},
        {&constants.str_multipart_stream, "multipart_stream"},
        {&constants.utf8_codec, "utf8"},
        {&constants.empty_str, ""},
    };
    for (auto& s : strings) {
        PyObject* o = PyUnicode_InternFromString(s.text);
        if (!o) return -1;
        Py_XSETREF(*s.slot, o);
    }
    PyObject* ct = get_interned_header_name_bytes("content-type", 12);
    Py_XSETREF(constants.content_type, ct ? Py_NewRef(ct) : PyBytes_FromString("content-type"));
    Py_XSETREF(constants.json, PyBytes_FromString("json"));
    Py_XSETREF(constants.xml, PyBytes_FromString("xml"));
    Py_XSETREF(constants.empty_bytes, PyBytes_FromStringAndSize("", 0));
    Py_XSETREF(constants.form_urlencoded, PyBytes_FromString("application/x-www-form-urlencoded"));
    Py_XSETREF(constants.form_multipart, PyBytes_FromString("multipart/form-data;"));
    Py_XSETREF(constants.spool_max_size, PyLong_FromLong(1048576));
    Py_XSETREF(constants.zero, PyLong_FromLong(0));
    if (!constants.content_type || !constants.json || !constants.xml || !constants.empty_bytes ||
        !constants.form_urlencoded || !constants.form_multipart || !constants.spool_max_size || !constants.zero)
        return -1;

    // _charset_rx = re.compile(rb"charset=([\w\-]+)", re.I)
    Ref re = Ref::steal(PyImport_ImportModule("re"));
    if (!re) return -1;
    Ref flag = Ref::steal(PyObject_GetAttrString(re.get(), "I"));
    if (!flag) return -1;
    static const char pattern[] = "charset=([\\w\\-]+)";
    PyObject* rx = PyObject_CallMethod(re.get(), "compile", "y#O", pattern, Py_ssize_t(sizeof pattern - 1), flag.get());
    if (!rx) return -1;
    Py_XSETREF(constants.charset_rx, rx);
    return PyModule_AddObjectRef(module, "_charset_rx", rx);
}

int exec(PyObject* module) {
    module_dict = PyModule_GetDict(module);
    if (import_siblings() < 0 || make_constants(module) < 0) return -1;
    if (PyModule_AddFunctions(module, functions) < 0 || PyModule_AddFunctions(module, body_functions) < 0 ||
        PyModule_AddFunctions(module, form_functions) < 0)
        return -1;
    return init_message_type(module);
}

capi::PackageModule module_def{"brindlewick.messages", "messages",
                               "HTTP message objects: headers, bodies, requests, responses.", nullptr, exec};

}  // namespace

PyObject* parse_charset(PyObject* value) { return parse_charset_impl(value); }

}  // namespace bw::messages

PyMODINIT_FUNC PyInit_messages(void) { return bw::messages::module_def.init(); }
