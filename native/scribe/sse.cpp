// Server-sent events writer: one ServerSentEvent in the text/event-stream
// wire form, lines "field: value\n" in the order id, comment, event, data,
// retry, closed by an empty line.
//
// Every line break a reader would see (CR LF, LF, and a lone CR, which
// event-stream parsers also end a line at) is removed from the id and the
// event name and separates comment lines, so no field value can start a
// line of its own: an id of "1\rdata: x" cannot inject a data field.
#include <Python.h>

#include <string_view>

#include "brindlewick/args.hpp"
#include "brindlewick/buffer.hpp"
#include "brindlewick/pyref.hpp"
#include "scribe_core.hpp"

namespace bw::scribe {

namespace {

// UTF-8 text of a str field; false with an error set.
bool utf8_of(PyObject* text, std::string_view* out) {
    if (!PyUnicode_Check(text)) return args::raise_expected("str", text);
    Py_ssize_t n;
    const char* p = PyUnicode_AsUTF8AndSize(text, &n);
    if (!p) return false;
    *out = {p, static_cast<size_t>(n)};
    return true;
}

// "<prefix><text without line breaks>\n"
bool append_single_line(Buffer& out, std::string_view prefix, std::string_view text) {
    if (!out.append(prefix)) return false;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c != '\r' && c != '\n') continue;
        if (!out.append(text.substr(start, i - start))) return false;
        start = i + 1;
    }
    return out.append(text.substr(start)) && out.append("\n");
}

// ": <line>\n" for each line of `text`, lines separated by CR LF, LF or CR.
bool append_comment(Buffer& out, std::string_view text) {
    size_t start = 0;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c != '\r' && c != '\n') continue;
        if (!out.append(": ") || !out.append(text.substr(start, i - start)) || !out.append("\n")) return false;
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') i++;
        start = i + 1;
    }
    return out.append(": ") && out.append(text.substr(start)) && out.append("\n");
}

inline bool non_empty(PyObject* field) {
    return field != Py_None && !(PyUnicode_Check(field) && PyUnicode_GET_LENGTH(field) == 0);
}

}  // namespace

PyObject* write_sse(ServerSentEventObject* event) {
    // The fields are held from the start: the data's truth test and
    // write_data() run Python code that may replace them.
    Ref id = Ref::borrow(event->id);
    Ref comment = Ref::borrow(event->comment);
    Ref name = Ref::borrow(event->event);
    Ref data = Ref::borrow(event->data);
    int32_t retry = event->retry;

    Buffer out;
    std::string_view text;
    if (non_empty(id.get())) {
        if (!utf8_of(id.get(), &text) || !append_single_line(out, "id: ", text)) return nullptr;
    }
    if (non_empty(comment.get())) {
        if (!utf8_of(comment.get(), &text) || !append_comment(out, text)) return nullptr;
    }
    if (non_empty(name.get())) {
        if (!utf8_of(name.get(), &text) || !append_single_line(out, "event: ", text)) return nullptr;
    }
    int has_data = PyObject_IsTrue(data.get());
    if (has_data < 0) return nullptr;
    if (has_data) {
        Ref line = Ref::steal(event->vtab->write_data(event, 0));
        if (!line) return nullptr;
        if (!utf8_of(line.get(), &text) || !out.append("data: ") || !out.append(text) || !out.append("\n"))
            return nullptr;
    }
    if (retry >= 0) {
        char digits[24];
        int n = PyOS_snprintf(digits, sizeof digits, "retry: %d\n", static_cast<int>(retry));
        if (!out.append(std::string_view(digits, static_cast<size_t>(n)))) return nullptr;
    }
    if (!out.append("\n")) return nullptr;
    return out.to_bytes();
}

namespace {

PyObject* py_write_sse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"event"};
    static args::Signature sig{"write_sse", names, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    if (!args::instance(a[0], state.ServerSentEvent, "event", false)) return nullptr;
    return write_sse(reinterpret_cast<ServerSentEventObject*>(a[0]));
}

}  // namespace

PyMethodDef sse_functions[] = {
    {"write_sse", BW_METH_FASTCALL_KW(py_write_sse),
     "write_sse(event: ServerSentEvent) -> bytes\n\nThe event in text/event-stream form: id, comment, event, "
     "data and retry lines, then an empty line."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace bw::scribe
