// Object layout of `brindlewick.url.URL`, which `messages` reads directly.
#pragma once

#include <Python.h>

#include <cstdint>

namespace bw::siblings {

struct URLObject {
    PyObject_HEAD
    PyObject* value;     // bytes
    PyObject* schema;    // bytes or None
    PyObject* host;      // bytes or None
    int32_t port;        // 0 when absent
    PyObject* path;      // bytes
    PyObject* query;     // bytes
    PyObject* fragment;  // bytes or None
    int32_t is_absolute;
};

}  // namespace bw::siblings
