// The guard of the native stack: keeps deep or self-containing input, and
// dumps called again from a value's own Python code, from overflowing the
// stack it runs on. Where it stops on the thread's own stack is worked out in
// stack_bounds.cpp.
#pragma once

#include "stack_bounds.h"

#include <Python.h>

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

// A call of dumps on a stack that the platform does not report, from its
// entry to its end. The calls that nest on one such stack, through values'
// own code, share the allowance of the outermost one: a nested call is never
// allowed deeper than the call it runs inside. The outermost call is recorded
// until it ends, for the calls that nest in it; a call that finds every
// record taken is refused.
class unmeasured_stack_call {
public:
    explicit unmeasured_stack_call(std::uintptr_t entry) noexcept;
    ~unmeasured_stack_call();
    unmeasured_stack_call(const unmeasured_stack_call &) = delete;
    unmeasured_stack_call &operator=(const unmeasured_stack_call &) = delete;

    // The lowest address that the call may use.
    [[nodiscard]] std::uintptr_t floor() const noexcept { return lowest; }

private:
    std::uintptr_t lowest;
    std::uintptr_t entry;
    PyFrameObject *caller;
    bool recorded = false;
};

// Runs call(floor), with the floor of a call of dumps entered from the
// caller's frame. On the thread's own stack that takes one comparison.
template <class Call>
decltype(auto) with_native_stack_floor(Call &&call)
{
    const stack_entry entry = enter_stack();
    if (entry.floor != 0) {
        return call(entry.floor);
    }
    const unmeasured_stack_call unmeasured(entry.address);
    return call(unmeasured.floor());
}

} // namespace veldspray
