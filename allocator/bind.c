/* The bundled allocator of the musl builds: mimalloc, compiled into this one
 * translation unit, and the functions that take over the C library's
 * allocator (and short copies, below) for everything linked with it.
 *
 * The link renames each reference to a function named here (malloc, free,
 * strdup, memcpy, ...) in every object and archive of the shared object or
 * program, the C++ runtime's included, to __wrap_NAME (CMakeLists.txt passes
 * --wrap=NAME for each), so that the codec keeps calling the C allocator and
 * its calls land in mimalloc. Nothing is exported: the process's own malloc
 * stays the C library's, and no other library can reach these.
 *
 * Every function of the C library that hands its caller a block for free to
 * release is taken over too (strdup, strndup): were one left to the C
 * library, its block would later reach mimalloc's free. realpath is not:
 * mimalloc calls the C library's with a buffer of its own, and nothing else
 * linked here calls it. scripts/check_wheel_symbols refuses a module that
 * still imports any such function, or exports any of these. */
#include <stdint.h>

#include "static.c"

#define BOUND __attribute__((visibility("hidden")))

BOUND void *__wrap_malloc(size_t size)
{
    return mi_malloc(size);
}

BOUND void *__wrap_calloc(size_t count, size_t size)
{
    return mi_calloc(count, size);
}

/* mimalloc rounds a block up to its size class, so that a block grown a few
 * bytes at a time moves only when it outgrows its class, the classes an
 * eighth apart. Blocks beyond the largest class (512 KiB) it sizes to the
 * 64 KiB slice, and moves, copying all of it, every 64 KiB: the output
 * buffer, which grows to the exact size at each append, would be copied
 * about once per 64 KiB of output. Such a block is given an eighth more
 * room when it has to move, as a size class would give it. */
BOUND void *__wrap_realloc(void *block, size_t size)
{
    if (block != NULL && size > MI_LARGE_MAX_OBJ_SIZE && size <= SIZE_MAX - size / 8 && size > mi_usable_size(block)) {
        void *moved = mi_realloc(block, size + size / 8);
        if (moved != NULL)
            return moved;
    }
    return mi_realloc(block, size);
}

BOUND void *__wrap_reallocarray(void *block, size_t count, size_t size)
{
    return mi_reallocarray(block, count, size);
}

BOUND void __wrap_free(void *block)
{
    mi_free(block);
}

BOUND void *__wrap_aligned_alloc(size_t alignment, size_t size)
{
    return mi_aligned_alloc(alignment, size);
}

BOUND int __wrap_posix_memalign(void **block, size_t alignment, size_t size)
{
    return mi_posix_memalign(block, alignment, size);
}

BOUND void *__wrap_memalign(size_t alignment, size_t size)
{
    return mi_memalign(alignment, size);
}

BOUND size_t __wrap_malloc_usable_size(void *block)
{
    return mi_malloc_usable_size(block);
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
