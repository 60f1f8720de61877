#pragma once

#include <cstdio>
#include <cstdlib>

// A broken property is a crash as far as libFuzzer is concerned: it keeps
// the input and reports the run as failed.
#define FUZZ_CHECK(condition)                                                              \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__,       \
                         #condition);                                                      \
            std::abort();                                                                  \
        }                                                                                  \
    } while (false)
