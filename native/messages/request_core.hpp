// Private declarations of the Request type shared by the source units of
// module brindlewick.messages: construction and reset for the pools and the
// server adapters, the override table of Request's own methods, and the
// pieces that request.cpp assembles into the type.
#pragma once

#include <Python.h>

#include "brindlewick/args.hpp"
#include "message_core.hpp"
#include "errors.hpp"

namespace bw::messages {

// Overridable members of Request, by bit position in request_overrides.
// `identity`, `user` and `client_ip` are properties that other members read
// or assign by attribute; a class that replaces none of them takes the
// native path without a lookup by name.
enum RequestSlot {
    kExpect100Continue,
    kRequestReset,
    kIdentity,
    kUser,
    kClientIp,
    kRequestSlotCount
};

extern OverrideTable request_overrides;

// The operation table of Request objects (Message's entries, then Request's).
extern RequestVTable request_vtable;

// A new Request of `type` (Request or a subtype) with every field at its
// initial value: what the type's allocator does.
PyObject* request_alloc(PyTypeObject* type);

// `method` replaced by the core library's shared string of the same value
// (new reference); None and strings it does not know pass through.
PyObject* intern_method_str(PyObject* method);

// Request.__init__(method, url, headers) on an allocated request, arguments
// already type-checked (str/None, bytes/None, list/None).  0, or -1.
int request_init_fields(RequestObject* self, PyObject* method, PyObject* url, PyObject* headers);

// Request.incoming(method, path, query, headers) for class `cls`: a new
// reference to what cls(method, None, headers) built, with `_path` and
// `_raw_query` assigned; arguments already type-checked.
PyObject* request_incoming(PyTypeObject* cls, PyObject* method, PyObject* path, PyObject* query,
                           PyObject* headers);

// Request.reset(): 0, or -1 with an exception set.  With skip_dispatch 0 a
// Python override of reset is called instead.
int request_reset(RequestObject* self, int skip_dispatch);

// Whether `method` is one of the methods without a body: GET, HEAD, TRACE
// (request_functions.cpp).  The one list every part of the package uses.
int method_without_body(PyObject* method);

// Module-level ensure_bytes(value) (request_url.cpp).
PyObject* ensure_bytes(PyObject* value);

// Percent-decoding as urllib.parse.unquote(text) does it, for UTF-8 text
// given as bytes: `%XX` becomes the byte XX, malformed escapes stay as they
// are, decoded bytes that are not UTF-8 become U+FFFD.  With `plus_as_space`
// a '+' is read as a space first (form and query encoding).  The input must
// be valid UTF-8 (callers check); a new str, or null with an exception set.
PyObject* percent_decode(const char* data, Py_ssize_t length, bool plus_as_space);

// Native getters that other units call without a lookup by name.
PyObject* request_get_url(RequestObject* self);
int request_set_url(RequestObject* self, PyObject* value);
PyObject* request_get_host(RequestObject* self);
PyObject* request_get_scheme(RequestObject* self);
PyObject* request_get_base_path(RequestObject* self);
PyObject* request_get_client_ip(RequestObject* self);
// The authority of an RSGI scope (HTTP/2 gives it instead of a Host
// header): a str, or None (request_connection.cpp).
PyObject* request_authority(RequestObject* self);
PyObject* request_get_user(RequestObject* self);

// Members contributed by each unit, assembled into the type by request.cpp.
extern PyGetSetDef request_url_getset[];
extern PyGetSetDef request_connection_getset[];
extern PyGetSetDef request_cookie_getset[];
extern PyGetSetDef request_identity_getset[];
extern PyMethodDef request_cookie_methods[];
extern PyMethodDef cors_functions[];

// Publishes the module's Request-related entry points in __pyx_capi__ (request_functions.cpp).
int export_request_functions(PyObject* module);

// Creates the type Request, fills the Request section of the module state
// and adds the module functions of this group (request.cpp).
int init_request_type(PyObject* module);


// The setter of a str-only property: the value goes to the field of the
// same name with a leading underscore.
template <PyObject* RequestObject::*F>
int set_str_property(PyObject* op, PyObject* value, void*) {
    if (!value) return errors::cannot_delete();
    if (!args::exact(value, &PyUnicode_Type, "value")) return -1;
    assign_field(as_request(op)->*F, value);
    return 0;
}


}  // namespace bw::messages
