// Where the guard stops a thread, and where the current frame is. Stacks grow
// downwards on every platform CPython 3.10 runs on.
#include "native_stack.h"

#include "errors.h"
#include "stack_bounds.h"

#include <pybind11/pybind11.h>

#include <algorithm>

namespace veldspray {
namespace {

// Stack kept free below the deepest container frame, for the interpreter and
// for Python code that classification may run (__index__, __eq__, __str__).
constexpr std::uintptr_t minimum_headroom = std::uintptr_t{128} * 1024;

// Where the platform cannot tell the thread's stack there is no native check:
// deep input is then bounded by the interpreter's recursion limit in the
// unlimited configurations and by max_depth in the limited ones.
std::uintptr_t compute_stack_floor() noexcept
{
    const stack_bounds bounds = current_thread_stack_bounds();
    if (bounds.low == 0 || bounds.high <= bounds.low) {
        return 0;
    }
    const std::uintptr_t headroom = std::max<std::uintptr_t>(minimum_headroom, (bounds.high - bounds.low) / 4);
    return bounds.low + headroom;
}

} // namespace

std::uintptr_t native_stack_floor() noexcept
{
    thread_local const std::uintptr_t floor = compute_stack_floor();
    return floor;
}

std::uintptr_t current_stack_address() noexcept
{
#if defined(__GNUC__) || defined(__clang__)
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#else
    // A local's address lies in the current frame too.
    volatile char marker = 0;
    return reinterpret_cast<std::uintptr_t>(&marker);
#endif
}

void throw_native_stack_exhausted()
{
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", error_text::recursion_context);
    throw_python_error();
}

} // namespace veldspray
