// Object layouts of `brindlewick.contents` that `messages` and `scribe` read
// directly: every content class and the server-sent event.
#pragma once

#include <Python.h>

#include <cstdint>

namespace bw::siblings {

struct ContentObject;

// Native method table of every content class; `dispose` comes first.  An
// entry taking `skip_dispatch` reaches a Python override when it is 0.
struct ContentVTable {
    int (*dispose)(ContentObject* self, int skip_dispatch);
};

struct ContentObject {
    PyObject_HEAD
    ContentVTable* vtab;
    PyObject* type;       // bytes or None: declared media type
    PyObject* body;       // bytes, or None when not held in memory
    Py_ssize_t length;    // negative when not fixed in advance
};

struct ServerSentEventObject;

struct ServerSentEventVTable {
    // New reference to the `str` of the event's data line(s).
    PyObject* (*write_data)(ServerSentEventObject* self, int skip_dispatch);
};

struct ServerSentEventObject {
    PyObject_HEAD
    ServerSentEventVTable* vtab;
    PyObject* data;
    PyObject* event;    // str or None
    PyObject* id;       // str or None
    int32_t retry;      // negative when unset
    PyObject* comment;  // str or None
};

}  // namespace bw::siblings
