#include "native_stack.h"

#include "errors.h"

#include <frameobject.h>

#include <algorithm>
#include <cstddef>

namespace veldspray {

void throw_native_stack_exhausted()
{
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", error_text::recursion_context);
    throw_python_error();
}

namespace {

// A call in progress on a stack that the platform does not report.
struct unmeasured_call_record {
    // The call that holds the record; none once it has ended.
    native_stack_allowance::record_number number;
    std::uintptr_t entry;
    // The floor of the outermost call that it runs inside, or its own.
    std::uintptr_t floor;
    PyThreadState *thread;
    // The thread state's recursion depth within the call, which calls nested
    // in it exceed.
    int depth;
    // The Python frame that made the call; null for a call made from C.
    PyFrameObject *caller;
};

// How far below a recorded call's floor the entry of a call nested in it may
// lie: what runs between the outer call's last check of the stack and the
// nested call's entry, the encoder's frames for one element and the
// interpreter's for the value's method and the calls it makes before it
// calls dumps. That is 1 to 1.4 KiB in an optimised build and up to 2 KiB
// under the sanitizer; 16 KiB leave room for some 30 Python calls on the
// way. A nested call that starts there has nothing left and is refused, so
// that no chain escapes by starting each call just below the last floor; one
// whose value's code took more than this in between has its own allowance.
// Another coroutine's stack lies further below the floor than this, unless
// the stacks are smaller than the allowance and the margin together.
constexpr std::uintptr_t nested_entry_margin = std::uintptr_t{16} * 1024;

// The records of one OS thread, which only its own calls read or change; its
// records go with it. More than a coroutine engine keeps suspended inside
// dumps on one thread at once, or than calls nest within one allowance. Once
// all are taken, a new call's record replaces the oldest, which is the
// likeliest to belong to a stack dropped in the middle of a call: a call
// nested only in that one has its own allowance rather than its share.
constexpr std::size_t unmeasured_call_capacity = 64;
thread_local unmeasured_call_record unmeasured_calls[unmeasured_call_capacity];

// Numbers the calls of every thread, under the interpreter lock, which in
// Python 3.10 serves every interpreter of the process.
native_stack_allowance::record_number last_record_number = native_stack_allowance::no_record;

// Whether Python code running in `frame` runs inside the call that `caller`
// made: in a frame of its own, whose callers lead back to that call's. A call
// made from C has no frame, and holds whatever runs on its thread; a frame of
// its own is what sets a value's method apart from a coroutine that a host
// starts from C.
bool runs_inside(PyFrameObject *frame, const PyFrameObject *caller)
{
    if (frame == caller) {
        return false;
    }
    for (; frame != nullptr; frame = frame->f_back) {
        if (frame == caller) {
            return true;
        }
    }
    return caller == nullptr;
}

// Whether a call entered at `entry` runs inside the recorded `outer` call on
// the same stack: it starts within that call's reach, on the same thread
// state, deeper in its recursion, from Python code that runs inside that
// call. A coroutine switched to in the middle of a call has a stack of its
// own, out of that reach, or frames and a recursion depth of its own (uWSGI's
// uGreen, greenlet). A record left by a stack dropped in the middle of a call
// touches only a call that reuses its memory, and only as a call nested in it
// would be treated.
bool nests_in(const unmeasured_call_record &outer, std::uintptr_t entry, PyThreadState *thread)
{
    return outer.number != native_stack_allowance::no_record && entry < outer.entry &&
           entry + nested_entry_margin >= outer.floor && outer.thread == thread &&
           outer.depth < thread->recursion_depth && runs_inside(thread->frame, outer.caller);
}

} // namespace

native_stack_allowance::unmeasured_entry native_stack_allowance::enter_unmeasured_stack(std::uintptr_t address) noexcept
{
    std::uintptr_t floor = unmeasured_floor(address);
    PyThreadState *const thread = PyThreadState_Get();
    for (const unmeasured_call_record &outer : unmeasured_calls) {
        if (nests_in(outer, address, thread)) {
            floor = std::max(floor, outer.floor);
        }
    }
    const record_number number = ++last_record_number;
    unmeasured_calls[number % unmeasured_call_capacity] = {
        number, address, floor, thread, thread->recursion_depth, thread->frame};
    return {floor, number};
}

void native_stack_allowance::leave_unmeasured_stack(record_number record) noexcept
{
    // Calls on other stacks may have ended in between, in any order, and the
    // record may have gone to a later call.
    unmeasured_call_record &slot = unmeasured_calls[record % unmeasured_call_capacity];
    if (slot.number == record) {
        slot.number = no_record;
    }
}

} // namespace veldspray
