// Shared set-up of the libFuzzer targets.
//
// Each target is an executable that embeds the interpreter: the first call
// of `harness::init()` (from LLVMFuzzerInitialize) starts it with the
// malloc allocator (so ASan sees every allocation) and the importable tree
// of the fuzz build on sys.path.  `check()` turns a broken property into an
// abort with the input's story on stderr, which libFuzzer reports as a
// crash and saves as a reproducer.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "brindlewick/pyref.hpp"

namespace harness {

using bw::Ref;

void init();

// The attribute `name` of module `module` (a new reference); aborts when
// it is missing, since a target without its subject tests nothing.
PyObject* import_attr(const char* module, const char* name);

[[noreturn]] void fail(const char* what, const char* detail = nullptr);

inline void check(bool ok, const char* what, const char* detail = nullptr) {
    if (!ok) fail(what, detail);
}

// repr() of an object as UTF-8 text, for failure messages.
std::string repr(PyObject* obj);

// Equality of two objects by ==; aborts when the comparison itself raises.
bool equal(PyObject* a, PyObject* b);

// Drops the pending exception; aborts when it is not an instance of one of
// `allowed` (a NULL-terminated list), or when no exception is set.
void expect_error(PyObject* const* allowed, const char* where);

// A tiny deterministic generator for chunk sizes and choices derived from
// the input.
struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ULL + 1) {}
    uint64_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    size_t below(size_t n) { return n ? static_cast<size_t>(next() % n) : 0; }
};

inline PyObject* bytes(std::string_view s) { return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

inline std::string_view view_of(PyObject* b) {
    return {PyBytes_AS_STRING(b), static_cast<size_t>(PyBytes_GET_SIZE(b))};
}

}  // namespace harness
