/* Per-request bump arena of the core library, and the core library's
 * result codes (brindlewick_err), which its C-style entry points return.
 *
 * The caller owns the ScratchpadArena record (a Request embeds one).  The
 * arena hands out aligned blocks from one buffer; reset makes the whole
 * buffer available again without freeing it. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "brindlewick/api.hpp"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum brindlewick_err {
    BRINDLEWICK_OK = 0,
    BRINDLEWICK_ERR_NOMEM = 1,
    BRINDLEWICK_ERR_BAD_ARG = 2,
    BRINDLEWICK_ERR_OVERFLOW = 3,
    BRINDLEWICK_ERR_SIMD_UNSUPPORTED = 4,
    BRINDLEWICK_ERR_ARENA_EXHAUSTED = 5,
    BRINDLEWICK_ERR_PARSE_FAILED = 6,
    BRINDLEWICK_ERR_NOT_FOUND = 7,
} brindlewick_err;

typedef struct ScratchpadArena {
    uint8_t* buffer;
    size_t capacity;
    size_t offset;
    int32_t is_dynamic;
} ScratchpadArena;

#define SCRATCHPAD_DEFAULT_CAPACITY 65536
#define SCRATCHPAD_DEFAULT_ALIGNMENT 64

/* Allocates the buffer; the arena must be zeroed or destroyed before. */
BW_CORE_API brindlewick_err scratchpad_init(ScratchpadArena* arena, size_t capacity);
/* `alignment` must be a power of two; on success *out holds `size` bytes. */
BW_CORE_API brindlewick_err scratchpad_alloc(ScratchpadArena* arena, size_t size, size_t alignment,
                                             void** out);
/* Frees the buffer and zeroes the record. */
BW_CORE_API void scratchpad_destroy(ScratchpadArena* arena);

static inline void scratchpad_reset(ScratchpadArena* arena) { arena->offset = 0; }

#ifdef __cplusplus
}
#endif
