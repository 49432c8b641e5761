// Checks the stack bounds that threads of known stack sizes are told: each
// thread's bounds hold a local of its own and span the size the thread was
// created with, give or take what the platform adds or rounds. One line per
// thread; the exit status is 1 on any mismatch.
//
// What each platform adds: glibc nothing to a thread's stack; musl its
// thread-local data (under 8 KiB); macOS rounds up to a page (16 KiB at most);
// Windows rounds a reservation up to 64 KiB, and wine reserves at least
// 1 MiB. The main thread's stack starts below the program's arguments and
// environment, which Linux and macOS count against the limit and cap at a
// quarter of it.
#include "stack_bounds.h"

#include <array>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <sys/resource.h>
#endif

namespace {

using veldspray::stack_bounds;

constexpr std::uintptr_t kib = 1024;

struct observation {
    stack_bounds bounds;
    std::uintptr_t local;
};

void observe(observation &seen) noexcept
{
    volatile char local = 0;
    seen = {veldspray::current_thread_stack_bounds(), reinterpret_cast<std::uintptr_t>(&local)};
}

#ifdef _WIN32
DWORD WINAPI observe_into(LPVOID result)
{
    observe(*static_cast<observation *>(result));
    return 0;
}

// The size is the whole reservation, as the threads of CPython itself ask for.
bool observe_thread(std::uintptr_t size, observation &seen)
{
    HANDLE thread = CreateThread(nullptr, size, observe_into, &seen, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) {
        return false;
    }
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return true;
}

// The main thread's reservation is set in the program's header.
std::uintptr_t main_thread_stack_size()
{
    const auto *image = reinterpret_cast<const unsigned char *>(GetModuleHandleW(nullptr));
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(image);
    const auto *headers = reinterpret_cast<const IMAGE_NT_HEADERS *>(image + dos->e_lfanew);
    return static_cast<std::uintptr_t>(headers->OptionalHeader.SizeOfStackReserve);
}
#else
void *observe_into(void *result)
{
    observe(*static_cast<observation *>(result));
    return nullptr;
}

bool observe_thread(std::uintptr_t size, observation &seen)
{
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_t thread;
    const bool started = pthread_attr_setstacksize(&attributes, size) == 0 &&
                         pthread_create(&thread, &attributes, observe_into, &seen) == 0;
    pthread_attr_destroy(&attributes);
    return started && pthread_join(thread, nullptr) == 0;
}

// The main thread's stack is the stack size limit's; 0 where there is none.
std::uintptr_t main_thread_stack_size()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return 0;
    }
    return static_cast<std::uintptr_t>(limit.rlim_cur);
}
#endif

struct size_range {
    std::uintptr_t smallest;
    std::uintptr_t largest;
};

#ifdef _WIN32
size_range thread_sizes(std::uintptr_t requested)
{
    constexpr std::uintptr_t granularity = 64 * kib;
    constexpr std::uintptr_t wine_minimum = 1024 * kib;
    const std::uintptr_t rounded = (requested + granularity - 1) / granularity * granularity;
    return {requested, rounded < wine_minimum ? wine_minimum : rounded};
}

// The reservation in the program's header is rounded as a thread's.
size_range main_thread_sizes(std::uintptr_t requested)
{
    return thread_sizes(requested);
}
#else
size_range thread_sizes(std::uintptr_t requested)
{
    return {requested, requested + 16 * kib};
}

size_range main_thread_sizes(std::uintptr_t requested)
{
    return {requested - requested / 4, requested};
}
#endif

bool check(const char *name, const observation &seen, size_range expected)
{
    const stack_bounds &bounds = seen.bounds;
    const std::uintptr_t size = bounds.high - bounds.low;
    const bool ok =
        bounds.low < seen.local && seen.local < bounds.high && expected.smallest <= size && size <= expected.largest;
    std::printf("%-6s %-8s low 0x%" PRIxPTR " high 0x%" PRIxPTR " size %" PRIuPTR " KiB + %" PRIuPTR
                " B (expected %" PRIuPTR " to %" PRIuPTR " KiB), local 0x%" PRIxPTR "\n",
                name, ok ? "ok" : "MISMATCH", bounds.low, bounds.high, size / kib, size % kib, expected.smallest / kib,
                expected.largest / kib, seen.local);
    return ok;
}

} // namespace

int main()
{
    observation main_thread{};
    observe(main_thread);
    const std::uintptr_t main_size = main_thread_stack_size();
    // Without a limit only the local's place can be checked.
    bool ok = check("main", main_thread, main_size == 0 ? size_range{0, UINTPTR_MAX} : main_thread_sizes(main_size));
    for (const std::uintptr_t size : std::array<std::uintptr_t, 3>{256 * kib, 512 * kib, 8192 * kib}) {
        observation seen{};
        if (!observe_thread(size, seen)) {
            std::printf("could not start a thread with a %" PRIuPTR " KiB stack\n", size / kib);
            return 1;
        }
        ok = check("thread", seen, thread_sizes(size)) && ok;
    }
    return ok ? 0 : 1;
}
