// The guard of the native stack: keeps deep or self-containing input, and
// dumps called again from a value's own Python code, from overflowing the
// calling thread's stack. The platform code is in stack_bounds.cpp (the
// thread's stack) and native_stack.cpp (the current frame).
#pragma once

#include <cstdint>

namespace veldspray {

// The lowest stack address down to which the calling thread lets dumps
// recurse, leaving room for the interpreter below it; 0 where the thread's
// stack cannot be told (no native check then). Worked out once per thread.
std::uintptr_t native_stack_floor() noexcept;

// An address inside the caller's own stack frame.
std::uintptr_t current_stack_address() noexcept;

[[noreturn]] void throw_native_stack_exhausted();

// Raises RecursionError once the native stack has been used down to `floor`.
inline void check_native_stack(std::uintptr_t floor)
{
    if (current_stack_address() < floor) {
        throw_native_stack_exhausted();
    }
}

} // namespace veldspray
