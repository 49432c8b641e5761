// The calling thread's stack as the platform reports it. No Python here, so
// that a plain program can check it on threads of chosen sizes.
#pragma once

#include <cstdint>

namespace veldspray {

// The addresses of the thread's stack: the lowest usable one (the stack
// grows down towards it) and the one just past its top.
struct stack_bounds {
    std::uintptr_t low;
    std::uintptr_t high;
};

// The calling thread's stack, or {0, 0} where the platform cannot tell.
stack_bounds current_thread_stack_bounds() noexcept;

} // namespace veldspray
