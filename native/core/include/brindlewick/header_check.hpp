// What may stand in an HTTP header that is sent: a name is a token (RFC 9110
// tchar: letters, digits and !#$%&'*+-.^_`|~), a value holds no CR, LF or
// NUL (the bytes that would end the header, or the head, early and let the
// rest pass for headers or a body of the sender's choosing).  Used by the
// header setters of the messages and by the response head composition, so
// that no forged header reaches a server.  Header-only.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

namespace bw::http {

inline constexpr std::array<bool, 256> kTokenChars = [] {
    std::array<bool, 256> table{};
    for (int c = '0'; c <= '9'; c++) table[c] = true;
    for (int c = 'a'; c <= 'z'; c++) table[c] = true;
    for (int c = 'A'; c <= 'Z'; c++) table[c] = true;
    for (char c : {'!', '#', '$', '%', '&', '\'', '*', '+', '-', '.', '^', '_', '`', '|', '~'})
        table[static_cast<unsigned char>(c)] = true;
    return table;
}();

inline bool is_token(const char* text, Py_ssize_t size) noexcept {
    if (size <= 0) return false;
    bool ok = true;
    for (Py_ssize_t i = 0; i < size; i++) ok &= kTokenChars[static_cast<unsigned char>(text[i])];
    return ok;
}

// No CR, LF or NUL: one pass the compiler vectorises, as memchr would.
inline bool is_safe_value(const char* text, Py_ssize_t size) noexcept {
    unsigned bad = 0;
    for (Py_ssize_t i = 0; i < size; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        bad |= (c == '\r') | (c == '\n') | (c == '\0');
    }
    return bad == 0;
}

// 0 when the name and value (both bytes) may be sent; -1 with ValueError.
inline int check_header(PyObject* name, PyObject* value) noexcept {
    if (!is_token(PyBytes_AS_STRING(name), PyBytes_GET_SIZE(name))) {
        PyErr_Format(PyExc_ValueError, "Invalid header name %R: a header name must be an HTTP token", name);
        return -1;
    }
    if (!is_safe_value(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value))) {
        PyErr_Format(PyExc_ValueError, "Invalid value for header %R: CR, LF and NUL are not allowed", name);
        return -1;
    }
    return 0;
}

}  // namespace bw::http
