// The guard of the native stack: keeps deep or self-containing input, and
// dumps called again from a value's own Python code, from overflowing the
// stack it runs on. On the thread's own stack a call stops at the floor that
// stack_bounds.cpp works out. On any other stack it counts the stack it uses
// in the thread state's recursion depth, as Python code counts its calls, so
// that whatever runs inside it, a nested call too, starts from that depth.
#pragma once

#include "stack_bounds.h"

#include <cstdint>

namespace veldspray {

// Where one call of dumps entered the native stack.
class call_stack {
public:
    call_stack() noexcept : entry(enter_stack())
    {
        if (!entry.on_thread_stack) {
            enter_unreported_stack();
        }
    }

    // The address below which a check goes to count: on the thread's own
    // stack the floor, on any other above every address.
    [[nodiscard]] std::uintptr_t floor() const noexcept { return entry.floor; }

    // On the thread's own stack, raises RecursionError: the floor is
    // reached. On any other stack, raises the recursion depth to what the
    // call has used, a level for each 64 bytes, and returns the depth it
    // found; raises RecursionError where that passes the recursion limit, or
    // the call has used 64 KiB.
    [[nodiscard]] int count(std::uintptr_t here) const;
    static void restore_recursion_depth(int depth) noexcept;

private:
    // Out of line, so that the thread's own stack pays only for the test.
    void enter_unreported_stack() noexcept;

    stack_entry entry;
    // The recursion depth that the call found, where it counts.
    int entry_depth = 0;
};

// Checks the native stack where a call enters and where a container starts,
// and puts back on leaving the recursion depth that it raised.
class native_stack_check {
public:
    explicit native_stack_check(const call_stack &stack)
    {
        const std::uintptr_t here = current_stack_address();
        if (here < stack.floor()) {
            found_depth = stack.count(here);
        }
    }
    ~native_stack_check()
    {
        if (found_depth != depth_unchanged) {
            call_stack::restore_recursion_depth(found_depth);
        }
    }
    native_stack_check(const native_stack_check &) = delete;
    native_stack_check &operator=(const native_stack_check &) = delete;

private:
    static constexpr int depth_unchanged = -1;
    int found_depth = depth_unchanged;
};

} // namespace veldspray
