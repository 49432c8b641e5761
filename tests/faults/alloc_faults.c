/*
 * Allocation accounting for test builds of the module. Every allocation that
 * the module's own code makes (the codec's, see CMakeLists.txt) is counted;
 * a test can make the k-th one fail, and can ask how many of the blocks
 * allocated since are still held. Tests reach these functions with ctypes.
 * Calls come from dumps, which runs with the GIL held, so no locking.
 */
#include <stddef.h>
#include <stdint.h>

#define EXPORTED __attribute__((visibility("default")))

void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *block, size_t size);
void __real_free(void *block);

/* Blocks allocated since the last arm and not yet released. The codec holds
 * a handful at a time; a full table stops the accounting (held = -1). */
enum { TRACKED_MAX = 1024 };
static void *tracked[TRACKED_MAX];
static int64_t tracked_count;
static int tracking_overflowed;

static int64_t allocations;
static int64_t fail_at;
static int injected;

static void track(void *block)
{
    if (block == NULL)
        return;
    if (tracked_count == TRACKED_MAX) {
        tracking_overflowed = 1;
        return;
    }
    tracked[tracked_count++] = block;
}

/* Forgets `block`; returns 0 when it was not tracked (allocated before the
 * last arm, or elsewhere). */
static int untrack(void *block)
{
    for (int64_t i = 0; i < tracked_count; ++i) {
        if (tracked[i] == block) {
            tracked[i] = tracked[--tracked_count];
            return 1;
        }
    }
    return 0;
}

static int should_fail(void)
{
    if (++allocations != fail_at)
        return 0;
    injected = 1;
    return 1;
}

void *__wrap_malloc(size_t size)
{
    void *block = should_fail() ? NULL : __real_malloc(size);
    track(block);
    return block;
}

void *__wrap_calloc(size_t count, size_t size)
{
    void *block = should_fail() ? NULL : __real_calloc(count, size);
    track(block);
    return block;
}

void *__wrap_realloc(void *block, size_t size)
{
    void *moved;

    if (should_fail())
        return NULL; /* the old block stays allocated and tracked as it was */
    moved = __real_realloc(block, size);
    if (moved != NULL) {
        if (block != NULL && !untrack(block)) {
            /* grown from a block allocated before the arm: not ours to count */
            return moved;
        }
        track(moved);
    }
    return moved;
}

void __wrap_free(void *block)
{
    if (block != NULL)
        untrack(block);
    __real_free(block);
}

/* Starts counting afresh; the allocation numbered `k` (from 1) fails, none
 * when k is 0. */
EXPORTED void veldspray_alloc_faults_arm(int64_t k)
{
    allocations = 0;
    fail_at = k;
    injected = 0;
    tracked_count = 0;
    tracking_overflowed = 0;
}

/* Allocations counted since the last arm, the failed one included. */
EXPORTED int64_t veldspray_alloc_faults_count(void)
{
    return allocations;
}

/* 1 when the armed failure has happened. */
EXPORTED int veldspray_alloc_faults_injected(void)
{
    return injected;
}

/* Blocks allocated since the last arm that are still held, or -1 when there
 * were too many to follow. */
EXPORTED int64_t veldspray_alloc_faults_held(void)
{
    return tracking_overflowed ? -1 : tracked_count;
}
