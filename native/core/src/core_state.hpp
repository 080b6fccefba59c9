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

inline uint32_t hash_bytes(const char* data, size_t length) noexcept {
    uint32_t h = 2166136261u;  // FNV-1a
    for (size_t i = 0; i < length; i++) {
        h ^= static_cast<unsigned char>(data[i]);
        h *= 16777619u;
    }
    return h;
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
            if (s.length == static_cast<uint32_t>(length) && std::memcmp(s.data, data, s.length) == 0)
                return s.object;
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
