// A failed property is a crash, so that libFuzzer reports and keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                          \
    do {                                                                          \
        if (!(cond)) {                                                            \
            std::fprintf(stderr, "property failed: %s (%s:%d)\n", #cond, __FILE__, \
                         __LINE__);                                               \
            std::abort();                                                         \
        }                                                                         \
    } while (0)
