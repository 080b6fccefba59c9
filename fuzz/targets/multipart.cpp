// The multipart parser under random chunking: the same body gives the same
// parts (headers and data) and the same outcome (complete, or the same
// BadRequest) whether it arrives whole, one byte at a time or in chunks of
// sizes drawn from the input.  Parts are pulled the way the streaming
// reader pulls them: next_part(), then read_data() until None, feeding a
// chunk whenever the parser answers b"".
//
// No header value of a part (name, file name, content type, charset) holds
// CR, LF or NUL.
//
// Input: one byte L, then a boundary of 1 + L % 70 bytes (line breaks
// replaced), four bytes of chunking seed, then the body.
#include "harness.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace {

using harness::Ref;

PyObject* parser_type;
PyObject* bad_request;

struct Outcome {
    std::vector<std::string> parts;  // repr of the part's headers, then its data
    std::string end;                 // "done", or the error's type and text
};

struct Feeder {
    std::string_view body;
    size_t pos = 0;
    harness::Rng rng;
    int mode;  // 0 whole, 1 byte by byte, 2 random sizes

    // Hands the next chunk over, or finishes the body; false once finished.
    bool feed(PyObject* parser, bool& finished) {
        if (pos >= body.size()) {
            if (finished) harness::fail("the parser asked for input after finish()");
            finished = true;
            Ref r = Ref::steal(PyObject_CallMethod(parser, "finish", nullptr));
            return static_cast<bool>(r);
        }
        size_t n = mode == 0 ? body.size() : mode == 1 ? 1 : 1 + rng.below(rng.below(4) == 0 ? 3 : 97);
        if (n > body.size() - pos) n = body.size() - pos;
        Ref chunk = Ref::steal(harness::bytes(body.substr(pos, n)));
        pos += n;
        Ref r = Ref::steal(PyObject_CallMethod(parser, "feed", "O", chunk.get()));
        return static_cast<bool>(r);
    }
};

bool is_empty_bytes(PyObject* o) { return PyBytes_CheckExact(o) && PyBytes_GET_SIZE(o) == 0; }

Outcome run(std::string_view boundary, std::string_view body, int mode, uint32_t seed) {
    Outcome out;
    Ref b = Ref::steal(harness::bytes(boundary));
    Ref parser = Ref::steal(PyObject_CallOneArg(parser_type, b.get()));
    if (!parser) harness::fail("Parser() refused a valid boundary");
    Feeder feeder{body, 0, harness::Rng(seed), mode};
    bool finished = false;
    auto error = [&]() {
        if (!PyErr_ExceptionMatches(bad_request)) harness::fail("the parser raised other than BadRequest");
        PyObject* exc = PyErr_GetRaisedException();
        out.end = "BadRequest: " + harness::repr(exc);
        Py_DECREF(exc);
        return out;
    };
    for (int guard = 0;; guard++) {
        if (guard > 1000000) harness::fail("the parser does not progress");
        Ref part = Ref::steal(PyObject_CallMethod(parser.get(), "next_part", nullptr));
        if (!part) return error();
        if (part.get() == Py_None) break;
        if (is_empty_bytes(part.get())) {
            if (!feeder.feed(parser.get(), finished)) return error();
            continue;
        }
        harness::check(PyTuple_CheckExact(part.get()) && PyTuple_GET_SIZE(part.get()) == 4,
                       "next_part() gave other than a 4-tuple");
        // No header value reaches the application with a line break or NUL
        // (a decoded filename* included).
        for (Py_ssize_t i = 0; i < 4; i++) {
            PyObject* field = PyTuple_GET_ITEM(part.get(), i);
            if (field == Py_None) continue;
            harness::check(PyUnicode_Check(field), "a part header value is not str");
            Py_ssize_t n = PyUnicode_GET_LENGTH(field);
            for (Py_UCS4 c : {Py_UCS4('\r'), Py_UCS4('\n'), Py_UCS4(0)})
                if (PyUnicode_FindChar(field, c, 0, n, 1) >= 0)
                    harness::fail("a part header value holds CR, LF or NUL", harness::repr(part.get()).c_str());
        }
        out.parts.push_back(harness::repr(part.get()));
        std::string data;
        for (;;) {
            Ref piece = Ref::steal(PyObject_CallMethod(parser.get(), "read_data", nullptr));
            if (!piece) return error();
            if (piece.get() == Py_None) break;
            harness::check(PyBytes_CheckExact(piece.get()), "read_data() gave other than bytes");
            if (PyBytes_GET_SIZE(piece.get()) == 0) {
                if (!feeder.feed(parser.get(), finished)) return error();
                continue;
            }
            data += harness::view_of(piece.get());
        }
        out.parts.push_back(std::move(data));
    }
    // After the closing boundary the rest of the body is ignored: finish()
    // succeeds whether or not all of it was fed.
    if (!finished) {
        Ref r = Ref::steal(PyObject_CallMethod(parser.get(), "finish", nullptr));
        if (!r) harness::fail("finish() after the closing boundary raised");
    }
    Ref done = Ref::steal(PyObject_GetAttrString(parser.get(), "done"));
    harness::check(done.get() == Py_True, "next_part() gave None before the closing boundary");
    out.end = "done";
    return out;
}

std::string describe(const Outcome& o) {
    std::string s;
    for (auto& p : o.parts) s += harness::repr(Ref::steal(harness::bytes(p)).get()) + "\n";
    return s + o.end;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    harness::init();
    parser_type = harness::import_attr("brindlewick._multipart", "Parser");
    bad_request = harness::import_attr("brindlewick.exceptions", "BadRequest");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) return 0;
    size_t blen = 1 + data[0] % 70;
    if (size < 1 + blen + 4) return 0;
    std::string boundary(reinterpret_cast<const char*>(data) + 1, blen);
    for (char& c : boundary)
        if (c == '\r' || c == '\n') c = '-';
    uint32_t seed;
    memcpy(&seed, data + 1 + blen, 4);
    std::string_view body(reinterpret_cast<const char*>(data) + 1 + blen + 4, size - 1 - blen - 4);

    Outcome whole = run(boundary, body, 0, seed);
    Outcome bytewise = run(boundary, body, 1, seed);
    Outcome chunked = run(boundary, body, 2, seed);
    if (whole.parts != bytewise.parts || whole.end != bytewise.end)
        harness::fail("one byte at a time gives other parts",
                      ("whole:\n" + describe(whole) + "\nbyte by byte:\n" + describe(bytewise)).c_str());
    if (whole.parts != chunked.parts || whole.end != chunked.end)
        harness::fail("random chunks give other parts",
                      ("whole:\n" + describe(whole) + "\nchunked:\n" + describe(chunked)).c_str());
    return 0;
}
