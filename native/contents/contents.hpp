// Private declarations of module brindlewick.contents.
#pragma once

#include <Python.h>

#include "brindlewick/siblings.hpp"

namespace bw::contents {

extern PyTypeObject* ContentType;

int init_content_types(PyObject* module);
int init_form_functions(PyObject* module);
int init_streamed_form_part(PyObject* module);

PyObject* parse_www_form_urlencoded(PyObject* data);

}  // namespace bw::contents
