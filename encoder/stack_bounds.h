// The calling thread's stack as the platform reports it, and how far down a
// call may use it. No Python here, so that plain programs can check both on
// threads of chosen sizes and on other C libraries.
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

// An address inside the caller's own stack frame.
std::uintptr_t current_stack_address() noexcept;

// The lowest stack address down to which a call entered from the caller's
// frame may recurse. On the thread's own stack, its last quarter is kept
// free below that, for the interpreter, for Python code of the values and for
// raising the error, so the depth that can be written grows with the stack.
// Elsewhere (a fiber or a coroutine engine's stack, which the platform does
// not report) and where the platform reports nothing, the call may use a
// fixed allowance below its entry.
std::uintptr_t native_stack_floor() noexcept;

} // namespace veldspray
