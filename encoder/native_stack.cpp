#include "native_stack.h"

#include "errors.h"

#include <frameobject.h>

#include <cstddef>
#include <limits>

namespace veldspray {

void throw_native_stack_exhausted()
{
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", error_text::recursion_context);
    throw_python_error();
}

namespace {

// A call in progress on a stack that the platform does not report.
struct unmeasured_call_record {
    std::uintptr_t entry;
    std::uintptr_t floor;
    PyThreadState *thread;
    // The thread state's recursion depth within the call, which calls nested
    // in it exceed.
    int depth;
    // The Python frame that made the call; null for a call made from C.
    PyFrameObject *caller;
};

// The records of every thread, which only the holder of the interpreter lock
// reads or changes: in Python 3.10 one lock serves every interpreter of the
// process. More than a coroutine engine keeps suspended inside dumps at once,
// or than calls nest through values' code within one allowance. Records of
// stacks abandoned in the middle of a call are never released: once they fill
// the table, calls are refused rather than let deeper.
constexpr std::size_t unmeasured_call_capacity = 64;
unmeasured_call_record unmeasured_calls[unmeasured_call_capacity];
std::size_t unmeasured_call_count = 0;

// Whether Python code running in `frame` runs inside the call that `caller`
// made. A call from C has no frame, and holds whatever runs on its thread.
bool runs_inside(PyFrameObject *frame, const PyFrameObject *caller)
{
    for (; frame != nullptr; frame = frame->f_back) {
        if (frame == caller) {
            return true;
        }
    }
    return caller == nullptr;
}

} // namespace

// A call nests in a recorded one when it starts below that call's entry, on
// the same thread state, deeper in its recursion, from Python code that runs
// inside that call. The code of a coroutine switched to in the middle of a
// call (uWSGI's uGreen, greenlet) has its own frames and recursion depth, and
// keeps its own stack's allowance. A record that matches wrongly lies above
// the entry, so its floor is above the call's own: it only makes the call
// stricter. That happens on a stack that shares its thread state with one
// where a call made from C, with no frame to go by, is suspended, and on a
// stack that reuses the memory of one abandoned in the middle of a call.
native_stack_allowance::unmeasured_entry native_stack_allowance::enter_unmeasured_stack(std::uintptr_t address) noexcept
{
    std::uintptr_t floor = unmeasured_floor(address);
    PyThreadState *const thread = PyThreadState_Get();
    bool nested = false;
    for (std::size_t index = 0; index < unmeasured_call_count; ++index) {
        const unmeasured_call_record &outer = unmeasured_calls[index];
        if (outer.entry > address && outer.floor > floor && outer.thread == thread &&
            outer.depth < thread->recursion_depth && runs_inside(thread->frame, outer.caller)) {
            floor = outer.floor;
            nested = true;
        }
    }
    if (unmeasured_call_count == unmeasured_call_capacity) {
        // A nested call is held by the floor of the call it runs inside, and
        // so are the calls nested in it; any other is refused.
        return {nested ? floor : std::numeric_limits<std::uintptr_t>::max(), false};
    }
    unmeasured_calls[unmeasured_call_count++] = {address, floor, thread, thread->recursion_depth, thread->frame};
    return {floor, true};
}

void native_stack_allowance::leave_unmeasured_stack(std::uintptr_t address) noexcept
{
    // Calls on other stacks may have ended in between, in any order. Two
    // records share an entry only where a stack abandoned mid-call had its
    // memory reused, and either may go.
    for (std::size_t index = 0; index < unmeasured_call_count; ++index) {
        if (unmeasured_calls[index].entry == address) {
            unmeasured_calls[index] = unmeasured_calls[--unmeasured_call_count];
            return;
        }
    }
}

} // namespace veldspray
