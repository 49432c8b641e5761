// Allocation accounting for test builds of the module. Every allocation that
// the module's own code makes (the codec's, see CMakeLists.txt) is counted;
// a test can make the k-th one fail, and can ask how many of the blocks
// allocated since are still held. Tests reach these functions with ctypes.
// Calls come from dumps, which runs with the GIL held, so no locking.
#include <cstddef>
#include <cstdint>

#define EXPORTED __attribute__((visibility("default")))

extern "C" {
void *__real_malloc(std::size_t size);
void *__real_calloc(std::size_t count, std::size_t size);
void *__real_realloc(void *block, std::size_t size);
void __real_free(void *block);
}

namespace {

// Blocks allocated since the last arm and not yet released. The codec holds
// a handful at a time; a full table stops the accounting (held = -1).
constexpr std::int64_t tracked_max = 1024;
void *tracked[tracked_max];
std::int64_t tracked_count;
bool tracking_overflowed;

std::int64_t allocations;
std::int64_t fail_at;
bool injected;

void track(void *block)
{
    if (block == nullptr)
        return;
    if (tracked_count == tracked_max) {
        tracking_overflowed = true;
        return;
    }
    tracked[tracked_count++] = block;
}

// Forgets `block`; returns false when it was not tracked (allocated before
// the last arm, or elsewhere).
bool untrack(void *block)
{
    for (std::int64_t i = 0; i < tracked_count; ++i) {
        if (tracked[i] == block) {
            tracked[i] = tracked[--tracked_count];
            return true;
        }
    }
    return false;
}

bool should_fail()
{
    if (++allocations != fail_at)
        return false;
    injected = true;
    return true;
}

} // namespace

extern "C" {

void *__wrap_malloc(std::size_t size)
{
    void *block = should_fail() ? nullptr : __real_malloc(size);
    track(block);
    return block;
}

void *__wrap_calloc(std::size_t count, std::size_t size)
{
    void *block = should_fail() ? nullptr : __real_calloc(count, size);
    track(block);
    return block;
}

void *__wrap_realloc(void *block, std::size_t size)
{
    if (should_fail())
        return nullptr; // the old block stays allocated and tracked as it was
    void *moved = __real_realloc(block, size);
    if (moved != nullptr) {
        if (block != nullptr && !untrack(block)) {
            // grown from a block allocated before the arm: not ours to count
            return moved;
        }
        track(moved);
    }
    return moved;
}

void __wrap_free(void *block)
{
    if (block != nullptr)
        untrack(block);
    __real_free(block);
}

// Starts counting afresh; the allocation numbered `k` (from 1) fails, none
// when k is 0.
EXPORTED void veldspray_alloc_faults_arm(std::int64_t k)
{
    allocations = 0;
    fail_at = k;
    injected = false;
    tracked_count = 0;
    tracking_overflowed = false;
}

// Allocations counted since the last arm, the failed one included.
EXPORTED std::int64_t veldspray_alloc_faults_count()
{
    return allocations;
}

// 1 when the armed failure has happened.
EXPORTED int veldspray_alloc_faults_injected()
{
    return injected ? 1 : 0;
}

// Blocks allocated since the last arm that are still held, or -1 when there
// were too many to follow.
EXPORTED std::int64_t veldspray_alloc_faults_held()
{
    return tracking_overflowed ? -1 : tracked_count;
}

} // extern "C"
