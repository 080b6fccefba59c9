// The core library's state record and its one init step,
// brindlewick_core_init() (declared in core_init.h).
#define BRINDLEWICK_CORE_BUILD
#include "brindlewick/core_init.h"
#include "core_state.hpp"

namespace bw::core {

State state;

}  // namespace bw::core

extern "C" brindlewick_err brindlewick_core_init(void) {
    if (bw::core::init_interning() < 0) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return BRINDLEWICK_ERR_NOMEM;
    }
    if (bw::core::init_coroutines() < 0) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return BRINDLEWICK_ERR_NOMEM;
    }
    return BRINDLEWICK_OK;
}
