// Cookies, both directions.
//
// Set-cookie values: a value that parse_cookie accepts is written by
// write_cookie_for_response to a value that parses back to an equal Cookie,
// and writing that one gives the same bytes again.  Refusals are ValueError.
//
// Cookie request headers: the cookies a Request reads from the header are
// those of the lenient reading (';' separates, spaces and tabs around names
// and values are trimmed, fragments without '=' or that are not UTF-8 are
// skipped, names and values percent-decoded as urllib's unquote does), and
// set one by one with Request.set_cookie on a fresh request they read back
// equal.  Reading never raises.
//
// The first input byte picks the direction; the rest is the header value.
#include "harness.hpp"

namespace {

using harness::Ref;

PyObject* parse_cookie;
PyObject* write_cookie;
PyObject* split_value;
PyObject* request_type;
PyObject* unquote;

// The cookies of one header by the lenient reading.
Ref cookie_model(PyObject* raw) {
    Ref cookies = Ref::steal(PyDict_New());
    std::string_view s = harness::view_of(raw);
    auto trim = [](std::string_view v) {
        while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
        while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
        return v;
    };
    for (size_t start = 0; start <= s.size();) {
        size_t end = s.find(';', start);
        if (end == std::string_view::npos) end = s.size();
        std::string_view fragment = s.substr(start, end - start);
        start = end + 1;
        size_t eq = fragment.find('=');
        if (eq == std::string_view::npos) continue;
        std::string_view name = trim(fragment.substr(0, eq)), value = trim(fragment.substr(eq + 1));
        Ref n = Ref::steal(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr));
        Ref v = n ? Ref::steal(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), nullptr))
                  : Ref();
        if (!v) {
            PyErr_Clear();
            continue;
        }
        Ref un = Ref::steal(PyObject_CallOneArg(unquote, n.get()));
        Ref uv = Ref::steal(PyObject_CallOneArg(unquote, v.get()));
        if (!un || !uv || PyDict_SetItem(cookies.get(), un.get(), uv.get()) < 0) harness::fail("the cookie model failed");
    }
    return cookies;
}

void set_cookie_value(PyObject* raw) {
    Ref cookie = Ref::steal(PyObject_CallOneArg(parse_cookie, raw));
    if (!cookie) {
        PyObject* allowed[] = {PyExc_ValueError, nullptr};
        harness::expect_error(allowed, "parse_cookie");
        return;
    }
    Ref written = Ref::steal(PyObject_CallOneArg(write_cookie, cookie.get()));
    if (!written) harness::fail("write_cookie_for_response raised on a parsed cookie", harness::repr(raw).c_str());
    Ref again = Ref::steal(PyObject_CallOneArg(parse_cookie, written.get()));
    if (!again)
        harness::fail("a written cookie does not parse",
                      (harness::repr(raw) + " -> " + harness::repr(written.get())).c_str());
    if (!harness::equal(cookie.get(), again.get()))
        harness::fail("a written cookie parses to another cookie",
                      (harness::repr(raw) + " -> " + harness::repr(written.get())).c_str());
    Ref rewritten = Ref::steal(PyObject_CallOneArg(write_cookie, again.get()));
    if (!rewritten || !harness::equal(written.get(), rewritten.get()))
        harness::fail("writing a cookie twice gives different bytes", harness::repr(raw).c_str());
}

Ref request_with(PyObject* headers) {
    Ref request = Ref::steal(PyObject_CallFunction(request_type, "syO", "GET", "/", headers));
    if (!request) harness::fail("Request() raised");
    return request;
}

void request_header(PyObject* raw) {
    Ref headers = Ref::steal(Py_BuildValue("[(yO)]", "cookie", raw));
    Ref request = request_with(headers.get());
    Ref cookies = Ref::steal(PyObject_GetAttrString(request.get(), "cookies"));
    if (!cookies) harness::fail("Request.cookies raised", harness::repr(raw).c_str());
    harness::check(PyDict_CheckExact(cookies.get()), "Request.cookies is not a dict");
    Ref model = cookie_model(raw);
    if (!harness::equal(cookies.get(), model.get()))
        harness::fail("Request.cookies differs from the lenient reading",
                      (harness::repr(raw) + " -> " + harness::repr(cookies.get()) + ", expected " +
                       harness::repr(model.get()))
                          .c_str());
    Ref empty = Ref::steal(PyList_New(0));
    Ref fresh = request_with(empty.get());
    PyObject *name, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(cookies.get(), &pos, &name, &value)) {
        Ref done = Ref::steal(PyObject_CallMethod(fresh.get(), "set_cookie", "OO", name, value));
        if (!done) {
            // Names set_cookie cannot carry are refused with a clear error.
            PyObject* allowed[] = {PyExc_ValueError, nullptr};
            harness::expect_error(allowed, "Request.set_cookie");
            return;
        }
    }
    Ref back = Ref::steal(PyObject_GetAttrString(fresh.get(), "cookies"));
    if (!back) harness::fail("cookies set with set_cookie do not read back");
    if (!harness::equal(cookies.get(), back.get())) {
        Ref header = Ref::steal(PyObject_CallMethod(fresh.get(), "get_headers", "y", "cookie"));
        harness::fail("cookies set with set_cookie read back differently",
                      (harness::repr(raw) + " -> " + harness::repr(cookies.get()) + "; written " +
                       harness::repr(header.get()) + " -> " + harness::repr(back.get()))
                          .c_str());
    }
}

// split_value: both sides stripped of spaces and tabs, the separator found
// first.
void split(PyObject* raw) {
    Ref sep = Ref::steal(PyBytes_FromString("="));
    Ref pair = Ref::steal(PyObject_CallFunctionObjArgs(split_value, raw, sep.get(), nullptr));
    std::string_view s = harness::view_of(raw);
    size_t at = s.find('=');
    if (!pair) {
        harness::check(at == std::string_view::npos, "split_value missed the separator");
        PyObject* allowed[] = {PyExc_ValueError, nullptr};
        harness::expect_error(allowed, "split_value");
        return;
    }
    auto strip = [](std::string_view v) {
        while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
        while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
        return v;
    };
    harness::check(at != std::string_view::npos, "split_value split without a separator");
    harness::check(harness::view_of(PyTuple_GET_ITEM(pair.get(), 0)) == strip(s.substr(0, at)) &&
                       harness::view_of(PyTuple_GET_ITEM(pair.get(), 1)) == strip(s.substr(at + 1)),
                   "split_value sides are wrong");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    harness::init();
    parse_cookie = harness::import_attr("brindlewick.cookies", "parse_cookie");
    write_cookie = harness::import_attr("brindlewick.cookies", "write_cookie_for_response");
    split_value = harness::import_attr("brindlewick.cookies", "split_value");
    request_type = harness::import_attr("brindlewick.messages", "Request");
    unquote = harness::import_attr("urllib.parse", "unquote");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    Ref raw = Ref::steal(harness::bytes({reinterpret_cast<const char*>(data) + 1, size - 1}));
    switch (data[0] % 3) {
        case 0: set_cookie_value(raw.get()); break;
        case 1: request_header(raw.get()); break;
        default: split(raw.get()); break;
    }
    return 0;
}
