// src/core/assert.h: invariant checks of debug and sanitizer builds.
#pragma once

// A broken invariant is no user error: checked in debug and sanitizer builds only.
#if defined(XRAY_CHECK_INVARIANTS)
#include <cstdio>
#include <cstdlib>
#define XRAY_ASSERT(cond, why)                                                        \
  do {                                                                                \
    if (!(cond)) {                                                                    \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, why); \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)
#else
#define XRAY_ASSERT(cond, why) ((void)0)
#endif
