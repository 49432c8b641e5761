// The guard of the native stack: keeps deep or self-containing input, and
// dumps called again from a value's own Python code, from overflowing the
// stack it runs on. Where it stops on the thread's own stack is worked out in
// stack_bounds.cpp.
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

// The native stack of one call of dumps, from its entry to its end: where the
// recursion stops. On the thread's own stack that takes one comparison on
// entry. On a stack that the platform does not report, the calls that nest
// through values' own code share the allowance of the outermost one: a nested
// call is never allowed deeper than the call it runs inside. Each such call
// is recorded until it ends, for the calls that nest in it; a call that nests
// in none and finds every record taken is refused.
class native_stack_allowance {
public:
    native_stack_allowance() noexcept : entry(enter_stack())
    {
        if (!entry.on_thread_stack) {
            const unmeasured_entry unmeasured = enter_unmeasured_stack(entry.address);
            entry.floor = unmeasured.floor;
            recorded = unmeasured.recorded;
        }
    }
    ~native_stack_allowance()
    {
        if (recorded) {
            leave_unmeasured_stack(entry.address);
        }
    }
    native_stack_allowance(const native_stack_allowance &) = delete;
    native_stack_allowance &operator=(const native_stack_allowance &) = delete;

    // The lowest address that the call may use.
    [[nodiscard]] std::uintptr_t floor() const noexcept { return entry.floor; }

private:
    struct unmeasured_entry {
        std::uintptr_t floor;
        bool recorded;
    };
    // Static, and by value: the allowance's address never escapes, so that on
    // the thread's own stack it stays in registers.
    static unmeasured_entry enter_unmeasured_stack(std::uintptr_t address) noexcept;
    static void leave_unmeasured_stack(std::uintptr_t address) noexcept;

    stack_entry entry;
    bool recorded = false;
};

} // namespace veldspray
