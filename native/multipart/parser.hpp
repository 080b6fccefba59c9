// Incremental multipart/form-data parser of module brindlewick._multipart.
//
// The parser is pull-driven: the caller hands it one body chunk at a time
// with `feed()` and then asks for events (`next_part()`, `read_data()`) until
// the parser says it needs more input.  It never holds more than the chunk it
// was given, a carry-over shorter than the delimiter, and at most one part's
// header block (capped), so memory stays bounded whatever the body's size.
#pragma once

#include <Python.h>

namespace bw::multipart {

// Everything the module keeps between calls, filled once by its exec step.
struct ModuleState {
    PyObject* bad_request;  // brindlewick.exceptions.BadRequest
    PyObject* empty_bytes;  // b"": "feed me more input"
};
extern ModuleState state;

int init_parser_type(PyObject* module);

}  // namespace bw::multipart
