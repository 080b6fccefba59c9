// parse_www_form_urlencoded: whatever it reads from arbitrary bytes, its
// fields encoded again (every byte but the unreserved ones percent-encoded,
// in the dict's order, repeated names as repeated pairs) parse back to the
// same dict; the same text as str parses to the same dict as its UTF-8 bytes.
//
// Message.form(), when the input holds a line break (the content-type before
// it, the body after): the form type is told by the media type alone
// (application/x-www-form-urlencoded gives the fields of the body decoded
// with the charset's codec, or the fallback decoder; multipart bodies may
// only be BadRequest; anything else is None), and a charset outside the
// listed labels is BadRequest while a listed one names a text encoding
// other than utf-7.
#include "harness.hpp"

#include <string>

namespace {

using harness::Ref;

PyObject* parse_form;
PyObject* message_type;
PyObject* content_type_class;
PyObject* parse_charset;
PyObject* charset_codec;
PyObject* codecs_lookup;
PyObject* default_decode;
PyObject* bad_request;

// The result of a coroutine that completes without suspending; null with
// the coroutine's error set.
Ref run_now(PyObject* coro) {
    PyObject* result = nullptr;
    PySendResult r = PyIter_Send(coro, Py_None, &result);
    if (r == PYGEN_NEXT) {
        Py_XDECREF(result);
        harness::fail("form() suspended");
    }
    return Ref::steal(r == PYGEN_RETURN ? result : nullptr);
}

std::string lowered_media_type(std::string_view ct) {
    std::string_view v = ct.substr(0, ct.find(';'));
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
    std::string out(v);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return out;
}

void message_form(std::string_view ct, std::string_view body) {
    Ref ct_bytes = Ref::steal(harness::bytes(ct));
    Ref body_bytes = Ref::steal(harness::bytes(body));
    Ref headers = Ref::steal(Py_BuildValue("[(yO)]", "content-type", ct_bytes.get()));
    Ref m = Ref::steal(PyObject_CallOneArg(message_type, headers.get()));
    Ref content = Ref::steal(PyObject_CallFunction(content_type_class, "yO", "", body_bytes.get()));
    if (!m || !content || PyObject_SetAttrString(m.get(), "content", content.get()) < 0)
        harness::fail("the message could not be built");
    Ref label = Ref::steal(PyObject_CallOneArg(parse_charset, ct_bytes.get()));
    if (!label) harness::fail("parse_charset raised");
    if (label.get() == Py_None) label = Ref::steal(PyUnicode_FromString("utf8"));
    Ref codec = Ref::steal(PyObject_CallOneArg(charset_codec, label.get()));
    if (!codec) {
        PyObject* allowed[] = {bad_request, nullptr};
        harness::expect_error(allowed, "charset_codec");
    } else {
        Ref info = Ref::steal(PyObject_CallOneArg(codecs_lookup, codec.get()));
        Ref text_encoding = info ? Ref::steal(PyObject_GetAttrString(info.get(), "_is_text_encoding")) : Ref();
        Ref name = info ? Ref::steal(PyObject_GetAttrString(info.get(), "name")) : Ref();
        if (!text_encoding || !name) harness::fail("charset_codec gave a codec Python cannot find");
        harness::check(text_encoding.get() == Py_True && PyUnicode_CompareWithASCIIString(name.get(), "utf-7") != 0,
                       "charset_codec gave a codec that is no text encoding, or utf-7", harness::repr(label.get()).c_str());
    }
    std::string media = lowered_media_type(ct);
    Ref coro = Ref::steal(PyObject_CallMethod(m.get(), "form", nullptr));
    if (!coro) harness::fail("form() could not be called");
    Ref result = run_now(coro.get());
    if (media == "multipart/form-data") {
        if (!result) {
            PyObject* allowed[] = {bad_request, nullptr};
            harness::expect_error(allowed, "form() of a multipart body");
        }
        return;
    }
    if (media != "application/x-www-form-urlencoded") {
        if (!result || result.get() != Py_None) harness::fail("form() of another type is not None", harness::repr(ct_bytes.get()).c_str());
        return;
    }
    if (!codec) {
        if (result) harness::fail("form() used a charset outside the list", harness::repr(label.get()).c_str());
        PyObject* allowed[] = {bad_request, nullptr};
        harness::expect_error(allowed, "form() with a charset outside the list");
        return;
    }
    if (!result) harness::fail("form() of a URL-encoded body raised", harness::repr(ct_bytes.get()).c_str());
    Ref text = Ref::steal(PyUnicode_Decode(body.data(), static_cast<Py_ssize_t>(body.size()), PyUnicode_AsUTF8(codec.get()),
                                           nullptr));
    if (!text) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) harness::fail("decoding raised other than UnicodeDecodeError");
        PyObject* error = PyErr_GetRaisedException();
        text = Ref::steal(PyObject_CallFunctionObjArgs(default_decode, body_bytes.get(), error, nullptr));
        Py_DECREF(error);
        if (!text) harness::fail("the fallback decoder raised");
    }
    Ref expected = Ref::steal(PyObject_CallOneArg(parse_form, text.get()));
    if (!expected || !harness::equal(result.get(), expected.get()))
        harness::fail("form() differs from the fields of the decoded body",
                      (harness::repr(ct_bytes.get()) + " " + harness::repr(body_bytes.get())).c_str());
}

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
    message_type = harness::import_attr("brindlewick.messages", "Message");
    content_type_class = harness::import_attr("brindlewick.contents", "Content");
    parse_charset = harness::import_attr("brindlewick.messages", "parse_charset");
    charset_codec = harness::import_attr("brindlewick.contents", "charset_codec");
    codecs_lookup = harness::import_attr("codecs", "lookup");
    default_decode = harness::import_attr("brindlewick.settings.encodings", "default_decode");
    bad_request = harness::import_attr("brindlewick.exceptions", "BadRequest");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    if (size_t nl = input.find('\n'); nl != std::string_view::npos) message_form(input.substr(0, nl), input.substr(nl + 1));
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
