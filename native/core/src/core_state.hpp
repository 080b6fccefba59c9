// The one state record of the core library `_brindlewick_core`: the
// interning tables and the native coroutine facility's types and cached
// objects.  Filled once per process by brindlewick_core_init(), which every
// extension module's exec step calls before its own (the modules load into
// one interpreter per process, so process-wide state is the interpreter's
// state).  Private to the core library.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace bw::core {

struct InternSlot {
    const char* data;
    uint32_t length;
    PyObject* object;  // owned for the life of the process
};

// Keys are read as 64-bit words (header names are looked up on every
// request): the whole words, then the last eight bytes (overlapping the
// words before them), or for a key shorter than eight bytes two
// overlapping halves or three single bytes.  For keys of one length the
// words cover every byte, so equal words mean equal keys.
inline uint64_t load_word(const char* p) noexcept {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

inline uint64_t load_short(const char* p, size_t n) noexcept {  // n < 8
    if (n >= 4) {
        uint32_t head, tail;
        std::memcpy(&head, p, 4);
        std::memcpy(&tail, p + n - 4, 4);
        return head | (uint64_t(tail) << 32);
    }
    if (n == 0) return 0;
    auto byte = [p](size_t i) { return uint64_t(static_cast<unsigned char>(p[i])); };
    return byte(0) | (byte(n / 2) << 8) | (byte(n - 1) << 16);
}

inline uint32_t hash_bytes(const char* data, size_t length) noexcept {
    constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
    uint64_t h = (length + 1) * kMul;
    if (length < 8) {
        h = (h ^ load_short(data, length)) * kMul;
    } else {
        for (size_t i = 0; i + 8 <= length; i += 8) h = (h ^ load_word(data + i)) * kMul;
        h = (h ^ load_word(data + length - 8)) * kMul;
    }
    return static_cast<uint32_t>(h ^ (h >> 32));
}

// a[0:n] == b[0:n] for two keys of length n, by the same words.
inline bool equal_bytes(const char* a, const char* b, size_t n) noexcept {
    if (n < 8) return load_short(a, n) == load_short(b, n);
    for (size_t i = 0; i + 8 <= n; i += 8)
        if (load_word(a + i) != load_word(b + i)) return false;
    return load_word(a + n - 8) == load_word(b + n - 8);
}

// Open-addressed table with linear probing; capacity is a power of two at
// least twice the number of entries, so every probe sequence ends quickly.
template <size_t Capacity>
class InternTable {
public:
    // Takes over `object` (a new reference).
    void insert(const char* text, PyObject* object) noexcept {
        size_t length = std::strlen(text);
        size_t i = hash_bytes(text, length) & (Capacity - 1);
        while (slots_[i].data) {
            if (slots_[i].length == length && std::memcmp(slots_[i].data, text, length) == 0) {
                Py_DECREF(object);
                return;
            }
            i = (i + 1) & (Capacity - 1);
        }
        slots_[i] = InternSlot{text, static_cast<uint32_t>(length), object};
        if (length > max_length_) max_length_ = length;
    }

    PyObject* find(const char* data, Py_ssize_t length) const noexcept {
        if (!data || length <= 0 || static_cast<size_t>(length) > max_length_) return nullptr;
        size_t i = hash_bytes(data, static_cast<size_t>(length)) & (Capacity - 1);
        while (slots_[i].data) {
            const InternSlot& s = slots_[i];
            if (s.length == static_cast<uint32_t>(length) && equal_bytes(s.data, data, s.length)) return s.object;
            i = (i + 1) & (Capacity - 1);
        }
        return nullptr;
    }

private:
    InternSlot slots_[Capacity] = {};
    size_t max_length_ = 0;
};

// Code object naming the native coroutines of one qualname (their cr_code).
struct CodeEntry {
    const char* qualname;  // static storage, compared by address
    PyObject* code;        // owned for the life of the process
};

struct State {
    bool interning_ready;
    bool coroutines_ready;

    InternTable<512> header_names;
    InternTable<32> methods;
    InternTable<64> content_types;

    // Types of the native coroutine objects (live as long as the process).
    PyTypeObject* coro_type;
    PyTypeObject* agen_type;
    PyTypeObject* step_type;
    // The cr_await getter of Python's own coroutines: a Python coroutine that
    // is suspended in an await is being awaited by someone already.
    getter py_coro_cr_await;
    // warnings._warn_unawaited_coroutine (formats cr_origin), or null.
    PyObject* warn_unawaited;
    // Globals of the frames that stand for native coroutines in tracebacks
    // and call graphs.
    PyObject* frame_globals;
    PyObject* str_replace;
    PyObject* str_co_qualname;
    PyObject* str_cancelling;
    PyObject* native_filename;
    // asyncio.current_task, imported on the first cancellation check (the
    // core library does not import asyncio for modules that never need it).
    PyObject* current_task;

    static constexpr int kMaxCodes = 64;
    CodeEntry codes[kMaxCodes];
    int code_count;
};

// The core library's state; zero-initialised static storage.
extern State state;

// Init steps of the parts of the core library; 0, or -1 with an error set.
int init_interning() noexcept;
int init_coroutines() noexcept;

}  // namespace bw::core
