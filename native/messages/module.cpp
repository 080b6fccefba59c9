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
    PyObject* found = PyDict_GetItemWithError(state.module_dict, state.str__charset_rx);  // borrowed
    if (!found) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", state.str__charset_rx);
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

// What the declared list does not hold: the content classes' truth test,
// the keyword names of the calls that make spooled files and form parts,
// and _charset_rx.
int make_constants(PyObject* module) {
    state.content_nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(state.Content, Py_nb_bool));
    Py_XSETREF(state.spool_kwnames, Py_BuildValue("(ss)", "max_size", "mode"));
    Py_XSETREF(state.part_kwnames,
               Py_BuildValue("(ssssss)", "name", "data", "file_name", "content_type", "size", "charset"));
    if (!state.spool_kwnames || !state.part_kwnames) return -1;

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

int load(PyObject* module) {
    if (fill_state() < 0 || make_constants(module) < 0 || read_body_settings() < 0) return -1;
    if (PyModule_AddFunctions(module, functions) < 0 || PyModule_AddFunctions(module, body_functions) < 0 ||
        PyModule_AddFunctions(module, form_functions) < 0 || PyModule_AddFunctions(module, body_limit_functions) < 0)
        return -1;
    if (init_message_type(module) < 0 || init_request_type(module) < 0 || init_response_type(module) < 0)
        return -1;
    return init_pools(module);
}

int exec(PyObject* module) {
    state.module_dict = PyModule_GetDict(module);
    if (load(module) == 0) return 0;
    clear_state();
    return -1;
}

capi::PackageModule module_def{"brindlewick.messages", "messages",
                               "HTTP message objects: headers, bodies, requests, responses.", nullptr, exec};

}  // namespace

PyObject* parse_charset(PyObject* value) { return parse_charset_impl(value); }

int fill_state() {
    using namespace siblings;
    State& s = state;
    BW_MESSAGES_STATE(BW_STATE_FILL)
    return 0;
}

void clear_state() {
    State& s = state;
    BW_MESSAGES_STATE(BW_STATE_CLEAR)
    for (PyTypeObject** type : {&s.MessageType, &s.RequestType, &s.ResponseType, &s.ThreadLocalFreelist})
        Py_CLEAR(*type);
    for (PyObject** object : {&s.tls, &s.charset_rx, &s.spool_kwnames, &s.part_kwnames, &s.client_default,
                              &s.timedelta_year, &s.read_stream_fn, &s.call_soon_fn})
        Py_CLEAR(*object);
    s.module_dict = nullptr;
    s.content_nb_bool = nullptr;
    for (ThreadDictEntry& e : s.thread_dicts) e = {0, nullptr};
}

}  // namespace bw::messages

PyMODINIT_FUNC PyInit_messages(void) { return bw::messages::module_def.init(); }
