// Incremental multipart/form-data parser of module brindlewick._multipart.
//
// The parser is pull-driven: the caller hands it one body chunk at a time
// with `feed()` and then asks for events (`next_part()`, `read_data()`) until
// the parser says it needs more input.  It never holds more than the chunk it
// was given, a carry-over shorter than the delimiter, and at most one part's
// header block (capped), so memory stays bounded whatever the body's size.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

namespace bw::multipart {

// Module-wide objects, set once at module execution.
extern PyObject* BadRequest;  // brindlewick.exceptions.BadRequest
extern PyObject* EmptyBytes;  // b"": "feed me more input"

int init_parser_type(PyObject* module);

}  // namespace bw::multipart
