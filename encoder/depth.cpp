// The max_depth count, and the interpreter's recursion limit counted by the
// containers of the unlimited configurations.
#include "depth.h"

#include "errors.h"

#include <pybind11/pybind11.h>

#include <string>

namespace veldspray {

void enter_level(depth_counter &counter)
{
    if (++counter.depth > counter.limit) {
        throw_runtime_error(error_text::depth_limit + std::to_string(counter.limit));
    }
}

interpreter_recursion_guard::interpreter_recursion_guard(const call_stack &stack) : native_stack(stack)
{
    if (Py_EnterRecursiveCall(error_text::recursion_context) != 0) {
        throw_python_error();
    }
}

interpreter_recursion_guard::~interpreter_recursion_guard()
{
    Py_LeaveRecursiveCall();
}

} // namespace veldspray
