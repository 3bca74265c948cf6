// libpcap's filter compiler, run without the interpreter lock, on a stack
// big enough for it.
#include "compiler.h"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

// pcap_compile_nopcap is deprecated since libpcap 1.10 in favour of a dead
// handle, but it is what the BPFProgram constructor is defined by; the
// warning is silenced for this one call only.
static int compile_without_handle(bpf_program &program, const char *expression, int linktype)
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return pcap_compile_nopcap(65536, linktype, &program, expression, 0, 0);
#pragma GCC diagnostic pop
}

// ---------------------------------------------------------------------------
// Stack for libpcap's filter compiler.
//
// libpcap 1.10 compiles with recursive walks of the program's flow graph, one
// frame per block on the path (count_stmts and convert_code_r, and in the
// optimiser count_blocks, number_blks_r and find_levels_r), and the blocks
// grow with the expression: "l1&&l1&&..." makes 7.5 blocks per byte for the
// 802.11 radio link types, the most of any primitive and link type, and
// convert_code_r's frame is 192 bytes, so the compiler may need 1450 bytes of
// stack per byte of expression (636 measured for that one). 10,000 times
// "udp and" overflows an 8 MiB stack, and a few hundred bytes the 32 KiB that
// a Python thread may be given. The parser adds nothing: its stack is on the
// heap, and it refuses nesting beyond 10000 levels.

// Per byte of expression. convert_code_r's frame is 150 to 190 bytes with
// other compilers and optimisation levels, and 380 in a libpcap built with the
// address sanitizer: 4096 covers that too.
static constexpr size_t compiler_stack_per_byte = 4096;
// Whatever the length: the parser's initial stack, name lookups through the C
// library, the thread's own start (20 kB measured in all).
static constexpr size_t compiler_stack_base = 256 * 1024;
// Below a stack of our own, so that running off its end faults at once.
static constexpr size_t compiler_stack_guard = 64 * 1024;

// Expressions up to this length compile on the calling thread (when its stack
// has room): the longest take about 20 ms with the optimiser (30 hosts), too
// short to be worth a thread, and the commonest filters cost no more than
// before. Longer ones run on a thread of their own, which the caller can stop
// waiting for.
static constexpr size_t inline_expression_limit = 512;

// How long the caller waits for a compile thread between two looks at the
// signals: Ctrl-C ends a long compile within this.
static constexpr long signal_check_ns = 20 * 1000 * 1000;

// Bytes of stack the calling thread has below the current frame, or 0 when
// that cannot be told (a stack that is not the thread's own, as coroutine
// libraries make). The bounds are looked up once per thread: for the main
// thread glibc reads /proc/self/maps to find them, and takes the size from
// RLIMIT_STACK as it is then. The main thread's stack grows on demand up to
// the limit in force when it grows, which the program may lower later, so
// that bound is taken from the current limit on every call.
static size_t stack_room()
{
    thread_local uintptr_t low = 0, high = 0;
    thread_local bool known = false, main_thread = false;
    if (!known) {
        known = true;
        main_thread = syscall(SYS_gettid) == getpid();
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void *addr;
            size_t size;
            if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
                low = reinterpret_cast<uintptr_t>(addr);
                high = low + size;
            }
            pthread_attr_destroy(&attr);
        }
    }
    uintptr_t floor = low;
    if (main_thread) {
        rlimit limit;
        if (getrlimit(RLIMIT_STACK, &limit) != 0)
            return 0;
        // The kernel keeps a guard gap below the stack, and the top of the
        // mapping glibc reports is a little above the stack's first page:
        // a page of slack for both.
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        if (limit.rlim_cur != RLIM_INFINITY) {
            if (limit.rlim_cur <= page || limit.rlim_cur - page >= high)
                return 0;
            uintptr_t allowed = high - (limit.rlim_cur - page);
            if (allowed > floor)
                floor = allowed;
        }
    }
    // The frame itself, not a local's address: the sanitizer may place locals
    // on a heap-allocated fake stack.
    uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    return here > floor && here <= high ? here - floor : 0;
}

// ---------------------------------------------------------------------------
// Compiles and their threads.

enum : unsigned {
    job_ended = 1,      // the compile is over; set by its thread
    job_abandoned = 2,  // nobody waits for the result: its thread frees it
    job_close = 4,      // the thread closes the handle once the compile is over
};

struct CompileJob {
    CompileTarget target;
    pcap_t *handle = nullptr;  // compiled against: target.handle, or a dead one of ours
    std::string expression;    // a thread's own copy
    int status = 0;
    bpf_program program{};
    char error[PCAP_ERRBUF_SIZE] = "";
    std::atomic<unsigned> flags{0};
    // The thread and its stack; both are the waiter's until it gives the
    // compile up, then the reaper's.
    pthread_t thread{};
    void *stack = nullptr;
    size_t stack_size = 0;
    bool attached = false;        // a handle's record still points here
    CompileJob *next = nullptr;   // in abandoned_jobs
};

// Compiles given up on, until their threads are joined. A plain pointer, so
// that no static destructor frees anything a running compile still uses.
static CompileJob *abandoned_jobs = nullptr;

static void run_compile(CompileJob &job, const char *expression)
{
    if (job.target.nopcap) {
        job.status = compile_without_handle(job.program, expression, job.target.linktype);
        return;
    }
    job.status = pcap_compile(job.handle, &job.program, expression, job.target.optimize, job.target.netmask);
    // Copied here: once the compile ends, the handle may be closed or used
    // by another operation.
    if (job.status != 0)
        std::snprintf(job.error, sizeof job.error, "%s", pcap_geterr(job.handle));
}

// Frees what a compile nobody waits for made: its program and its dead handle.
static void discard_results(CompileJob &job)
{
    if (job.status == 0)
        pcap_freecode(&job.program);
    if (job.handle != job.target.handle && job.handle != nullptr)
        pcap_close(job.handle);
    job.handle = nullptr;
}

static void *compile_thread(void *arg)
{
    auto *job = static_cast<CompileJob *>(arg);
    run_compile(*job, job->expression.c_str());
    unsigned before = job->flags.fetch_or(job_ended, std::memory_order_acq_rel);
    if (before & job_abandoned)
        discard_results(*job);
    if (before & job_close)
        pcap_close(job->target.handle);
    return nullptr;
}

// Joins the threads of abandoned compiles that have ended and frees them.
static void reap_abandoned()
{
    for (CompileJob **link = &abandoned_jobs; *link != nullptr;) {
        CompileJob *job = *link;
        if (!job->attached && (job->flags.load(std::memory_order_acquire) & job_ended)
            && pthread_tryjoin_np(job->thread, nullptr) == 0) {
            *link = job->next;
            munmap(job->stack, job->stack_size);
            delete job;
        } else {
            link = &job->next;
        }
    }
}

// In a child process the compile threads do not exist: what they had is
// left as it is, and never joined.
static void forget_jobs_after_fork()
{
    abandoned_jobs = nullptr;
}

static long long monotonic_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// Starts job's thread on a stack of need bytes of its own. Returns 0 or an
// error number.
static int start_compile_thread(CompileJob &job, size_t need)
{
    // Reserved, not committed: only the pages the compiler touches cost memory.
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t size = compiler_stack_guard + (need + page - 1) / page * page;
    void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK,
                     -1, 0);
    if (map == MAP_FAILED)
        return ENOMEM;
    if (mprotect(map, compiler_stack_guard, PROT_NONE) != 0) {
        int error = errno;
        munmap(map, size);
        return error;
    }
    pthread_attr_t attr;
    int error = pthread_attr_init(&attr);
    if (error == 0) {
        error = pthread_attr_setstack(&attr, static_cast<char *>(map) + compiler_stack_guard,
                                      size - compiler_stack_guard);
        // Signals go to the interpreter's threads, never to the compile.
        sigset_t all, before;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &before);
        if (error == 0)
            error = pthread_create(&job.thread, &attr, compile_thread, &job);
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        pthread_attr_destroy(&attr);
    }
    if (error != 0) {
        munmap(map, size);
        return error;
    }
    job.stack = map;
    job.stack_size = size;
    return 0;
}

// Waits for job's thread to end, without the interpreter lock, and runs the
// signal handlers every signal_check_ns meanwhile. Returns false when a
// handler raised: the compile is then abandoned.
static bool wait_for_compile(CompileJob &job)
{
    static const bool fork_handler = pthread_atfork(nullptr, nullptr, forget_jobs_after_fork) == 0;
    (void)fork_handler;
    PyThreadState *thread_state = PyEval_SaveThread();
    for (;;) {
        long long deadline_ns = monotonic_ns() + signal_check_ns;
        timespec deadline{static_cast<time_t>(deadline_ns / 1000000000LL), static_cast<long>(deadline_ns % 1000000000LL)};
        int status = pthread_clockjoin_np(job.thread, nullptr, CLOCK_MONOTONIC, &deadline);
        if (status == 0)
            break;
        if (status != ETIMEDOUT) {  // not expected of a thread of ours: wait it out
            pthread_join(job.thread, nullptr);
            break;
        }
        PyEval_RestoreThread(thread_state);
        if (PyErr_CheckSignals() < 0) {
            unsigned before = job.flags.fetch_or(job_abandoned, std::memory_order_acq_rel);
            if (before & job_ended)
                discard_results(job);
            // Joined and freed later; also when it has just ended, so that
            // the thread never holds up the exception.
            job.next = abandoned_jobs;
            abandoned_jobs = &job;
            return false;
        }
        thread_state = PyEval_SaveThread();
    }
    PyEval_RestoreThread(thread_state);
    munmap(job.stack, job.stack_size);
    return true;
}

Compiled compile_filter(const CompileTarget &target, const char *expression, bpf_program &program,
                        char (&error)[PCAP_ERRBUF_SIZE], CompileJob **running)
{
    *running = nullptr;
    size_t length = std::strlen(expression);
    if (length > SIZE_MAX / 2 / compiler_stack_per_byte) {  // no size below can overflow
        PyErr_NoMemory();
        return Compiled::raised;
    }
    pcap_t *handle = target.handle;
    if (handle == nullptr && !target.nopcap) {
        handle = pcap_open_dead(target.linktype, target.snaplen);
        if (handle == nullptr) {
            // libpcap gives no reason; in practice it ran out of memory.
            std::snprintf(error, sizeof error, "%s", "Couldn't create a pcap handle to compile the filter with");
            return Compiled::refused;
        }
    }
    size_t need = compiler_stack_base + length * compiler_stack_per_byte;
    if (abandoned_jobs != nullptr)
        reap_abandoned();
    if (length <= inline_expression_limit && stack_room() >= need) {
        CompileJob local{target, handle};
        Py_BEGIN_ALLOW_THREADS
        run_compile(local, expression);
        Py_END_ALLOW_THREADS
        if (handle != target.handle)
            pcap_close(handle);
        if (local.status != 0) {
            std::memcpy(error, local.error, sizeof error);
            return Compiled::refused;
        }
        program = local.program;
        return Compiled::program;
    }
    CompileJob *job = new (std::nothrow) CompileJob{target, handle};
    int started = ENOMEM;
    if (job != nullptr) {
        try {
            job->expression = expression;
            started = start_compile_thread(*job, need);
        } catch (const std::bad_alloc &) {
        }
    }
    if (started != 0) {
        delete job;
        if (handle != target.handle)
            pcap_close(handle);
        if (started == ENOMEM)
            PyErr_NoMemory();
        else
            PyErr_Format(PyExc_MemoryError, "Couldn't start a thread to compile the filter on: %s",
                         std::strerror(started));
        return Compiled::raised;
    }
    if (!wait_for_compile(*job)) {
        if (target.handle != nullptr && !(job->flags.load(std::memory_order_acquire) & job_ended)) {
            job->attached = true;
            *running = job;
        }
        return Compiled::raised;
    }
    Compiled result = Compiled::program;
    if (job->status == 0) {
        program = job->program;
    } else {
        std::memcpy(error, job->error, sizeof error);
        result = Compiled::refused;
    }
    if (handle != target.handle)
        pcap_close(handle);
    delete job;
    return result;
}

bool compile_ended(const CompileJob *job)
{
    return job->flags.load(std::memory_order_acquire) & job_ended;
}

void detach_compile(CompileJob *job)
{
    job->attached = false;
    reap_abandoned();
}

void close_after_compile(CompileJob *job, pcap_t *handle)
{
    unsigned before = job->flags.fetch_or(job_close, std::memory_order_acq_rel);
    if (before & job_ended)
        pcap_close(handle);
    detach_compile(job);
}
