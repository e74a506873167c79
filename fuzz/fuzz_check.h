// A property every fuzz target asserts: on failure it names the condition
// and aborts, which libFuzzer reports as a crash and saves the input.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                     \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);    \
            std::abort();                                                                         \
        }                                                                                         \
    } while (0)
