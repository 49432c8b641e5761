// Keeps deep or self-containing input from exhausting the native stack.
#pragma once

namespace veldspray {

// Raises RecursionError when the calling thread's native stack is nearly used
// up. Besides every container, each dumps call checks it on entry: Python code
// run during classification may call dumps again, and such a chain of calls
// nests on the native stack without any container in between.
void check_native_stack();

// Brackets the writing of one container. Entering counts against the
// interpreter's recursion limit, as the standard library's encoders do, and
// also checks the native stack of the calling thread, which may be smaller
// than that limit assumes (threads started with a small stack_size). Either
// way the caller gets RecursionError instead of a crash.
class nesting_guard {
public:
    nesting_guard();
    ~nesting_guard();
    nesting_guard(const nesting_guard &) = delete;
    nesting_guard &operator=(const nesting_guard &) = delete;
};

}  // namespace veldspray
