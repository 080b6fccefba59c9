// parse_www_form_urlencoded: whatever it reads from arbitrary bytes, its
// fields encoded again (every byte but the unreserved ones percent-encoded,
// in the dict's order, repeated names as repeated pairs) parse back to the
// same dict; the same text as str parses to the same dict as its UTF-8 bytes.
#include "harness.hpp"

#include <string>

namespace {

using harness::Ref;

PyObject* parse_form;

void encode_text(PyObject* text, std::string& out) {
    static const char hex[] = "0123456789ABCDEF";
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(text, &n);
    if (!s) harness::fail("a decoded field is not encodable as UTF-8");
    for (Py_ssize_t i = 0; i < n; i++) {
        auto c = static_cast<unsigned char>(s[i]);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
}

void encode_pair(PyObject* name, PyObject* value, std::string& out) {
    harness::check(PyUnicode_CheckExact(name) && PyUnicode_CheckExact(value), "a field is not str");
    if (!out.empty()) out += '&';
    encode_text(name, out);
    out += '=';
    encode_text(value, out);
}

Ref parse(PyObject* arg) {
    Ref result = Ref::steal(PyObject_CallOneArg(parse_form, arg));
    if (!result) harness::fail("parse_www_form_urlencoded raised", harness::repr(arg).c_str());
    harness::check(PyDict_CheckExact(result.get()), "the result is not a dict");
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    harness::init();
    parse_form = harness::import_attr("brindlewick.contents", "parse_www_form_urlencoded");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Ref raw = Ref::steal(harness::bytes({reinterpret_cast<const char*>(data), size}));
    Ref fields = parse(raw.get());

    std::string encoded;
    PyObject *name, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(fields.get(), &pos, &name, &value)) {
        if (PyList_CheckExact(value)) {
            harness::check(PyList_GET_SIZE(value) >= 2, "a repeated name holds fewer than two values");
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); i++) encode_pair(name, PyList_GET_ITEM(value, i), encoded);
        } else {
            encode_pair(name, value, encoded);
        }
    }
    Ref again_raw = Ref::steal(harness::bytes(encoded));
    Ref again = parse(again_raw.get());
    if (!harness::equal(fields.get(), again.get()))
        harness::fail("re-encoded fields parse differently",
                      (harness::repr(raw.get()) + " -> " + harness::repr(fields.get()) + "; " + encoded + " -> " +
                       harness::repr(again.get()))
                          .c_str());

    // The str form of valid UTF-8 input reads the same.
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size), nullptr));
    if (!text) {
        PyErr_Clear();
        return 0;
    }
    Ref from_text = parse(text.get());
    if (!harness::equal(fields.get(), from_text.get())) harness::fail("str and bytes input parse differently");
    return 0;
}
