/* Interning tables of the core library.
 *
 * Each lookup takes the raw bytes of a value and answers with a borrowed
 * reference to the library's shared object of the same value, or NULL when
 * the value is not in the table.  Lookups never raise, never allocate and
 * never take the value's letter case into account beyond exact bytes.  The
 * shared objects live as long as the process. */
#pragma once

#include <Python.h>

#include "brindlewick/api.hpp"

#ifdef __cplusplus
extern "C" {
#endif

/* A `bytes` object: request and response header names, lower-case and in
 * their usual capitalised spelling. */
BW_CORE_API PyObject* get_interned_header_name_bytes(const char* data, Py_ssize_t length);
/* A `str` object: the request methods of RFC 9110 and PATCH. */
BW_CORE_API PyObject* get_interned_method_str(const char* data, Py_ssize_t length);
/* A `bytes` object: common content-type values. */
BW_CORE_API PyObject* get_interned_content_type_bytes(const char* data, Py_ssize_t length);

/* Longest header name held by the header-name table; a longer name misses. */
#define BRINDLEWICK_MAX_INTERNED_HEADER_NAME 64

#ifdef __cplusplus
}
#endif
