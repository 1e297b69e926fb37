// static_assert for headers that C (the driver) and C++ both include.
#pragma once
#ifdef __cplusplus
#define RIBEX_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define RIBEX_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif
