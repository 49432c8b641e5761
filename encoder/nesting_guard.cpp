#include "nesting_guard.h"

#include <pybind11/pybind11.h>

#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace veldspray {
namespace {

constexpr const char *recursion_context = " while encoding a CBOR item";

// Stack kept free below the deepest container frame, for the interpreter and
// for Python code that classification may run (__index__, __eq__, __str__).
constexpr std::uintptr_t minimum_headroom = 128 * 1024;

std::uintptr_t compute_stack_floor() {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
        return 0;
    }
    void *low = nullptr;
    std::size_t size = 0;
    const int status = pthread_attr_getstack(&attributes, &low, &size);
    pthread_attr_destroy(&attributes);
    if (status != 0 || low == nullptr) {
        return 0;
    }
    const std::uintptr_t headroom = std::max<std::uintptr_t>(minimum_headroom, size / 4);
    return reinterpret_cast<std::uintptr_t>(low) + headroom;
}

}  // namespace

std::uintptr_t native_stack_floor() {
    thread_local const std::uintptr_t floor = compute_stack_floor();
    return floor;
}

void throw_native_stack_exhausted() {
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", recursion_context);
    throw pybind11::error_already_set();
}

nesting_guard::nesting_guard(std::uintptr_t stack_floor) {
    check_native_stack(stack_floor);
    if (Py_EnterRecursiveCall(recursion_context) != 0) {
        throw pybind11::error_already_set();
    }
}

nesting_guard::~nesting_guard() { Py_LeaveRecursiveCall(); }

}  // namespace veldspray
