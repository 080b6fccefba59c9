// Module brindlewick.contents: body sources and payloads of messages.
#include <Python.h>

#include "brindlewick/capi.hpp"
#include "contents.hpp"

namespace {

int exec(PyObject* module) {
    using namespace bw::contents;
    if (init_state(module) < 0 || init_aio_types(module) < 0 || init_content_types(module) < 0 ||
        init_payload_types(module) < 0 || init_server_contents(module) < 0 || init_form_types(module) < 0 ||
        init_sse_types(module) < 0 || init_form_functions(module) < 0 || init_charsets(module) < 0)
        return -1;
    return init_streamed_form_part(module);
}

bw::capi::PackageModule module_def{"brindlewick.contents", "contents", "Body sources and payloads of HTTP messages.",
                                   nullptr, exec};

}  // namespace

PyMODINIT_FUNC PyInit_contents(void) { return module_def.init(); }
