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
// entry and one test at the end. On a stack that the platform does not
// report, a call that runs inside another through a value's own code shares
// the outer call's allowance; any other call has its own.
class native_stack_allowance {
public:
    // Which record of its thread a call on an unmeasured stack holds.
    using record_number = std::uint64_t;
    static constexpr record_number no_record = 0;

    native_stack_allowance() noexcept : entry(enter_stack())
    {
        if (!entry.on_thread_stack) {
            const unmeasured_entry unmeasured = enter_unmeasured_stack(entry.address);
            entry.floor = unmeasured.floor;
            record = unmeasured.record;
        }
    }
    ~native_stack_allowance()
    {
        if (record != no_record) {
            leave_unmeasured_stack(record);
        }
    }
    native_stack_allowance(const native_stack_allowance &) = delete;
    native_stack_allowance &operator=(const native_stack_allowance &) = delete;

    // The lowest address that the call may use.
    [[nodiscard]] std::uintptr_t floor() const noexcept { return entry.floor; }

private:
    struct unmeasured_entry {
        std::uintptr_t floor;
        record_number record;
    };
    // Out of line and by value, so that the thread's own stack pays only for
    // the test of `on_thread_stack` and of `record`.
    static unmeasured_entry enter_unmeasured_stack(std::uintptr_t address) noexcept;
    static void leave_unmeasured_stack(record_number record) noexcept;

    stack_entry entry;
    record_number record = no_record;
};

} // namespace veldspray
