// BPFProgram: a compiled filter program, run in user space.
#include "bpfprogram.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cassert>
#include <cstdint>
#include <cstring>

#include "module.h"

static BPFProgramObject *bpfprogram_receiver(PyObject *self)
{
    if (self == nullptr || Py_TYPE(self) != &BPFProgramType) {
        PyErr_SetString(BPFError, "Not a bpfprogram object");
        return nullptr;
    }
    return reinterpret_cast<BPFProgramObject *>(self);
}

// pcap_compile_nopcap is deprecated since libpcap 1.10 in favour of a dead
// handle, but it is what the constructor is defined by; the warning is
// silenced for this one call only.
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

// Bytes of stack the calling thread has below the current frame, or 0 when
// that cannot be told (a stack that is not the thread's own, as coroutine
// libraries make). The bounds are looked up once per thread: for the main
// thread glibc reads /proc/self/maps to find them.
static size_t stack_room()
{
    thread_local uintptr_t low = 0, high = 0;
    thread_local bool known = false;
    if (!known) {
        known = true;
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
    // The frame itself, not a local's address: the sanitizer may place locals
    // on a heap-allocated fake stack.
    uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    return here > low && here <= high ? here - low : 0;
}

struct CompilerCall {
    void (*call)(void *);
    void *context;
};

static void *compiler_thread(void *arg)
{
    auto *compiler = static_cast<CompilerCall *>(arg);
    compiler->call(compiler->context);
    return nullptr;
}

// Makes the call on a thread of its own that runs on the given stack, and
// waits for the thread to end. Returns 0, or the error number of a thread that
// could not be started.
static int call_on_stack(char *stack, size_t size, CompilerCall &compiler)
{
    pthread_attr_t attr;
    int error = pthread_attr_init(&attr);
    if (error != 0)
        return error;
    error = pthread_attr_setstack(&attr, stack, size);
    pthread_t thread;
    if (error == 0)
        error = pthread_create(&thread, &attr, compiler_thread, &compiler);
    pthread_attr_destroy(&attr);
    if (error == 0)
        pthread_join(thread, nullptr);
    return error;
}

bool run_filter_compiler(const char *expression, void (*call)(void *), void *context)
{
    assert(PyGILState_Check());
    size_t length = std::strlen(expression);
    if (length > SIZE_MAX / 2 / compiler_stack_per_byte) {  // no size below can overflow
        PyErr_NoMemory();
        return false;
    }
    size_t need = compiler_stack_base + length * compiler_stack_per_byte;
    if (stack_room() >= need) {
        call(context);
        return true;
    }
    // Reserved, not committed: only the pages the compiler touches cost memory.
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t size = compiler_stack_guard + (need + page - 1) / page * page;
    void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK,
                     -1, 0);
    if (map == MAP_FAILED) {
        PyErr_NoMemory();
        return false;
    }
    char *stack = static_cast<char *>(map);
    CompilerCall compiler{call, context};
    int error = mprotect(stack, compiler_stack_guard, PROT_NONE) != 0
                    ? errno
                    : call_on_stack(stack + compiler_stack_guard, size - compiler_stack_guard, compiler);
    // The thread has ended: glibc's join returns once the stack is no longer in use.
    munmap(map, size);
    if (error != 0) {
        PyErr_Format(PyExc_MemoryError, "Couldn't start a thread to compile the filter on: %s", std::strerror(error));
        return false;
    }
    return true;
}

PyObject *new_bpfobject(const bpf_program &program)
{
    if (ready_type(&BPFProgramType) < 0)
        return nullptr;
    BPFProgramObject *obj = PyObject_New(BPFProgramObject, &BPFProgramType);
    if (obj == nullptr) {
        PyErr_SetString(BPFError, "Failed to create object");
        return nullptr;
    }
    obj->bpf = program;
    return reinterpret_cast<PyObject *>(obj);
}

// BPFProgram(expression[, linktype]): snapshot length 65536, no optimisation,
// netmask 0. Keyword arguments are ignored, not refused. The type argument is
// not used: the type cannot be subclassed.
static PyObject *bpfprogram_new(PyTypeObject *, PyObject *args, PyObject *)
{
    const char *expression;
    int linktype = 1;  // DLT_EN10MB
    if (!PyArg_ParseTuple(args, "s|i", &expression, &linktype))
        return nullptr;
    bpf_program program;
    std::optional<int> status =
        run_filter_compiler(expression, [&] { return compile_without_handle(program, expression, linktype); });
    if (!status)
        return nullptr;
    if (*status != 0) {
        // This call gives no diagnostic of libpcap's to pass on.
        PyErr_SetString(BPFError, "Couldn't compile BPF program");
        return nullptr;
    }
    PyObject *obj = new_bpfobject(program);
    if (obj == nullptr)
        pcap_freecode(&program);  // still ours when no object took it
    return obj;
}

static void bpfprogram_dealloc(PyObject *self)
{
    pcap_freecode(&reinterpret_cast<BPFProgramObject *>(self)->bpf);
    PyObject_Free(self);
}

PyDoc_STRVAR(filter_doc, "filter(packet) applies the filter to the packet, returns 0 if there's no match");
// Runs the program over the bytes object's own buffer. The byte count is both
// the wire and the captured length, so a field beyond the end never matches.
static PyObject *bpfprogram_filter(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    BPFProgramObject *prog = bpfprogram_receiver(self);
    if (prog == nullptr)
        return nullptr;
    const char *packet;
    Py_ssize_t length;
    // filter(bytes), the call made per packet, skips the tuple parser: "y#" of
    // a bytes object yields exactly its buffer and size. Anything else goes
    // through the parser, whose results and errors stand.
    Ref tuple;
    if (nargs == 1 && PyBytes_CheckExact(args[0])) {
        packet = PyBytes_AS_STRING(args[0]);
        length = PyBytes_GET_SIZE(args[0]);
    } else if (!(tuple = Ref::steal(positional_tuple(args, nargs)))
               || !PyArg_ParseTuple(tuple.get(), "y#:filter", &packet, &length)) {
        return nullptr;
    }
    u_int count = static_cast<u_int>(length);
    u_int result = bpf_filter(prog->bpf.bf_insns, reinterpret_cast<const u_char *>(packet), count, count);
    return PyLong_FromLong(static_cast<int>(result));
}

PyDoc_STRVAR(get_bpf_doc, "return packet-matching code as decimal numbers");
static PyObject *bpfprogram_get_bpf(PyObject *self, PyObject *)
{
    BPFProgramObject *prog = bpfprogram_receiver(self);
    if (prog == nullptr)
        return nullptr;
    const bpf_program &bpf = prog->bpf;
    Ref list = Ref::steal(PyList_New(bpf.bf_len));
    if (!list)
        return nullptr;
    for (u_int i = 0; i < bpf.bf_len; ++i) {
        const bpf_insn &insn = bpf.bf_insns[i];
        PyObject *item = Py_BuildValue("IIII", static_cast<unsigned int>(insn.code),
                                       static_cast<unsigned int>(insn.jt), static_cast<unsigned int>(insn.jf),
                                       static_cast<unsigned int>(insn.k));
        if (item == nullptr)
            return nullptr;
        PyList_SET_ITEM(list.get(), i, item);  // the list takes the reference
    }
    return list.release();
}

static PyMethodDef bpfprogram_methods[] = {
    {"filter", fast_method(bpfprogram_filter), METH_FASTCALL, filter_doc},
    {"get_bpf", bpfprogram_get_bpf, METH_NOARGS, get_bpf_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject BPFProgramType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "BPFProgram",
    .tp_basicsize = sizeof(BPFProgramObject),
    .tp_itemsize = 0,
    .tp_dealloc = bpfprogram_dealloc,
    .tp_getattr = wirelet_getattr,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "BPF Program Wrapper",
    .tp_methods = bpfprogram_methods,
    .tp_new = bpfprogram_new,
};
