// The module's one State struct: its interned names, constants and imported
// names are filled here (each unit that creates a type stores it), and the
// memoryview helper that uses them.
#include <Python.h>

#include <initializer_list>
#include <utility>

#include "brindlewick/pyref.hpp"
#include "contents.hpp"

namespace bw::contents {

State state = {};

PyObject* memoryview_of(PyObject* body) {
    if (body == Py_None) return Py_NewRef(state.empty_view);
    // Callers pass a content's field; a Python __buffer__ may replace it.
    Ref held = Ref::borrow(body);
    return PyMemoryView_FromObject(held.get());
}

namespace {

// Stores `value` (a new reference, may be null) in a state slot.
int store(PyObject*& slot, PyObject* value) {
    if (!value) return -1;
    Py_XSETREF(slot, value);
    return 0;
}

int import_names(const char* module_name, std::initializer_list<std::pair<PyObject**, const char*>> names) {
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module) return -1;
    for (auto& [slot, name] : names)
        if (store(*slot, PyObject_GetAttrString(module.get(), name)) < 0) return -1;
    return 0;
}

}  // namespace

int init_state(PyObject*) {
    struct Entry {
        PyObject** slot;
        const char* text;
    } entries[] = {
        {&state.str_type, "type"},
        {&state.str_body, "body"},
        {&state.str_more_body, "more_body"},
        {&state.str_http_request, "http.request"},
        {&state.str_http_disconnect, "http.disconnect"},
        {&state.str_read, "read"},
        {&state.str_seek, "seek"},
        {&state.str_tell, "tell"},
        {&state.str_close, "close"},
        {&state.empty_str, ""},
        {&state.utf8_codec, "utf-8"},
    };
    for (auto& e : entries)
        if (store(*e.slot, PyUnicode_InternFromString(e.text)) < 0) return -1;

    struct Constant {
        PyObject** slot;
        const char* text;
    } constants[] = {
        {&state.empty_bytes, ""},
        {&state.text_plain, "text/plain; charset=utf-8"},
        {&state.text_html, "text/html; charset=utf-8"},
        {&state.application_json, "application/json"},
        {&state.form_urlencoded, "application/x-www-form-urlencoded"},
    };
    for (auto& c : constants)
        if (store(*c.slot, PyBytes_FromString(c.text)) < 0) return -1;
    if (store(state.empty_view, PyMemoryView_FromObject(state.empty_bytes)) < 0) return -1;

    if (import_names("brindlewick.exceptions", {{&state.MessageAborted, "MessageAborted"},
                                                {&state.InvalidOperation, "InvalidOperation"},
                                                {&state.BadRequest, "BadRequest"},
                                                {&state.PayloadTooLarge, "PayloadTooLarge"}}) < 0)
        return -1;
    if (import_names("msgspec.json", {{&state.json_encode, "encode"}}) < 0) return -1;
    return import_names("os", {{&state.urandom, "urandom"}});
}

}  // namespace bw::contents
