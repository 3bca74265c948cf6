// BPFProgram: a compiled filter program, run in user space.
#include "bpfprogram.h"

#include <climits>

#include "compiler.h"
#include "module.h"

static BPFProgramObject *bpfprogram_receiver(PyObject *self)
{
    if (self == nullptr || Py_TYPE(self) != &BPFProgramType) {
        PyErr_SetString(BPFError, "Not a bpfprogram object");
        return nullptr;
    }
    return reinterpret_cast<BPFProgramObject *>(self);
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
    char error[PCAP_ERRBUF_SIZE];
    CompileJob *running;
    CompileTarget target{nullptr, linktype, 65536, 0, 0, true};
    switch (compile_filter(target, expression, program, error, &running)) {
    case Compiled::program:
        break;
    case Compiled::refused:
        // This call gives no diagnostic of libpcap's to pass on.
        PyErr_SetString(BPFError, "Couldn't compile BPF program");
        return nullptr;
    case Compiled::raised:
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
    // bpf_filter counts the bytes in a u_int: a longer packet would be
    // filtered as whatever its wrapped length happens to be.
    if (static_cast<size_t>(length) > UINT_MAX) {
        PyErr_Format(BPFError, "packet of %zd bytes is too long to filter (at most %u)", length, UINT_MAX);
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
