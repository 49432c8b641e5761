// The guard's count of the native stack on a stack that the platform does not
// report (native_stack.h).
#include "native_stack.h"

#include "errors.h"

#include <algorithm>
#include <limits>

namespace veldspray {
namespace {

// The native stack that counts as one level of the recursion depth: no more
// than a Python call's own frames take, so that the depth reaches the limit
// no later than Python code using the same stack would. Under the default
// limit of 1000, the calls of a chain nested through values' code have
// about 64 KiB together.
constexpr std::uintptr_t native_stack_unit = 64;

// What runs between an outer call's last count and the entry of a call
// nested in it, which neither sees: the encoder's frames for one element and
// the interpreter's for the value's method, 600 bytes to a level of
// `__bool__ = property(dumps)` in an optimised build. Each call counts it
// as used above its entry.
constexpr std::uintptr_t nested_entry_frames = 1024;

[[noreturn]] void throw_native_stack_exhausted()
{
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", error_text::recursion_context);
    throw_python_error();
}

} // namespace

void call_stack::enter_unreported_stack() noexcept
{
    // Every address lies below it, so that every check counts.
    entry.floor = std::numeric_limits<std::uintptr_t>::max();
    entry_depth = PyThreadState_Get()->recursion_depth;
}

int call_stack::count(std::uintptr_t here) const
{
    if (entry.on_thread_stack || here < unmeasured_floor(entry.address)) {
        throw_native_stack_exhausted();
    }
    const std::uintptr_t used = nested_entry_frames + (entry.address > here ? entry.address - here : 0);
    const int counted = entry_depth + static_cast<int>(used / native_stack_unit);
    if (counted > Py_GetRecursionLimit()) {
        throw_native_stack_exhausted();
    }
    PyThreadState *const thread = PyThreadState_Get();
    const int added = std::max(0, counted - thread->recursion_depth);
    thread->recursion_depth += added;
    return added;
}

void call_stack::lower_recursion_depth(int levels) noexcept
{
    PyThreadState_Get()->recursion_depth -= levels;
}

} // namespace veldspray
