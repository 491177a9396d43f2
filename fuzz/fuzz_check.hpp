#pragma once
// What a fuzz target does when a property fails: says which and aborts, so that libFuzzer
// keeps the input as a crash.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                             \
  do {                                                                               \
    if (!(cond)) {                                                                   \
      std::fprintf(stderr, "property failed at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                  \
    }                                                                                \
  } while (0)
