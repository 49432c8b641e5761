// What the fuzz harnesses share: a check that stops the run at the first
// broken expectation, naming it, so that libFuzzer keeps the input.
#ifndef VELDSPRAY_FUZZ_CHECK_H
#define VELDSPRAY_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

#endif
