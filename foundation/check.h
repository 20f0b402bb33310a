// Programming errors (null arguments where the caller guarantees none) stop the
// program with the failed expression, also in builds without assert().
#pragma once

#include <cstdio>
#include <cstdlib>

#define KAVELO_ASSERT(expr)                                                                  \
  do {                                                                                       \
    if (!(expr)) {                                                                           \
      fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", __FILE__, __LINE__, __func__, \
              #expr);                                                                        \
      abort();                                                                               \
    }                                                                                        \
  } while (0)
