/* Loads the library of the dlopen test (library.cpp) with dlopen after
 * start-up, while threads started before it wait, then has all of them write
 * every document of the table below at once, round after round, each thread
 * starting at another size. `write` first saves the documents, one after
 * another, to REFERENCE; `check` reads them from there, as another build (the
 * glibc one) wrote them. Any document that differs fails the run. Then each
 * thread, on the C library's default stack (128 KiB for musl), and the main
 * thread nest under the native stack guard: a shallow nesting must be let
 * through, and one deeper than any stack must be stopped before it overflows.
 *
 *     dlopen_host LIBRARY write|check REFERENCE
 */
#include <dlfcn.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { THREADS = 8, ROUNDS = 20 };

/* Levels of about 100 bytes: 100 fit in a quarter of 128 KiB, a million in no
 * stack of these threads. */
enum { SHALLOW = 100, DEEP = 1000000 };

/* Records per document: an empty array, one record, then about 1 KB to 600 KB. */
static const uint32_t records[] = {0, 1, 7, 60, 500, 4000};
#define DOCUMENTS (sizeof records / sizeof records[0])

typedef int64_t (*document_writer)(uint32_t records, uint64_t seed, void *out, uint64_t capacity);
typedef int64_t (*guarded_nesting)(uint64_t depth);

static document_writer write_document;
static guarded_nesting nest;
static long misjudged[THREADS + 1]; /* by each thread, and the main thread last */
static unsigned char *reference;
static int64_t offsets[DOCUMENTS + 1];
static pthread_barrier_t loaded;

/* How many of the two nestings the guard got wrong: a shallow one stopped, or
 * a deep one let through (which the stack's overflow ends first). */
static long misjudged_nestings(void)
{
    return (long)(nest(SHALLOW) != SHALLOW) + (long)(nest(DEEP) != -1);
}

static void *write_all(void *argument)
{
    const size_t first = (size_t)(uintptr_t)argument;
    long differences = 0;

    pthread_barrier_wait(&loaded);
    unsigned char *out = malloc((size_t)offsets[DOCUMENTS] + 1);
    if (out == NULL)
        return (void *)1;
    for (size_t round = 0; round < ROUNDS; ++round) {
        for (size_t k = 0; k < DOCUMENTS; ++k) {
            const size_t d = (first + round + k) % DOCUMENTS;
            const int64_t length = offsets[d + 1] - offsets[d];
            if (write_document(records[d], d, out, (uint64_t)length) != length ||
                memcmp(out, reference + offsets[d], (size_t)length) != 0)
                ++differences;
        }
    }
    free(out);
    misjudged[first] = misjudged_nestings();
    return (void *)(uintptr_t)differences;
}

static int fail(const char *what, const char *detail)
{
    fprintf(stderr, "dlopen_host: %s%s\n", what, detail);
    return 1;
}

/* Writes the documents into `reference` (write) or reads them from the file. */
static int take_reference(int write, const char *path)
{
    FILE *file = fopen(path, write ? "wb" : "rb");
    if (file == NULL)
        return fail("cannot open ", path);
    for (size_t d = 0; d < DOCUMENTS; ++d) {
        const int64_t length = write_document(records[d], d, NULL, 0);
        if (length < 0)
            return fail("a document could not be written", "");
        offsets[d + 1] = offsets[d] + length;
    }
    reference = malloc((size_t)offsets[DOCUMENTS]);
    if (reference == NULL)
        return fail("out of memory", "");
    size_t done = (size_t)offsets[DOCUMENTS];
    if (write) {
        for (size_t d = 0; d < DOCUMENTS; ++d)
            write_document(records[d], d, reference + offsets[d], (uint64_t)(offsets[d + 1] - offsets[d]));
        done = fwrite(reference, 1, done, file);
    } else {
        done = fread(reference, 1, done, file);
        if (fgetc(file) != EOF)
            done = 0;
    }
    if (fclose(file) != 0 || done != (size_t)offsets[DOCUMENTS])
        return fail(write ? "cannot write " : "the documents differ in length from ", path);
    return 0;
}

int main(int argc, char **argv)
{
    pthread_t threads[THREADS];
    long differences = 0;

    if (argc != 4 || (strcmp(argv[2], "write") != 0 && strcmp(argv[2], "check") != 0))
        return fail("usage: dlopen_host LIBRARY write|check REFERENCE", "");
    pthread_barrier_init(&loaded, NULL, THREADS + 1);
    for (size_t t = 0; t < THREADS; ++t)
        if (pthread_create(&threads[t], NULL, write_all, (void *)(uintptr_t)t) != 0)
            return fail("cannot start a thread", "");

    /* The other threads wait at the barrier meanwhile: only this one asks dlerror. */
    void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == NULL)
        return fail("", dlerror()); // NOLINT(concurrency-mt-unsafe): the only thread running
    *(void **)&write_document = dlsym(library, "veldspray_document");
    *(void **)&nest = dlsym(library, "veldspray_nest");
    if (write_document == NULL || nest == NULL)
        return fail("", dlerror()); // NOLINT(concurrency-mt-unsafe): the only thread running
    if (take_reference(strcmp(argv[2], "write") == 0, argv[3]) != 0)
        return 1;

    pthread_barrier_wait(&loaded);
    misjudged[THREADS] = misjudged_nestings();
    long misjudgements = misjudged[THREADS];
    for (size_t t = 0; t < THREADS; ++t) {
        void *result;
        pthread_join(threads[t], &result);
        differences += (long)(uintptr_t)result;
        misjudgements += misjudged[t];
    }
    printf("dlopen_host: %d threads wrote %d x %zu documents (%lld bytes) with %s: %ld differed from %s; "
           "the stack guard misjudged %ld of %d nestings\n",
           THREADS, ROUNDS, DOCUMENTS, (long long)offsets[DOCUMENTS], argv[1], differences, argv[3], misjudgements,
           2 * (THREADS + 1));
    free(reference);
    return differences == 0 && misjudgements == 0 ? 0 : 1;
}
