// Keeps deep or self-containing input from exhausting the native stack.
#pragma once

#include <cstdint>

namespace veldspray {

// The lowest native stack address that the calling thread lets dumps recurse
// to, leaving room for the interpreter below it; 0 when the thread's stack
// cannot be told (no native check then). Worked out once per thread.
std::uintptr_t native_stack_floor();

[[noreturn]] void throw_native_stack_exhausted();

// Raises RecursionError when the native stack has been used down to `floor`.
// Besides every container, each dumps call checks it on entry: Python code
// run during classification may call dumps again, and such a chain of calls
// nests on the native stack without any container in between.
inline void check_native_stack(std::uintptr_t floor) {
    if (reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < floor) {
        throw_native_stack_exhausted();
    }
}

// Brackets the writing of one container. Entering counts against the
// interpreter's recursion limit, as the standard library's encoders do, and
// also checks the native stack of the calling thread, which may be smaller
// than that limit assumes (threads started with a small stack_size). Either
// way the caller gets RecursionError instead of a crash.
class nesting_guard {
public:
    explicit nesting_guard(std::uintptr_t stack_floor);
    ~nesting_guard();
    nesting_guard(const nesting_guard &) = delete;
    nesting_guard &operator=(const nesting_guard &) = delete;
};

}  // namespace veldspray
