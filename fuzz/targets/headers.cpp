// Header names and values through a Message: a program of lookups and
// edits (get_headers, get_first_header, get_single_header, has_header,
// add_header, set_header, remove_header) with keys in any letter case and
// of any length, checked step by step against a plain model: a list of
// (name, value) pairs where names match when equal after ASCII lowering.
// Keys come from the interning table, from names already present (with
// their case changed) or from the input, so the identity fast path, the
// in-place comparison and the copy for long keys all run.  A setter given a
// name that is not a token, or a value with CR, LF or NUL, must refuse it
// with ValueError and change nothing.
#include "harness.hpp"

#include "brindlewick/header_check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using harness::Ref;
using Model = std::vector<std::pair<std::string, std::string>>;

PyObject* message_type;

const char* const kKnown[] = {"content-type", "Content-Type", "host", "HOST", "set-cookie", "x-forwarded-for",
                              "access-control-allow-credentials", "cookie", "etag", "te", "content-length"};

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c | 0x20);
    return s;
}

bool matches(const std::string& name, const std::string& key) { return lower(name) == lower(key); }

// What the header setters store: a token name, a value without CR, LF or NUL.
bool sendable(const std::string& name, const std::string& value) {
    if (name.empty()) return false;
    for (char c : name)
        if (!bw::http::kTokenChars[static_cast<unsigned char>(c)]) return false;
    return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
}

std::string pick_key(FuzzedDataProvider& in, const Model& model) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: return kKnown[in.ConsumeIntegralInRange<size_t>(0, std::size(kKnown) - 1)];
        case 1: {
            if (model.empty()) break;
            std::string k = model[in.ConsumeIntegralInRange<size_t>(0, model.size() - 1)].first;
            uint64_t flips = in.ConsumeIntegral<uint64_t>();
            for (size_t i = 0; i < k.size(); i++)
                if ((flips >> (i % 64)) & 1 && ((k[i] | 0x20) >= 'a' && (k[i] | 0x20) <= 'z')) k[i] ^= 0x20;
            return k;
        }
        case 2: return std::string(in.ConsumeIntegralInRange<size_t>(60, 70), 'A' + in.ConsumeIntegralInRange<int>(0, 1));
        default: break;
    }
    return in.ConsumeRandomLengthString(80);
}

Ref call(PyObject* m, const char* method, const std::string& key) {
    return Ref::steal(PyObject_CallMethod(m, method, "y#", key.data(), static_cast<Py_ssize_t>(key.size())));
}

Ref values_of(const Model& model, const std::string& key) {
    Ref list = Ref::steal(PyList_New(0));
    for (auto& [n, v] : model)
        if (matches(n, key)) {
            Ref b = Ref::steal(harness::bytes(v));
            PyList_Append(list.get(), b.get());
        }
    return list;
}

[[noreturn]] void broken(const char* what, const std::string& key, PyObject* got, PyObject* want) {
    harness::fail(what, ("key " + key + ": got " + harness::repr(got) + ", the model says " + harness::repr(want)).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    harness::init();
    message_type = harness::import_attr("brindlewick.messages", "Message");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Model model;
    Ref initial = Ref::steal(PyList_New(0));
    for (int i = in.ConsumeIntegralInRange<int>(0, 6); i > 0; i--) {
        std::string n = pick_key(in, model), v = in.ConsumeRandomLengthString(40);
        model.emplace_back(n, v);
        Ref pair = Ref::steal(Py_BuildValue("(y#y#)", n.data(), static_cast<Py_ssize_t>(n.size()), v.data(),
                                            static_cast<Py_ssize_t>(v.size())));
        PyList_Append(initial.get(), pair.get());
    }
    Ref m = Ref::steal(PyObject_CallOneArg(message_type, initial.get()));
    if (!m) harness::fail("Message() raised");

    for (int steps = 0; steps < 24 && in.remaining_bytes() > 0; steps++) {
        int op = in.ConsumeIntegralInRange<int>(0, 6);
        std::string key = pick_key(in, model);
        Ref want = values_of(model, key);
        Py_ssize_t count = PyList_GET_SIZE(want.get());
        switch (op) {
            case 0: {
                Ref got = call(m.get(), "get_headers", key);
                if (!got || !harness::equal(got.get(), want.get())) broken("get_headers", key, got.get(), want.get());
                break;
            }
            case 1: {
                Ref got = call(m.get(), "get_first_header", key);
                PyObject* first = count ? PyList_GET_ITEM(want.get(), 0) : Py_None;
                if (!got || !harness::equal(got.get(), first)) broken("get_first_header", key, got.get(), first);
                break;
            }
            case 2: {
                Ref got = call(m.get(), "get_single_header", key);
                if (count == 1) {
                    if (!got || !harness::equal(got.get(), PyList_GET_ITEM(want.get(), 0)))
                        broken("get_single_header", key, got.get(), want.get());
                } else {
                    if (got) broken("get_single_header answered for other than one header", key, got.get(), want.get());
                    PyObject* allowed[] = {PyExc_ValueError, nullptr};
                    harness::expect_error(allowed, "get_single_header");
                }
                break;
            }
            case 3: {
                Ref got = call(m.get(), "has_header", key);
                if (!got || (got.get() == Py_True) != (count > 0)) broken("has_header", key, got.get(), want.get());
                break;
            }
            case 4: {
                Ref got = call(m.get(), "remove_header", key);
                if (!got) harness::fail("remove_header raised");
                std::erase_if(model, [&](auto& p) { return matches(p.first, key); });
                break;
            }
            default: {
                std::string value = in.ConsumeRandomLengthString(40);
                const char* method = op == 5 ? "add_header" : "set_header";
                Ref got = Ref::steal(PyObject_CallMethod(m.get(), method, "y#y#", key.data(),
                                                         static_cast<Py_ssize_t>(key.size()), value.data(),
                                                         static_cast<Py_ssize_t>(value.size())));
                if (!sendable(key, value)) {  // refused, and nothing changes
                    if (got) harness::fail("a header that cannot be sent was stored");
                    PyObject* allowed[] = {PyExc_ValueError, nullptr};
                    harness::expect_error(allowed, method);
                    break;
                }
                if (!got) harness::fail(method);
                if (op == 6) std::erase_if(model, [&](auto& p) { return matches(p.first, key); });
                model.emplace_back(key, value);
                break;
            }
        }
    }
    // Every name the model holds reads back whole, in order.
    for (auto& [name, value] : model) {
        Ref got = call(m.get(), "get_headers", name);
        Ref want = values_of(model, name);
        if (!got || !harness::equal(got.get(), want.get())) broken("final get_headers", name, got.get(), want.get());
    }
    return 0;
}
