// A broken rule is a finding: say which, then stop the way libFuzzer recognises as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, what)                           \
  do {                                                        \
    if (!(condition)) {                                       \
      std::fprintf(stderr, "fuzz rule broken: %s\n", (what)); \
      std::fflush(stderr);                                    \
      std::abort();                                           \
    }                                                         \
  } while (0)
