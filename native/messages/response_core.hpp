// Private declarations shared by the source units of Response (response.cpp,
// response_cookies.cpp) and the pools (pools.cpp).
#pragma once

#include <Python.h>

#include <cstdint>

#include "brindlewick/overrides.hpp"
#include "message_core.hpp"

namespace bw::messages {

// Overridable methods of Response, by bit position in its override table.
// is_redirect and reset are the operation-table entries; set_cookie and
// get_cookies are what the cookie operations call "as a method of self", so
// a subclass that replaces them is honoured by the native callers too.
enum ResponseSlot {
    kIsRedirect,
    kResponseReset,
    kSetCookie,
    kGetCookies,
    kResponseSlotCount
};

extern OverrideTable response_overrides;

// The operation table every Response (and Python subclass) points at.
extern ResponseVTable response_vtable;

// Largest number of objects one thread keeps in each of its pools.
inline constexpr Py_ssize_t kMaxFreelistCapacity = 512;

// Python int -> signed 32-bit status; -1 with OverflowError "value too large
// to convert to int" (or the TypeError of a non-integer) on failure.
int status_from_object(PyObject* value, int32_t* out);

// A new exact Response: Response(status, headers, content).  `headers` must
// be an exact list or None and `content` a Content or None (TypeError naming
// the argument otherwise); nothing is assigned before the checks pass.
ResponseObject* response_create(int32_t status, PyObject* headers, PyObject* content);

// Argument checks of Response(...) and acquire_response(...).
bool check_response_arguments(PyObject* headers, PyObject* content);

// Operation-table entries of Response (response.cpp).
int response_is_redirect(ResponseObject* self, int skip_dispatch);
int response_reset(ResponseObject* self, int skip_dispatch);

// Cookie operations (response_cookies.cpp); object results are new
// references, int results 0 or -1 with an exception set.
int response_set_cookie(ResponseObject* self, PyObject* cookie, int skip_dispatch);
PyObject* response_get_cookies(ResponseObject* self, int skip_dispatch);
extern PyMethodDef response_cookie_methods[];
PyObject* response_get_cookies_property(PyObject* self, void*);

// Calls the Python override of `slot` with `args` (new reference or null).
inline PyObject* call_response_override(ResponseObject* self, int slot, PyObject* const* args, size_t nargs) {
    return response_overrides.call(as_object(self), slot, args, nargs);
}

// Creates the type Response and adds it to the module (response.cpp); runs
// after init_message_type.
int init_response_type(PyObject* module);

// Creates _ThreadLocalFreelist and _TLS, adds the pool functions and
// publishes their native entry points (pools.cpp); runs after
// init_response_type.
int init_pools(PyObject* module);

}  // namespace bw::messages
