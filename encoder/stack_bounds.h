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

// The most that a call may use below its entry on a stack that the platform
// does not report (a fiber's, a coroutine engine's), whatever the recursion
// limit: 64 KiB leave a coroutine engine's 256 KiB stack room for the
// application's own frames above the call.
inline constexpr std::uintptr_t unmeasured_allowance = std::uintptr_t{64} * 1024;

// The lowest address that a call entered at `entry` on such a stack may use.
inline std::uintptr_t unmeasured_floor(std::uintptr_t entry) noexcept
{
    return entry > unmeasured_allowance ? entry - unmeasured_allowance : 0;
}

// Where a call entered from the caller's frame stands on the stack.
struct stack_entry {
    // An address inside the caller's frame.
    std::uintptr_t address;
    // On the thread's own stack, the lowest address down to which the call
    // may recurse: the last quarter of the stack is kept free below it, for
    // the interpreter, for Python code of the values and for raising the
    // error, so the depth that can be written grows with the stack.
    std::uintptr_t floor;
    // False where the call is not on the thread's own stack (a fiber's, a
    // coroutine engine's), or the platform reports none; floor is 0 then.
    bool on_thread_stack;
};

stack_entry enter_stack() noexcept;

} // namespace veldspray
