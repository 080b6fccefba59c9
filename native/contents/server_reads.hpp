// Asynchronous reads of ASGIContent and RSGIContent.
#pragma once

#include <Python.h>

#include "contents.hpp"

namespace bw::contents {

// Awaitable of the whole body (a memoryview of it when `as_view`).
PyObject* asgi_read(ServerContentObject* self, bool as_view);
PyObject* rsgi_read(ServerContentObject* self, bool as_view);
// Async iterator over the body chunks as they arrive.
PyObject* asgi_stream(ServerContentObject* self);
PyObject* rsgi_stream(ServerContentObject* self);
// PayloadTooLarge for a body past `limit` bytes.
void raise_too_large(Py_ssize_t limit);
// Awaitable of the joined pieces of StreamedContent's provider.
PyObject* streamed_read(PyObject* self, bool as_view);

}  // namespace bw::contents
