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
    // call has used, a level for each 64 bytes, and returns by how much;
    // raises RecursionError where that passes the recursion limit, or the
    // call has used 64 KiB.
    [[nodiscard]] int count(std::uintptr_t here) const;
    // Takes back what count added: by difference, as the interpreter undoes
    // its own count, rather than putting back a depth read earlier.
    static void lower_recursion_depth(int levels) noexcept;

private:
    // Out of line, so that the thread's own stack pays only for the test.
    void enter_unreported_stack() noexcept;

    stack_entry entry;
    // The recursion depth that the call found, where it counts.
    int entry_depth = 0;
};

// Checks the native stack where a call enters and where a container starts,
// and takes back on leaving what it added to the recursion depth.
class native_stack_check {
public:
    explicit native_stack_check(const call_stack &stack)
    {
        const std::uintptr_t here = current_stack_address();
        if (here < stack.floor()) {
            added_levels = stack.count(here);
        }
    }
    ~native_stack_check()
    {
        if (added_levels != 0) {
            call_stack::lower_recursion_depth(added_levels);
        }
    }
    native_stack_check(const native_stack_check &) = delete;
    native_stack_check &operator=(const native_stack_check &) = delete;

private:
    int added_levels = 0;
};

} // namespace veldspray
