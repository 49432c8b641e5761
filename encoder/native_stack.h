// The guard of the native stack: keeps deep or self-containing input, and
// dumps called again from a value's own Python code, from overflowing the
// calling thread's stack. Where it stops is worked out in stack_bounds.cpp.
#pragma once

#include "stack_bounds.h"

#include <cstdint>

namespace veldspray {

[[noreturn]] void throw_native_stack_exhausted();

// Raises RecursionError once the native stack has been used down to `floor`.
inline void check_native_stack(std::uintptr_t floor)
{
    if (current_stack_address() < floor) {
        throw_native_stack_exhausted();
    }
}

} // namespace veldspray
