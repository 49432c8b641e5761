// The allowance of a call of dumps on a stack that the platform does not
// report: the records of the calls in progress there, and which of them a
// new call runs inside. The thread's own stack needs none of it
// (native_stack.h).
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
// dumps on one thread at once, or than calls nest within one allowance. A new
// call takes a free record; once all hold calls in progress, it replaces the
// thread's oldest, the likeliest to belong to a stack dropped in the middle
// of a call: a call nested only in that one has its own allowance rather
// than its share.
constexpr std::size_t unmeasured_call_capacity = 64;
thread_local unmeasured_call_record unmeasured_calls[unmeasured_call_capacity];

// Counts the calls of every thread, under the interpreter lock, which in
// Python 3.10 serves every interpreter of the process. A call's record number
// is its count times the capacity plus the index of its record: the larger
// number is the later call, and the numbers are unique across the process, so
// that a fiber which ends on another OS thread than it began on finds no
// record of its own there and clears none of another call's.
native_stack_allowance::record_number unmeasured_call_count = 0;

// Whether code running in `frame` runs inside the call that `caller` made: in
// the caller's own frame, where a value's method written in C, or a property
// that is dumps itself, calls it again with no frame between; or in a frame
// whose callers lead back to the caller's. A call made from C has no frame,
// and holds whatever runs on its thread, with a frame or none.
bool runs_inside(PyFrameObject *frame, const PyFrameObject *caller)
{
    if (caller == nullptr) {
        return true;
    }
    for (; frame != nullptr; frame = frame->f_back) {
        if (frame == caller) {
            return true;
        }
    }
    return false;
}

// Whether a call entered at `entry` runs inside the recorded `outer` call on
// the same stack: it starts within that call's reach, on the same thread
// state, deeper in its recursion, from code that runs inside that call. A
// coroutine switched to in the middle of a call has a stack of its
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
    std::size_t index = 0;
    for (std::size_t slot = 0; slot < unmeasured_call_capacity; ++slot) {
        const unmeasured_call_record &outer = unmeasured_calls[slot];
        if (nests_in(outer, address, thread)) {
            floor = std::max(floor, outer.floor);
        }
        // Free records hold no_record, below every call's number.
        if (outer.number < unmeasured_calls[index].number) {
            index = slot;
        }
    }
    const record_number number = ++unmeasured_call_count * unmeasured_call_capacity + index;
    unmeasured_calls[index] = {number, address, floor, thread, thread->recursion_depth, thread->frame};
    return {floor, number};
}

void native_stack_allowance::leave_unmeasured_stack(record_number record) noexcept
{
    // Calls on other stacks may have ended in between, in any order; the
    // record may have gone to a later call, or belong to another thread.
    unmeasured_call_record &slot = unmeasured_calls[record % unmeasured_call_capacity];
    if (slot.number == record) {
        slot.number = no_record;
    }
}

} // namespace veldspray
