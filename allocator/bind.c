/* The bundled allocator of the musl builds: mimalloc, compiled into this one
 * translation unit, and the functions that take over the C allocator's calls
 * of everything linked with it.
 *
 * The link renames each reference to a function named here (malloc, free,
 * strdup, ...) in every object and archive of the shared object or program,
 * the C++ runtime's included, to __wrap_NAME (CMakeLists.txt passes
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

BOUND void *__wrap_realloc(void *block, size_t size)
{
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
