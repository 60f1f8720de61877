#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

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

// A model of how postconf prints a value, kept apart from the library's own:
// a run of blanks and tabs as one blank.
inline std::string printed(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if ((c != ' ' && c != '\t') || out.empty() || out.back() != ' ') {
            out += c == '\t' ? ' ' : c;
        }
    }
    return out;
}
