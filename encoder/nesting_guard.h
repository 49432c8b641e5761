// Keeps deep or self-containing input from exhausting the native stack.
#pragma once

namespace veldspray {

// Brackets the writing of one container. Entering counts against the
// interpreter's recursion limit, as the standard library's encoders do, and
// also checks the native stack of the calling thread, which may be smaller
// than that limit assumes (threads started with a small stack_size). Either
// way the caller gets RecursionError instead of a crash.
class nesting_guard {
public:
    nesting_guard();
    ~nesting_guard();
    nesting_guard(const nesting_guard &) = delete;
    nesting_guard &operator=(const nesting_guard &) = delete;
};

}  // namespace veldspray
