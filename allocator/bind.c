/* The bundled allocator of the Linux builds: mimalloc, compiled into this one
 * translation unit, and the functions that take over the C library's
 * allocator (and short copies, below) for everything linked with it.
 *
 * The link renames each reference to a function named here (malloc, free,
 * strdup, memcpy, ...) in every object and archive of the shared object or
 * program, the C++ runtime's included, to __wrap_NAME (CMakeLists.txt passes
 * --wrap=NAME for each), so that the codec keeps calling the C allocator and
 * its calls land here: in mimalloc, or for large blocks in mappings of their
 * own (below). Nothing is exported: the process's own malloc
 * stays the C library's, and no other library can reach these.
 *
 * Every function of the C library that hands its caller a block for free to
 * release is taken over too (strdup, strndup): were one left to the C
 * library, its block would later reach mimalloc's free. realpath is not:
 * mimalloc calls the C library's with a buffer of its own, and nothing else
 * linked here calls it. scripts/check_wheel_symbols refuses a module that
 * still imports any such function, or exports any of these. */
#define _GNU_SOURCE /* mremap */
#include <errno.h>
#include <stdatomic.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>

#include "static.c"

#define BOUND __attribute__((visibility("hidden")))

/* A block of this size or more gets a mapping of its own, grown by mremap
 * without copying, as glibc and musl give their large blocks. Below it,
 * mimalloc serves blocks from size classes in pages it keeps; beyond its
 * largest class (512 KiB) it would give each block pages of its own anyway,
 * and copy the block whenever it outgrows them. */
#define MAPPED_THRESHOLD ((size_t)MI_LARGE_MAX_OBJ_SIZE)
/* A mapped block starts this far into its mapping, after the header: 16
 * bytes keep it aligned as every block of malloc must be (max_align_t). */
#define MAPPED_HEADER ((size_t)16)
/* Mappings start at multiples of the page size, and every page size of
 * Linux is a multiple of 4 KiB. */
#define PAGE_GRANULE ((size_t)4096)
/* A freed mapping of up to this length is kept, one at a time, for the next
 * large block, which then needs no fresh pages zeroed by the kernel. What is
 * kept stays resident after the call, where glibc keeps nothing (it grows
 * and frees such blocks with mremap and munmap): 4 MiB bounds that, while a
 * caller that writes outputs of a few MB in a loop still takes each one's
 * pages from the last: with mimalloc's pages kept too (below), such a call
 * takes 9 page faults at 1 MB or 3 MB of output, where glibc's allocator
 * takes 450 and 1,420. Larger mappings, and the one kept before, go back to
 * the system at once. */
#define KEPT_MAX ((size_t)4 << 20)
/* A block that realloc starts is one that grows, a few bytes at a time, as
 * the output buffer and the float writer's scratch space do at every append:
 * it starts at 32 bytes rather than in mimalloc's smallest class (8), so that
 * the scratch space (17 bytes for a float's three forms) never moves. */
#define GROWING_START ((size_t)32)

/* The header of a mapped block. */
struct mapping {
    size_t length; /* bytes mapped, this header included */
    size_t size;   /* bytes last asked for: tells growth from shrinking */
};

/* The one freed mapping kept for reuse, or NULL. Taken and given back by
 * atomic exchange: threads need no lock, and a child after fork inherits it
 * as it inherits every other mapping of its parent. */
static _Atomic(struct mapping *) kept_mapping;

/* No object is larger than PTRDIFF_MAX bytes: a larger size is refused
 * (NULL, errno ENOMEM) before anything here adds to it, so that no sum of a
 * size with its room or header wraps. */
static int is_refused(size_t size)
{
    if (size <= PTRDIFF_MAX)
        return 0;
    errno = ENOMEM;
    return 1;
}

/* count * size, or SIZE_MAX, which is refused, when that overflows. */
static size_t product(size_t count, size_t size)
{
    size_t total;

    return __builtin_mul_overflow(count, size, &total) ? SIZE_MAX : total;
}

static struct mapping *mapping_of(void *block)
{
    return (struct mapping *)((char *)block - MAPPED_HEADER);
}

/* Every block that free, realloc or the usable size is handed is either
 * mimalloc's or mapped here: no block of the C library's allocator reaches
 * them, since each function that hands its caller a block to free is taken
 * over (see the top of this file). A mapped block starts MAPPED_HEADER
 * bytes into a page, in a mapping that mimalloc's page map, which covers
 * only the regions mimalloc mapped, knows nothing of. Blocks of mimalloc's
 * are looked up there only when they start at that offset too. */
static int is_mapped(const void *block)
{
    return ((uintptr_t)block & (PAGE_GRANULE - 1)) == MAPPED_HEADER && !mi_is_in_heap_region(block);
}

/* The length of a mapping that holds `size` bytes, or 0 when the block could
 * not be an object (PTRDIFF_MAX bytes at most). */
static size_t mapping_length(size_t size)
{
    if (size > PTRDIFF_MAX - MAPPED_HEADER - PAGE_GRANULE)
        return 0;
    return (size + MAPPED_HEADER + PAGE_GRANULE - 1) & ~(PAGE_GRANULE - 1);
}

/* The length of a mapping that a block grown to `size` bytes moves to: an
 * eighth more room than asked, so that a block grown a few bytes at a time
 * calls mremap about 6 times per doubling rather than at every page. The
 * room costs address space, not memory, until it is written; where
 * overcommit is strict and it cannot be had, the block grows to the exact
 * length instead. `size` is at most PTRDIFF_MAX (is_refused), so the sum
 * does not wrap. */
static size_t growth_length(size_t size)
{
    const size_t roomy = mapping_length(size + size / 8);
    return roomy != 0 ? roomy : mapping_length(size);
}

/* Gives a freed mapping back to the system, or keeps it for the next large
 * block; tells whether it was kept. */
static int release(struct mapping *mapping)
{
    const int kept = mapping->length <= KEPT_MAX;

    if (kept)
        mapping = atomic_exchange(&kept_mapping, mapping);
    if (mapping != NULL)
        munmap(mapping, mapping->length);
    return kept;
}

/* Resizes a mapping to `length` bytes (0: too large), moving it where it
 * cannot grow in place; NULL, with the mapping as it was, when the system
 * refuses (strict overcommit, or the process at its limit of mappings,
 * vm.max_map_count). */
static struct mapping *remap(struct mapping *mapping, size_t length)
{
    void *resized = length == 0 ? MAP_FAILED : mremap(mapping, mapping->length, length, MREMAP_MAYMOVE);

    if (resized == MAP_FAILED)
        return NULL;
    mapping = resized;
    mapping->length = length;
    return mapping;
}

/* A new mapped block of `size` bytes in a mapping of at least `length`:
 * the kept one, grown if need be, or else a fresh one, which the kernel
 * zeroes (calloc takes only those). NULL when the system refuses both: the
 * caller then falls back to mimalloc, which carves blocks out of the few
 * large regions it has already mapped. */
static void *map_block(size_t size, size_t length, int zeroed)
{
    struct mapping *mapping;

    if (length == 0)
        return NULL;
    mapping = zeroed ? NULL : atomic_exchange(&kept_mapping, NULL);
    if (mapping != NULL && mapping->length < length) {
        struct mapping *grown = remap(mapping, length);
        if (grown == NULL)
            munmap(mapping, mapping->length);
        mapping = grown;
    }
    if (mapping == NULL) {
        void *fresh = mmap(NULL, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (fresh == MAP_FAILED)
            return NULL;
        mapping = fresh;
        mapping->length = length;
    }
    mapping->size = size;
    return (char *)mapping + MAPPED_HEADER;
}

/* realloc of a mapped block. Below the threshold, it moves to mimalloc, so
 * that no small block holds a mapping; size 0 included, which gives a block
 * of mimalloc's smallest class, as mimalloc's realloc does. */
static void *resize_mapped(void *block, size_t size)
{
    struct mapping *mapping = mapping_of(block), *resized;
    const size_t usable = mapping->length - MAPPED_HEADER;

    if (size < MAPPED_THRESHOLD) {
        void *moved = mi_malloc(size);
        if (moved == NULL)
            return block; /* it holds the `size` bytes already */
        memcpy(moved, block, size);
        release(mapping);
        return moved;
    }
    if (size <= usable) {
        /* Shrinking hands the pages beyond the block back at once; mremap
         * never moves a mapping to shrink it. */
        const size_t length = mapping_length(size);
        if (size < mapping->size && length < mapping->length &&
            mremap(mapping, mapping->length, length, 0) != MAP_FAILED)
            mapping->length = length;
        mapping->size = size;
        return block;
    }
    resized = remap(mapping, growth_length(size));
    if (resized == NULL)
        resized = remap(mapping, mapping_length(size));
    if (resized == NULL) {
        void *moved = mi_malloc(size);
        if (moved == NULL)
            return NULL;
        memcpy(moved, block, usable);
        munmap(mapping, mapping->length);
        return moved;
    }
    resized->size = size;
    return (char *)resized + MAPPED_HEADER;
}

static void *allocate(size_t size)
{
    void *block = size >= MAPPED_THRESHOLD ? map_block(size, mapping_length(size), 0) : NULL;

    return block != NULL ? block : mi_malloc(size);
}

BOUND void *__wrap_malloc(size_t size)
{
    return is_refused(size) ? NULL : allocate(size);
}

BOUND void *__wrap_calloc(size_t count, size_t size)
{
    const size_t total = product(count, size);
    void *block;

    if (is_refused(total))
        return NULL;
    block = total >= MAPPED_THRESHOLD ? map_block(total, mapping_length(total), 1) : NULL;
    return block != NULL ? block : mi_calloc(count, size);
}

static void *resize(void *block, size_t size)
{
    if (is_refused(size))
        return NULL;
    if (block == NULL)
        return allocate(size < GROWING_START ? GROWING_START : size);
    if (is_mapped(block))
        return resize_mapped(block, size);
    if (size >= MAPPED_THRESHOLD) {
        void *moved = map_block(size, growth_length(size), 0);
        if (moved != NULL) {
            const size_t usable = mi_usable_size(block);
            memcpy(moved, block, usable < size ? usable : size);
            mi_free(block);
            return moved;
        }
    } else {
        /* What mimalloc's realloc would tell, without its second look-up,
         * but a block of GROWING_START bytes or less never moves to shrink:
         * the buffer of a small output starts there and grows a byte at a
         * time, and would otherwise move into mimalloc's 8-byte class at
         * its second append and again at every append after. */
        const size_t usable = mi_usable_size(block);
        if (size <= usable && (size >= usable / 2 || usable <= GROWING_START))
            return block;
        /* A block that has to move to grow is given half as much again,
         * skipping the next few size classes (an eighth apart): mimalloc
         * frees a page soon after its last block leaves it, so a block that
         * passed through every class would have pages set up and freed
         * again at each call that grows one. */
        if (size > usable && size < MAPPED_THRESHOLD / 2) {
            void *moved = mi_realloc(block, size + size / 2);
            if (moved != NULL)
                return moved;
        }
    }
    return mi_realloc(block, size);
}

BOUND void *__wrap_realloc(void *block, size_t size)
{
    return resize(block, size);
}

BOUND void *__wrap_reallocarray(void *block, size_t count, size_t size)
{
    return resize(block, product(count, size));
}

/* A large block freed is most often the output of a call, at its end. When
 * its mapping goes back to the system, so do the pages that mimalloc emptied
 * while the call ran (the buffer's way up through its size classes, a large
 * call's scratch), rather than staying resident until an allocation after
 * mimalloc's purge delay: a walk of this thread's pages and a madvise per
 * run of emptied pages. A call whose output's mapping is kept leaves them
 * too, for the next call: 5.6 MB with the kept mapping at 3.5 MB of output
 * (make bench-memory), and a loop of such calls then takes no page faults
 * for them, where purging them at each call made a call of 1 MB of output
 * 1.07 times as long as with glibc's allocator (make codec-bench; 0.7 times
 * without). */
BOUND void __wrap_free(void *block)
{
    if (is_mapped(block)) {
        if (!release(mapping_of(block)))
            mi_collect(true);
    } else {
        mi_free(block);
    }
}

/* Aligned blocks come from mimalloc at any size: a mapped block's header
 * would undo their alignment. realloc takes them as any block of mimalloc's,
 * and one grown to the threshold moves to a mapping with malloc's alignment,
 * which is all that realloc promises. */
BOUND void *__wrap_aligned_alloc(size_t alignment, size_t size)
{
    return is_refused(size) ? NULL : mi_aligned_alloc(alignment, size);
}

BOUND int __wrap_posix_memalign(void **block, size_t alignment, size_t size)
{
    return mi_posix_memalign(block, alignment, size);
}

BOUND void *__wrap_memalign(size_t alignment, size_t size)
{
    return is_refused(size) ? NULL : mi_memalign(alignment, size);
}

BOUND size_t __wrap_malloc_usable_size(void *block)
{
    return is_mapped(block) ? mapping_of(block)->length - MAPPED_HEADER : mi_malloc_usable_size(block);
}

BOUND char *__wrap_strdup(const char *text)
{
    return mi_strdup(text);
}

BOUND char *__wrap_strndup(const char *text, size_t length)
{
    return mi_strndup(text, length);
}

/* musl's memcpy on x86_64 starts every copy with rep movs, slow to start
 * for the few bytes of most appends (a head, a key): such copies are made
 * here with two overlapping loads and stores, longer ones by the C library.
 * Plain loads and stores, so that no build turns them into a call of
 * memcpy, which would come back here. */
typedef uint64_t __attribute__((may_alias, aligned(1))) bytes8;
typedef uint32_t __attribute__((may_alias, aligned(1))) bytes4;

void *__real_memcpy(void *restrict target, const void *restrict source, size_t length);

BOUND void *__wrap_memcpy(void *restrict target, const void *restrict source, size_t length)
{
    unsigned char *to = target;
    const unsigned char *from = source;

    if (length > 16)
        return __real_memcpy(target, source, length);
    if (length >= 8) {
        const uint64_t first = *(const bytes8 *)from, last = *(const bytes8 *)(from + length - 8);
        *(bytes8 *)to = first;
        *(bytes8 *)(to + length - 8) = last;
    } else if (length >= 4) {
        const uint32_t first = *(const bytes4 *)from, last = *(const bytes4 *)(from + length - 4);
        *(bytes4 *)to = first;
        *(bytes4 *)(to + length - 4) = last;
    } else if (length > 0) {
        const unsigned char first = from[0], middle = from[length / 2], last = from[length - 1];
        to[0] = first;
        to[length / 2] = middle;
        to[length - 1] = last;
    }
    return target;
}
