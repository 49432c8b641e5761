// How deep an encoder lets values nest, per configuration.
//
// Three separate ideas, three names:
// - depth_counter: the count of nesting levels against the max_depth limit;
// - depth_tracking<Policy>: what one configuration does on entering a
//   container and each of its elements;
// - the native-stack guard (native_stack.h): the backstop in every
//   configuration, so that no input overflows the stack it runs on.
#pragma once

#include "native_stack.h"

#include <cstdint>

namespace veldspray {

struct depth_counter {
    std::uint64_t depth;
    std::uint64_t limit;
};

// Counts one more level of nesting; raises when the limit is passed.
void enter_level(depth_counter &counter);
inline void leave_level(depth_counter &counter)
{
    --counter.depth;
}

enum class depth_policy { unlimited, limited };

// Without max_depth, nesting counts against the interpreter's recursion
// limit, as the standard library's encoders do, and against the native stack.
class interpreter_recursion_guard {
public:
    explicit interpreter_recursion_guard(const call_stack &stack);
    ~interpreter_recursion_guard();
    interpreter_recursion_guard(const interpreter_recursion_guard &) = delete;
    interpreter_recursion_guard &operator=(const interpreter_recursion_guard &) = delete;

private:
    // Restores the depth after the interpreter's own count is undone.
    native_stack_check native_stack;
};

template <depth_policy Policy>
class depth_tracking;

template <>
class depth_tracking<depth_policy::unlimited> {
public:
    using container_guard = interpreter_recursion_guard;
    explicit depth_tracking(std::uint64_t) {}
    void enter_element() {}
    void leave_element() {}
};

template <>
class depth_tracking<depth_policy::limited> {
public:
    // The max_depth limit decides how deep values may nest; each container
    // still checks the native stack, so that a huge limit cannot crash the
    // process.
    using container_guard = native_stack_check;
    explicit depth_tracking(std::uint64_t limit) : counter{0, limit} {}
    void enter_element() { enter_level(counter); }
    void leave_element() { leave_level(counter); }

private:
    depth_counter counter;
};

} // namespace veldspray
