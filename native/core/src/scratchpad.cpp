#define BRINDLEWICK_CORE_BUILD
#include "brindlewick/scratchpad.h"

#include <cstdlib>
#include <cstring>

extern "C" {

brindlewick_err scratchpad_init(ScratchpadArena* arena, size_t capacity) {
    if (!arena || capacity == 0) return BRINDLEWICK_ERR_BAD_ARG;
    // Round up so the buffer itself can start on a cache line.
    size_t rounded = (capacity + SCRATCHPAD_DEFAULT_ALIGNMENT - 1) & ~size_t(SCRATCHPAD_DEFAULT_ALIGNMENT - 1);
    if (rounded < capacity) return BRINDLEWICK_ERR_OVERFLOW;
    void* buffer = std::aligned_alloc(SCRATCHPAD_DEFAULT_ALIGNMENT, rounded);
    if (!buffer) return BRINDLEWICK_ERR_NOMEM;
    arena->buffer = static_cast<uint8_t*>(buffer);
    arena->capacity = capacity;
    arena->offset = 0;
    arena->is_dynamic = 1;
    return BRINDLEWICK_OK;
}

brindlewick_err scratchpad_alloc(ScratchpadArena* arena, size_t size, size_t alignment, void** out) {
    if (!arena || !out) return BRINDLEWICK_ERR_BAD_ARG;
    *out = nullptr;
    if (!arena->buffer) return BRINDLEWICK_ERR_BAD_ARG;
    if (alignment == 0) alignment = SCRATCHPAD_DEFAULT_ALIGNMENT;
    if ((alignment & (alignment - 1)) != 0) return BRINDLEWICK_ERR_BAD_ARG;
    uintptr_t base = reinterpret_cast<uintptr_t>(arena->buffer);
    uintptr_t cursor = base + arena->offset;
    uintptr_t aligned = (cursor + (alignment - 1)) & ~uintptr_t(alignment - 1);
    if (aligned < cursor) return BRINDLEWICK_ERR_OVERFLOW;
    size_t start = aligned - base;
    if (start > arena->capacity || size > arena->capacity - start) return BRINDLEWICK_ERR_ARENA_EXHAUSTED;
    arena->offset = start + size;
    *out = arena->buffer + start;
    return BRINDLEWICK_OK;
}

void scratchpad_destroy(ScratchpadArena* arena) {
    if (!arena) return;
    if (arena->is_dynamic) std::free(arena->buffer);
    std::memset(arena, 0, sizeof *arena);
}

}  // extern "C"
