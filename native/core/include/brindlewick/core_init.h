/* The core library's init step. */
#pragma once

#include "brindlewick/scratchpad.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Initialises the core library (the interning tables of fast_parse.h, the
 * native coroutine types); called by every module's exec step, through
 * capi's module set-up, before its own; idempotent.  Returns
 * BRINDLEWICK_ERR_NOMEM (with a Python exception set) on failure. */
BW_CORE_API brindlewick_err brindlewick_core_init(void);

#ifdef __cplusplus
}
#endif
