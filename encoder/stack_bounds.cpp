// Each platform that CPython 3.10 runs on reports a thread's stack in its own
// way. The main thread's stack is the one the process started on: its size is
// the stack size limit (RLIMIT_STACK), which not every platform reports.
// Stacks grow downwards on every one of them.
#include "stack_bounds.h"

#include <cstddef>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <sys/resource.h>
#endif
#if defined(__linux__) && !defined(__GLIBC__)
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/auxv.h>
#endif

namespace veldspray {
namespace {

#if defined(__APPLE__) || (defined(__linux__) && !defined(__GLIBC__))
// The stack size limit, or 0 where there is none.
std::uintptr_t stack_size_limit() noexcept
{
    rlimit limit{};
    if (getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return 0;
    }
    return static_cast<std::uintptr_t>(limit.rlim_cur);
}
#endif

#if defined(__linux__) && !defined(__GLIBC__)
// Where the process's initial stack pointer was (field 28 of
// /proc/self/stat), or 0 if it cannot be read.
std::uintptr_t initial_stack_pointer() noexcept
{
    std::FILE *file = std::fopen("/proc/self/stat", "re");
    if (file == nullptr) {
        return 0;
    }
    std::array<char, 1024> text{};
    const std::size_t length = std::fread(text.data(), 1, text.size() - 1, file);
    std::fclose(file);
    text[length] = '\0'; // fread read at most size - 1 bytes
    // The fields follow the command name, which is in parentheses and may
    // hold spaces itself; the space after it starts field 3.
    const char *field = std::strrchr(text.data(), ')');
    for (int number = 3; field != nullptr && number <= 28; ++number) {
        field = std::strchr(field + 1, ' ');
    }
    return field == nullptr ? 0 : std::strtoull(field + 1, nullptr, 10);
}

// musl reports the main thread's stack only as far down as it is mapped so
// far. The limit counts from the top of the stack's mapping, just above the
// path of the program (AT_EXECFN), the first thing the kernel puts there.
stack_bounds whole_main_thread_stack(stack_bounds reported) noexcept
{
    const std::uintptr_t start = initial_stack_pointer();
    const std::uintptr_t limit = stack_size_limit();
    const std::uintptr_t path = getauxval(AT_EXECFN);
    const std::uintptr_t page = getauxval(AT_PAGESZ);
    if (start < reported.low || start >= reported.high || limit == 0 || path < start || page == 0) {
        return reported; // another thread's stack, or nothing to go by
    }
    const std::uintptr_t top = (path / page + 1) * page;
    return top > limit ? stack_bounds{top - limit, reported.high} : reported;
}
#endif

} // namespace

#ifdef __linux__
stack_bounds current_thread_stack_bounds() noexcept
{
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
        return {};
    }
    void *low = nullptr;
    std::size_t size = 0;
    const int status = pthread_attr_getstack(&attributes, &low, &size);
    pthread_attr_destroy(&attributes);
    if (status != 0 || low == nullptr) {
        return {};
    }
    const stack_bounds reported{reinterpret_cast<std::uintptr_t>(low), reinterpret_cast<std::uintptr_t>(low) + size};
#ifdef __GLIBC__
    // glibc works the main thread's stack out from the limit itself.
    return reported;
#else
    return whole_main_thread_stack(reported);
#endif
}
#elif defined(__APPLE__)
stack_bounds current_thread_stack_bounds() noexcept
{
    const pthread_t self = pthread_self();
    const auto high = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
    std::uintptr_t size = pthread_get_stacksize_np(self);
    // macOS sizes the main thread's stack by the limit when the process
    // starts; of the two, the smaller is never more than the thread has.
    const std::uintptr_t limit = pthread_main_np() != 0 ? stack_size_limit() : 0;
    if (limit != 0 && limit < size) {
        size = limit;
    }
    if (high == 0 || size == 0 || size > high) {
        return {};
    }
    return {high - size, high};
}
#elif defined(_WIN32)
stack_bounds current_thread_stack_bounds() noexcept
{
    // The whole reservation, with the guard pages at its low end.
    ULONG_PTR low = 0;
    ULONG_PTR high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    return {static_cast<std::uintptr_t>(low), static_cast<std::uintptr_t>(high)};
}
#else
stack_bounds current_thread_stack_bounds() noexcept
{
    return {};
}
#endif

namespace {

// The part of the thread's stack kept free below the deepest frame of a call:
// a quarter.
constexpr std::uintptr_t headroom_divisor = 4;

// The thread's own stack and the floor on it, worked out once per thread;
// all 0 where the platform reports none.
struct thread_stack {
    std::uintptr_t low;
    std::uintptr_t size;
    std::uintptr_t floor;
};

thread_stack measure_thread_stack() noexcept
{
    const stack_bounds bounds = current_thread_stack_bounds();
    if (bounds.low == 0 || bounds.high <= bounds.low) {
        return {};
    }
    const std::uintptr_t size = bounds.high - bounds.low;
    return {bounds.low, size, bounds.low + size / headroom_divisor};
}

} // namespace

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

stack_entry enter_stack() noexcept
{
    thread_local const thread_stack own = measure_thread_stack();
    const std::uintptr_t here = current_stack_address();
    // One comparison: an address below the stack wraps around to a large
    // difference.
    const bool on_thread_stack = here - own.low < own.size;
    return {here, on_thread_stack ? own.floor : 0, on_thread_stack};
}

} // namespace veldspray
