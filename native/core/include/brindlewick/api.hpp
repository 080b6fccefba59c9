// Export macro for the symbols of the core library `_brindlewick_core`.
#pragma once

#if defined(BRINDLEWICK_CORE_BUILD)
#define BW_CORE_API __attribute__((visibility("default")))
#else
#define BW_CORE_API
#endif

#ifdef __cplusplus
#define BW_EXTERN_C extern "C"
#else
#define BW_EXTERN_C
#endif

#define BW_LIKELY(x) __builtin_expect(!!(x), 1)
#define BW_UNLIKELY(x) __builtin_expect(!!(x), 0)
