/* A program that embeds the interpreter, as hosts of Python do: it starts
 * CPython, imports veldspray_cbor on the main thread (from MODULE_DIRECTORY,
 * put first on sys.path) and releases the GIL. Then threads of its own with
 * 128 KiB stacks, musl's default for threads that C code starts, call dumps
 * all at once; then a fiber of its own does, on a 256 KiB stack entered with
 * swapcontext. Each takes the GIL with PyGILState_Ensure. Last, fibers are
 * paused inside dumps by a value's __bool__, as a coroutine engine pauses a
 * coroutine whose code waits: calls on other fibers beside them must write
 * what fits, whether the paused ones are resumed or dropped, on a stack that
 * held one too; and chains of calls nested on a fiber, while other fibers call
 * dumps, must be refused rather than overflow it. Every failed check prints a
 * line that names it (to stderr); the summary line comes last, and the exit
 * status is 0 only when every check passed.
 *
 *     embed_host MODULE_DIRECTORY
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <dlfcn.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

enum { THREADS = 4, THREAD_STACK = 128 * 1024, FIBER_STACK = 256 * 1024 };

/* No 128 KiB stack holds this: a level of nesting takes at least a return
 * address, 8 bytes, so 16384 levels would fill it. */
#define UNWRITABLE_DEPTH 100000L
/* Every build writes this on a 128 KiB thread: a level takes at most 1 KiB
 * (gcc's 160 B, clang's with the sanitizer 710 B), so 20 levels take 20 KiB
 * at most, and the rest is left to the guard's headroom, the interpreter's
 * frames and the host's. */
#define THREAD_WRITABLE_DEPTH 20L

/* chain(): a list nested 360 deep, near what a call may use of a fiber's
 * stack, with a value at its bottom whose __bool__ makes `deeper` Python
 * calls, writes 0, then the next chain with `call` (dumps, or dumps in a new
 * greenlet), `levels` times over; before each call, other fibers may call
 * dumps (calls_between). The calls nest on one stack through the values' own
 * code, each with a depth limit that never stops it. Each counts the stack it
 * uses in the recursion depth that the next starts from, so the chain is
 * refused with RecursionError, or written, but never overflows the stack. So
 * is the chain of ViaProperty, whose calls nest in the outer call's frame. */
static const char reentrant_source[] = "import greenlet\n"
                                       "def in_greenlet(*arguments, **keywords):\n"
                                       "    return greenlet.greenlet(lambda: dumps(*arguments, **keywords)).switch()\n"
                                       "class Reentrant:\n"
                                       "    def __init__(self, levels, deeper=0, call=dumps):\n"
                                       "        self.levels, self.deeper, self.call = levels, deeper, call\n"
                                       "    def __bool__(self, calls=None):\n"
                                       "        calls = self.deeper if calls is None else calls\n"
                                       "        if calls:\n"
                                       "            return self.__bool__(calls - 1)\n"
                                       "        if self.levels:\n"
                                       "            calls_between()\n"
                                       "            dumps(0)\n"
                                       "            value = chain(self.levels - 1, self.deeper, self.call)\n"
                                       "            calls_between()\n"
                                       "            self.call(value, indefinite=False, max_depth=2**64 - 1)\n"
                                       "        return True\n"
                                       "def chain(levels, deeper=0, call=dumps):\n"
                                       "    value = Reentrant(levels, deeper, call)\n"
                                       "    for _ in range(360):\n"
                                       "        value = [value]\n"
                                       "    return value\n"
                                       "class ViaProperty:\n"
                                       "    __bool__ = property(dumps)\n"
                                       "value = [Reentrant(8)]\n";

/* Pausing().__bool__ hands its fiber back to the host until the host resumes
 * it; dumps_from_python calls dumps from Python code rather than from C. */
static const char pausing_source[] = "class Pausing:\n"
                                     "    def __bool__(self):\n"
                                     "        pause()\n"
                                     "        return True\n"
                                     "def dumps_from_python(*arguments):\n"
                                     "    return dumps(*arguments)\n";

/* The depths that the fiber nests, up to the interpreter's default recursion
 * limit: each must be written or refused with RecursionError. */
static const long fiber_depths[] = {10, 100, 500, 1000};
#define FIBER_DEPTHS (sizeof fiber_depths / sizeof fiber_depths[0])

/* How dumps is called: as it comes (indefinite lengths, nesting counted
 * against the interpreter's recursion limit), or with definite lengths and
 * max_depth 2**64 - 1, where the native stack guard alone stops deep input. */
struct arguments {
    int indefinite;
    unsigned long long max_depth;
    const char *text;
};
static const struct arguments as_it_comes = {1, 0, ""};
static const struct arguments unlimited = {0, UINT64_MAX, ", indefinite=False, max_depth=2**64 - 1"};

enum want { WRITTEN, REFUSED, WRITTEN_OR_REFUSED };
enum outcome { WAS_WRITTEN, WAS_REFUSED, FAILED };

static PyObject *dumps;
static atomic_int checks, failures;
static pthread_barrier_t all_started;

/* What the pending exception is, as "Type: message"; clears it. */
static void describe_error(char *text, size_t size)
{
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject *message = value != NULL ? PyObject_Str(value) : NULL;
    const char *utf8 = message != NULL ? PyUnicode_AsUTF8(message) : NULL;
    snprintf(text, size, "%s: %s", type != NULL ? ((PyTypeObject *)type)->tp_name : "no exception",
             utf8 != NULL ? utf8 : "");
    PyErr_Clear();
    Py_XDECREF(message);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
}

/* The length of a result and its first bytes, in hex. */
static void describe_bytes(char *text, size_t size, PyObject *bytes)
{
    const Py_ssize_t length = PyBytes_GET_SIZE(bytes);
    const unsigned char *data = (const unsigned char *)PyBytes_AS_STRING(bytes);
    int used = snprintf(text, size, "%zd bytes", length);
    for (Py_ssize_t i = 0; i < length && i < 12 && used > 0 && (size_t)used < size; ++i)
        used += snprintf(text + used, size - (size_t)used, " %02x", data[i]);
    if (length > 12 && used > 0 && (size_t)used < size)
        snprintf(text + used, size - (size_t)used, " ...");
}

/* Calls function(value, ...), dumps or a function that calls it, and checks the outcome: the bytes `expected`,
 * RecursionError, or either, as `want` says. Takes the references to value
 * and expected, either of which may be NULL: building it failed. Holds the
 * GIL. */
static enum outcome check_call_of(PyObject *function, const char *where, const char *what, PyObject *value,
                                  const struct arguments *arguments, PyObject *expected, enum want want)
{
    static const char *const wanted[] = {"the bytes", "RecursionError", "the bytes or RecursionError"};
    char got[256];
    enum outcome outcome = FAILED;

    ++checks;
    PyObject *result = NULL;
    if (value != NULL && expected != NULL)
        result = PyObject_CallFunction(function, "OOK", value, arguments->indefinite ? Py_True : Py_False,
                                       arguments->max_depth);
    if (result != NULL) {
        describe_bytes(got, sizeof got, result);
        if (want != REFUSED && PyBytes_GET_SIZE(result) == PyBytes_GET_SIZE(expected) &&
            memcmp(PyBytes_AS_STRING(result), PyBytes_AS_STRING(expected), (size_t)PyBytes_GET_SIZE(result)) == 0)
            outcome = WAS_WRITTEN;
    } else {
        const int recursion = value != NULL && expected != NULL && PyErr_ExceptionMatches(PyExc_RecursionError);
        describe_error(got, sizeof got);
        if (want != WRITTEN && recursion)
            outcome = WAS_REFUSED;
    }
    if (outcome == FAILED) {
        ++failures;
        fprintf(stderr, "embed_host: FAILED on %s: %s: wanted %s, got %s\n", where, what, wanted[want], got);
    }
    Py_XDECREF(result);
    Py_XDECREF(value);
    Py_XDECREF(expected);
    return outcome;
}

static enum outcome check_call(const char *where, const char *what, PyObject *value, const struct arguments *arguments,
                               PyObject *expected, enum want want)
{
    return check_call_of(dumps, where, what, value, arguments, expected, want);
}

static void check_small_values(const char *where)
{
    check_call(where, "dumps(1)", PyLong_FromLong(1), &as_it_comes, PyBytes_FromStringAndSize("\x01", 1), WRITTEN);
    check_call(where, "dumps({\"a\": [1, 2.5]})", Py_BuildValue("{s:[i,d]}", "a", 1, 2.5), &as_it_comes,
               PyBytes_FromStringAndSize("\xbf\x61\x61\x9f\x01\xf9\x41\x00\xff\xff", 10), WRITTEN);
    check_call(where, "dumps({\"a\": [1, 2.5]}, indefinite=False, max_depth=2**64 - 1)",
               Py_BuildValue("{s:[i,d]}", "a", 1, 2.5), &unlimited,
               PyBytes_FromStringAndSize("\xa1\x61\x61\x82\x01\xf9\x41\x00", 8), WRITTEN);
}

/* [[...[None]...]], `depth` lists deep, built without recursion. */
static PyObject *nested_list(long depth)
{
    PyObject *value = Py_NewRef(Py_None);
    for (long level = 0; level < depth; ++level) {
        PyObject *list = PyList_New(1);
        if (list == NULL) {
            Py_DECREF(value);
            return NULL;
        }
        PyList_SET_ITEM(list, 0, value);
        value = list;
    }
    return value;
}

/* What dumps writes for nested_list(depth). */
static PyObject *nested_bytes(long depth, int indefinite)
{
    PyObject *bytes = PyBytes_FromStringAndSize(NULL, indefinite ? 2 * depth + 1 : depth + 1);
    if (bytes != NULL) {
        char *data = PyBytes_AS_STRING(bytes);
        memset(data, indefinite ? 0x9f : 0x81, (size_t)depth);
        data[depth] = (char)0xf6;
        if (indefinite)
            memset(data + depth + 1, 0xff, (size_t)depth);
    }
    return bytes;
}

static enum outcome check_nested(PyObject *function, const char *where, long depth, const struct arguments *arguments,
                                 enum want want)
{
    char what[128];
    snprintf(what, sizeof what, "dumps(<a list nested %ld deep>%s)", depth, arguments->text);
    return check_call_of(function, where, what, nested_list(depth), arguments,
                         nested_bytes(depth, arguments->indefinite), want);
}

static void *call_from_thread(void *argument)
{
    char where[48];
    snprintf(where, sizeof where, "thread %d (128 KiB stack)", (int)(intptr_t)argument);

    pthread_barrier_wait(&all_started);
    const PyGILState_STATE gil = PyGILState_Ensure();
    check_small_values(where);
    check_nested(dumps, where, UNWRITABLE_DEPTH, &as_it_comes, REFUSED);
    check_nested(dumps, where, UNWRITABLE_DEPTH, &unlimited, REFUSED);
    check_nested(dumps, where, THREAD_WRITABLE_DEPTH, &as_it_comes, WRITTEN);
    check_nested(dumps, where, THREAD_WRITABLE_DEPTH, &unlimited, WRITTEN);
    PyGILState_Release(gil);
    return NULL;
}

static int fail(const char *what)
{
    fprintf(stderr, "embed_host: FAILED %s\n", what);
    return 1;
}

static int run_threads(void)
{
    pthread_t threads[THREADS];
    pthread_attr_t attributes;

    if (pthread_attr_init(&attributes) != 0 || pthread_attr_setstacksize(&attributes, THREAD_STACK) != 0)
        return fail("setting a thread stack of 128 KiB");
    pthread_barrier_init(&all_started, NULL, THREADS);
    for (intptr_t t = 0; t < THREADS; ++t)
        if (pthread_create(&threads[t], &attributes, call_from_thread, (void *)(t + 1)) != 0)
            return fail("starting a thread");
    for (size_t t = 0; t < THREADS; ++t)
        pthread_join(threads[t], NULL);
    pthread_barrier_destroy(&all_started);
    pthread_attr_destroy(&attributes);
    return 0;
}

/* AddressSanitizer, where the sanitized test run preloads it, is told of each
 * switch between stacks; else it takes the other stack's frames for stray
 * ones when an exception unwinds them. */
typedef void (*switch_start)(void **fake_stack, const void *bottom, size_t size);
typedef void (*switch_finish)(void *fake_stack, const void **bottom, size_t *size);
static switch_start start_switch;
static switch_finish finish_switch;

/* A stack of FIBER_STACK bytes above a guard page, so that an overflow
 * faults rather than writes past it, and what runs on it. */
struct fiber {
    char *mapping;
    ucontext_t context;
    void *fake_stack; /* the sanitizer's, while the fiber is switched away from */
};
/* Each OS thread runs fibers of its own. */
static size_t page_size;
static _Thread_local struct fiber *running_fiber;
static _Thread_local ucontext_t host_context;
static _Thread_local void *host_fake_stack;
static _Thread_local const void *host_stack_bottom;
static _Thread_local size_t host_stack_size;
static enum outcome fiber_outcomes[FIBER_DEPTHS], reentrant_outcome;

/* Switches from the host to the fiber until the fiber hands control back. */
static void resume_fiber(struct fiber *fiber)
{
    running_fiber = fiber;
    if (start_switch != NULL)
        start_switch(&host_fake_stack, fiber->mapping + page_size, FIBER_STACK);
    swapcontext(&host_context, &fiber->context);
    if (finish_switch != NULL)
        finish_switch(host_fake_stack, NULL, NULL);
}

/* What a fiber's body does first. */
static void enter_fiber(void)
{
    if (finish_switch != NULL)
        finish_switch(NULL, &host_stack_bottom, &host_stack_size);
}

/* Hands control back to the host, until it resumes the fiber; a fiber that
 * `ends` is never resumed, and the sanitizer may forget its stack. */
static void yield_to_host(int ends)
{
    struct fiber *fiber = running_fiber;
    if (start_switch != NULL)
        start_switch(ends ? NULL : &fiber->fake_stack, host_stack_bottom, host_stack_size);
    swapcontext(&fiber->context, &host_context);
    if (finish_switch != NULL)
        finish_switch(fiber->fake_stack, &host_stack_bottom, &host_stack_size);
}

/* Runs `body` on the fiber's stack, from its top, until it yields. */
static int restart_fiber(struct fiber *fiber, void (*body)(void))
{
    if (getcontext(&fiber->context) != 0)
        return fail("getting a context for a fiber");
    fiber->context.uc_stack.ss_sp = fiber->mapping + page_size;
    fiber->context.uc_stack.ss_size = FIBER_STACK;
    fiber->context.uc_link = NULL;
    makecontext(&fiber->context, body, 0);
    resume_fiber(fiber);
    return 0;
}

/* Maps the fiber's stack and runs `body` on it until it yields. */
static int start_fiber(struct fiber *fiber, void (*body)(void))
{
    fiber->mapping =
        mmap(NULL, page_size + FIBER_STACK, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (fiber->mapping == MAP_FAILED || mprotect(fiber->mapping, page_size, PROT_NONE) != 0)
        return fail("mapping a fiber's stack");
    return restart_fiber(fiber, body);
}

static void drop_fiber(struct fiber *fiber)
{
    munmap(fiber->mapping, page_size + FIBER_STACK);
}

static PyObject *pause_fiber(PyObject *self, PyObject *unused)
{
    (void)self, (void)unused;
    yield_to_host(0);
    Py_RETURN_NONE;
}
static PyMethodDef pause_definition = {"pause", pause_fiber, METH_NOARGS, NULL};

/* calls_between() pauses this many calls of dumps on new fibers of this
 * thread and drops them; then has another OS thread make calls_between_count
 * calls, each on a fiber of that thread, and waits for them without the GIL. */
static int paused_between, calls_between_count;
static sem_t calls_asked, calls_made;
static atomic_int calls_end;
static int drop_paused_call(struct fiber *fiber, PyObject *caller);

static PyObject *calls_between(PyObject *self, PyObject *unused)
{
    (void)self, (void)unused;
    for (int p = 0; p < paused_between; ++p) {
        struct fiber fiber;
        if (drop_paused_call(&fiber, dumps) == 0)
            drop_fiber(&fiber);
    }
    if (calls_between_count > 0) {
        PyThreadState *thread = PyEval_SaveThread();
        sem_post(&calls_asked);
        sem_wait(&calls_made);
        PyEval_RestoreThread(thread);
    }
    Py_RETURN_NONE;
}
static PyMethodDef calls_between_definition = {"calls_between", calls_between, METH_NOARGS, NULL};

/* Runs `source` with dumps, pause and calls_between among its globals;
 * returns them. */
static PyObject *run_source(const char *source)
{
    PyObject *names = Py_BuildValue("{s:O,s:O,s:N,s:N}", "__builtins__", PyEval_GetBuiltins(), "dumps", dumps, "pause",
                                    PyCFunction_New(&pause_definition, NULL), "calls_between",
                                    PyCFunction_New(&calls_between_definition, NULL));
    PyObject *ran = names != NULL ? PyRun_String(source, Py_file_input, names, names) : NULL;
    if (ran == NULL)
        Py_CLEAR(names);
    Py_XDECREF(ran);
    return names;
}

static void call_from_fiber(void)
{
    static const char where[] = "a fiber (256 KiB stack)";

    enter_fiber();
    const PyGILState_STATE gil = PyGILState_Ensure();
    check_small_values(where);
    for (size_t d = 0; d < FIBER_DEPTHS; ++d)
        fiber_outcomes[d] = check_nested(dumps, where, fiber_depths[d], &as_it_comes, WRITTEN_OR_REFUSED);
    /* More times than the guard keeps records of calls: each is released
     * however its call ends, so small values are still written after. */
    PyObject *names = run_source(reentrant_source);
    PyObject *reentrant = names != NULL ? PyDict_GetItemString(names, "value") : NULL;
    for (int round = 0; round < 100; ++round)
        reentrant_outcome = check_call(where, "dumps([Reentrant(8)])", Py_XNewRef(reentrant), &as_it_comes,
                                       PyBytes_FromStringAndSize("\x9f\xf5\xff", 3), WRITTEN_OR_REFUSED);
    Py_XDECREF(names);
    check_small_values(where);
    PyGILState_Release(gil);
    yield_to_host(1);
}

/* The function that the paused fiber calls (dumps, or dumps_from_python),
 * with Pausing among its globals. */
static PyObject *paused_caller, *pausing_names;

static void call_paused(void)
{
    enter_fiber();
    PyObject *pausing = PyObject_CallObject(PyDict_GetItemString(pausing_names, "Pausing"), NULL);
    check_call_of(paused_caller, "a paused fiber", "dumps([Pausing()])", Py_BuildValue("[N]", pausing), &as_it_comes,
                  PyBytes_FromStringAndSize("\x9f\xf5\xff", 3), WRITTEN);
    yield_to_host(1);
}

/* Starts a fiber whose call of dumps by `caller` pauses, then keeps the
 * thread state's frames (the interpreter's on the native stack too) and
 * recursion depth and the thread's switching state as they were, as an
 * engine that drops the fiber does; from a fiber too. */
static int drop_paused_call(struct fiber *fiber, PyObject *caller)
{
    PyThreadState *thread = PyThreadState_Get();
    PyFrameObject *const frame = thread->frame;
    CFrame *const native_frame = thread->cframe;
    const int depth = thread->recursion_depth;
    const ucontext_t context = host_context;
    struct fiber *const running = running_fiber;
    void *const fake_stack = host_fake_stack;
    const void *const bottom = host_stack_bottom;
    const size_t size = host_stack_size;
    paused_caller = caller;
    const int started = start_fiber(fiber, call_paused);
    thread->frame = frame, thread->cframe = native_frame, thread->recursion_depth = depth;
    host_context = context, running_fiber = running, host_fake_stack = fake_stack;
    host_stack_bottom = bottom, host_stack_size = size;
    return started;
}

/* Writes small values, calling dumps as the paused fiber did. */
static void call_beside_paused(void)
{
    static const char where[] = "a fiber while others are paused inside dumps";

    enter_fiber();
    check_call_of(paused_caller, where, "dumps(0)", PyLong_FromLong(0), &as_it_comes,
                  PyBytes_FromStringAndSize("\x00", 1), WRITTEN);
    check_call_of(paused_caller, where, "dumps([1])", Py_BuildValue("[i]", 1), &as_it_comes,
                  PyBytes_FromStringAndSize("\x9f\x01\xff", 3), WRITTEN);
    /* As the first fiber, with no call paused, did. */
    check_nested(paused_caller, where, fiber_depths[1], &as_it_comes,
                 fiber_outcomes[1] == WAS_WRITTEN ? WRITTEN : REFUSED);
    yield_to_host(1);
}

/* As call_beside_paused, 70 KiB down a stack that held a call dropped while
 * paused: more than that call's 64 KiB below its entry. */
static void call_below_dropped(void)
{
    volatile char below[70 * 1024];
    below[0] = 0;
    call_beside_paused();
    failures += below[0]; /* keeps the frame, which never returns */
}

static void make_calls_between(void)
{
    enter_fiber();
    while (sem_wait(&calls_asked) == 0 && !calls_end) {
        const PyGILState_STATE gil = PyGILState_Ensure();
        for (int c = 0; c < calls_between_count; ++c)
            check_call("another thread's fiber", "dumps(0)", PyLong_FromLong(0), &as_it_comes,
                       PyBytes_FromStringAndSize("\x00", 1), WRITTEN);
        PyGILState_Release(gil);
        sem_post(&calls_made);
    }
    yield_to_host(1);
}

static void *call_between_from_thread(void *unused)
{
    (void)unused;
    struct fiber fiber;
    if (start_fiber(&fiber, make_calls_between) == 0)
        drop_fiber(&fiber);
    return NULL;
}

/* The two ways of calling dumps: from C, and from Python (dumps_from_python). */
static PyObject *callers[2];

/* Chains of calls nested through values' code, whatever runs in between, and
 * however the outer call was made. */
static void call_chains(void)
{
    static const char where[] = "a fiber beside others";
    static const struct {
        int paused, other_thread;
        const char *value;
    } chains[] = {
        {0, 0, "chain(12)"},
        {0, 1, "chain(12)"},
        {64, 0, "chain(12)"},
        {0, 0, "chain(12, deeper=70)"}, /* 28 KiB of Python calls */
        {0, 0, "chain(12, call=in_greenlet)"},
    };
    char what[128];

    enter_fiber();
    PyObject *names = run_source(reentrant_source);
    for (size_t c = 0; c < 2 && names != NULL; ++c) {
        for (size_t k = 0; k < sizeof chains / sizeof chains[0]; ++k) {
            paused_between = chains[k].paused, calls_between_count = chains[k].other_thread;
            snprintf(what, sizeof what, "dumps(%s%s), %d calls paused and %d made on another thread between",
                     chains[k].value, unlimited.text, chains[k].paused, chains[k].other_thread);
            check_call_of(callers[c], where, what, PyRun_String(chains[k].value, Py_eval_input, names, names),
                          &unlimited, PyBytes_FromStringAndSize("", 0), REFUSED);
        }
        paused_between = calls_between_count = 0;
        check_call_of(callers[c], where, "dumps([ViaProperty()])",
                      Py_BuildValue("[N]", PyObject_CallNoArgs(PyDict_GetItemString(names, "ViaProperty"))),
                      &as_it_comes, PyBytes_FromStringAndSize("\x9f\xf5\xff", 3), REFUSED);
    }
    if (names == NULL)
        failures += fail("defining Reentrant");
    Py_XDECREF(names);
    yield_to_host(1);
}

/* A fiber pauses inside dumps, called from C and then from Python, while a
 * fiber whose stack lies below its own writes small values; then it finishes.
 * Then a call from C is dropped while paused, as an engine drops a coroutine
 * that it cancels: it keeps each one's frames and recursion depth, as uWSGI
 * and greenlet do; and a new fiber on the same stack calls dumps from
 * Python, deeper in the recursion than the dropped call and far below it. */
static int run_paused_fibers(void)
{
    const PyGILState_STATE gil = PyGILState_Ensure();
    pausing_names = run_source(pausing_source);
    if (pausing_names == NULL)
        return fail("defining Pausing");
    callers[0] = dumps, callers[1] = PyDict_GetItemString(pausing_names, "dumps_from_python");
    struct fiber paused, beside;
    for (size_t c = 0; c < 2; ++c) {
        paused_caller = callers[c];
        if (start_fiber(&paused, call_paused) != 0 || start_fiber(&beside, call_beside_paused) != 0)
            return 1;
        resume_fiber(&paused);
        drop_fiber(&beside);
        drop_fiber(&paused);
    }
    pthread_t other;
    if (sem_init(&calls_asked, 0, 0) != 0 || sem_init(&calls_made, 0, 0) != 0 ||
        pthread_create(&other, NULL, call_between_from_thread, NULL) != 0 || start_fiber(&beside, call_chains) != 0)
        return fail("starting another thread beside a chain");
    drop_fiber(&beside);
    calls_end = 1;
    sem_post(&calls_asked);
    pthread_join(other, NULL);
    if (drop_paused_call(&paused, callers[0]) != 0)
        return 1;
    paused_caller = callers[1];
    if (restart_fiber(&paused, call_below_dropped) != 0)
        return 1;
    drop_fiber(&paused);
    Py_CLEAR(pausing_names);
    PyGILState_Release(gil);
    return 0;
}

static int run_fibers(void)
{
    page_size = (size_t)sysconf(_SC_PAGESIZE);
    *(void **)&start_switch = dlsym(RTLD_DEFAULT, "__sanitizer_start_switch_fiber");
    *(void **)&finish_switch = dlsym(RTLD_DEFAULT, "__sanitizer_finish_switch_fiber");
    struct fiber fiber;
    if (start_fiber(&fiber, call_from_fiber) != 0)
        return 1;
    drop_fiber(&fiber);
    return run_paused_fibers();
}

static const char *describe_outcome(enum outcome outcome)
{
    return outcome == WAS_WRITTEN ? "written" : outcome == WAS_REFUSED ? "refused" : "failed";
}

/* Puts `directory` first on sys.path and takes dumps from the module there. */
static int import_dumps(const char *directory)
{
    PyObject *path = PySys_GetObject("path");
    PyObject *entry = PyUnicode_DecodeFSDefault(directory);
    PyObject *module = NULL;
    if (path != NULL && entry != NULL && PyList_Insert(path, 0, entry) == 0)
        module = PyImport_ImportModule("veldspray_cbor");
    if (module != NULL)
        dumps = PyObject_GetAttrString(module, "dumps");
    Py_XDECREF(module);
    Py_XDECREF(entry);
    if (dumps == NULL) {
        char error[256];
        describe_error(error, sizeof error);
        fprintf(stderr, "embed_host: FAILED importing veldspray_cbor from %s: %s\n", directory, error);
        return 1;
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (argc != 2)
        return fail("usage: embed_host MODULE_DIRECTORY");
    /* As hosts do, the program keeps its own signal handlers. */
    Py_InitializeEx(0);
    if (import_dumps(argv[1]) != 0) {
        Py_FinalizeEx();
        return 1;
    }
    PyThreadState *main_thread = PyEval_SaveThread();
    if (run_threads() != 0 || run_fibers() != 0)
        return 1;
    PyEval_RestoreThread(main_thread);
    Py_CLEAR(dumps);
    if (Py_FinalizeEx() != 0)
        return fail("finalising Python");

    char fiber[128] = "";
    for (size_t d = 0, used = 0; d < FIBER_DEPTHS && used < sizeof fiber; ++d)
        used += (size_t)snprintf(fiber + used, sizeof fiber - used, "%s%ld %s", d ? ", " : "", fiber_depths[d],
                                 describe_outcome(fiber_outcomes[d]));
    printf("embed_host: %d checks, %d failed: %d threads with 128 KiB stacks, a fiber with a 256 KiB stack "
           "(nesting %s; dumps within dumps 8 deep %s)\n",
           checks, failures, THREADS, fiber, describe_outcome(reentrant_outcome));
    return failures == 0 ? 0 : 1;
}
