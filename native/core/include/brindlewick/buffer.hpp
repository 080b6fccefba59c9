// Growable buffers that never throw.
//
// Native code reached from the interpreter must not let a C++ exception
// cross the C API (an uncaught std::bad_alloc terminates the process).  The
// package's policy is that nothing on those paths allocates through the
// throwing standard containers: text is built in a `bw::Buffer` and arrays
// in a `bw::SmallArray`, whose growth reports failure by returning false
// with MemoryError set.  Both keep a small inline store, so the common short
// case does not allocate at all.  Header-only; memory comes from PyMem_*
// (callers hold the interpreter lock).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace bw {

namespace detail {

// Grows a heap or inline store to hold at least `want` elements of `size`
// bytes; false with MemoryError set on overflow or allocation failure.
inline bool grow_store(void*& data, size_t& capacity, size_t want, size_t elem, void* inline_store,
                       size_t used) noexcept {
    size_t cap = capacity ? capacity : 1;
    while (cap < want) {
        if (cap > (static_cast<size_t>(PY_SSIZE_T_MAX) / elem) / 2) {
            cap = want;
            break;
        }
        cap *= 2;
    }
    if (cap > static_cast<size_t>(PY_SSIZE_T_MAX) / elem) {
        PyErr_NoMemory();
        return false;
    }
    void* fresh;
    if (data == inline_store) {
        fresh = PyMem_Malloc(cap * elem);
        if (fresh && used) std::memcpy(fresh, data, used * elem);
    } else {
        fresh = PyMem_Realloc(data, cap * elem);
    }
    if (!fresh) {
        PyErr_NoMemory();
        return false;
    }
    data = fresh;
    capacity = cap;
    return true;
}

}  // namespace detail

// Array of trivially copyable values with `Inline` elements stored in place.
template <class T, size_t Inline = 16>
class SmallArray {
    static_assert(std::is_trivially_copyable_v<T>, "SmallArray holds trivially copyable values only");

public:
    SmallArray() noexcept = default;
    SmallArray(const SmallArray&) = delete;
    SmallArray& operator=(const SmallArray&) = delete;
    ~SmallArray() {
        if (data_ != inline_) PyMem_Free(data_);
    }

    [[nodiscard]] bool reserve(size_t n) noexcept {
        if (n <= capacity_) return true;
        void* d = data_;
        if (!detail::grow_store(d, capacity_, n, sizeof(T), inline_, size_)) return false;
        data_ = static_cast<T*>(d);
        return true;
    }
    // Sets the size to `n`; new elements are left uninitialised.
    [[nodiscard]] bool resize(size_t n) noexcept {
        if (!reserve(n)) return false;
        size_ = n;
        return true;
    }
    [[nodiscard]] bool push_back(const T& v) noexcept {
        if (size_ == capacity_ && !reserve(size_ + 1)) return false;
        data_[size_++] = v;
        return true;
    }
    [[nodiscard]] bool append(const T* p, size_t n) noexcept {
        if (n > capacity_ - size_ && !reserve(size_ + n)) return false;
        if (n) std::memcpy(data_ + size_, p, n * sizeof(T));
        size_ += n;
        return true;
    }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    void clear() noexcept { size_ = 0; }
    void pop_back() noexcept { --size_; }
    T& back() noexcept { return data_[size_ - 1]; }
    T& operator[](size_t i) noexcept { return data_[i]; }
    const T& operator[](size_t i) const noexcept { return data_[i]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }

protected:
    T inline_[Inline];
    T* data_ = inline_;
    size_t size_ = 0;
    size_t capacity_ = Inline;
};

// Byte string builder (the non-throwing stand-in for std::string).
template <size_t Inline = 256>
class BasicBuffer : public SmallArray<char, Inline> {
    using Base = SmallArray<char, Inline>;

public:
    using Base::append;
    [[nodiscard]] bool append(std::string_view s) noexcept { return Base::append(s.data(), s.size()); }
    [[nodiscard]] bool append(const char* p, Py_ssize_t n) noexcept {
        return Base::append(p, static_cast<size_t>(n));
    }
    [[nodiscard]] bool append_bytes(PyObject* bytes) noexcept {
        return Base::append(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
    }
    // Appends a NUL-terminated string.
    [[nodiscard]] bool append_cstr(const char* s) noexcept { return Base::append(s, std::strlen(s)); }

    std::string_view view() const noexcept { return {this->data_, this->size_}; }
    Py_ssize_t ssize() const noexcept { return static_cast<Py_ssize_t>(this->size_); }
    // A NUL-terminated copy is not kept; `c_str` appends one without
    // counting it in the size (false with MemoryError when that fails).
    [[nodiscard]] const char* c_str() noexcept {
        if (!this->reserve(this->size_ + 1)) return nullptr;
        this->data_[this->size_] = '\0';
        return this->data_;
    }

    // New bytes / str objects holding the contents (null with an error set).
    PyObject* to_bytes() const noexcept { return PyBytes_FromStringAndSize(this->data_, ssize()); }
    PyObject* to_ascii_str() const noexcept { return PyUnicode_DecodeASCII(this->data_, ssize(), nullptr); }
    PyObject* to_utf8_str() const noexcept { return PyUnicode_DecodeUTF8(this->data_, ssize(), nullptr); }
    PyObject* to_latin1_str() const noexcept { return PyUnicode_DecodeLatin1(this->data_, ssize(), nullptr); }
};

using Buffer = BasicBuffer<256>;

}  // namespace bw
