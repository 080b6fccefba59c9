// Module brindlewick.cookies: the Cookie type and set-cookie reading and writing.
#include <Python.h>

#include "brindlewick/capi.hpp"
#include "cookies.hpp"

namespace {

int exec(PyObject* module) {
    if (bw::cookies::init_datetime() < 0) return -1;
    if (bw::cookies::init_cookie_type(module) < 0) return -1;
    return bw::cookies::init_functions(module);
}

bw::capi::PackageModule module_def{"brindlewick.cookies", "cookies",
                                   "HTTP cookies: the Cookie type and set-cookie values.", nullptr, exec};

}  // namespace

PyMODINIT_FUNC PyInit_cookies(void) { return module_def.init(); }
