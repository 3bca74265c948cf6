// The wirelet module: definition, initialisation, the function table, and the
// functions that open handles and compile filters (device discovery is in
// src/device, link-type names in src/linktype).
#include "module.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "bpfprogram.h"
#include "compiler.h"
#include "handle.h"
#include "device.h"
#include "linktype.h"
#include "tstamp.h"
#include "reader.h"
#include "stream.h"

PyObject *PcapError = nullptr;
PyObject *BPFError = nullptr;

PyObject *wirelet_getattr(PyObject *self, char *name)
{
    // A method of the instance's own table is bound here directly, as the
    // generic lookup would bind it (the types are static and immutable and
    // their instances have no dictionary), without making and hashing a str
    // of its name: r.next() and d.dump() look their method up per packet.
    for (PyMethodDef *def = Py_TYPE(self)->tp_methods; def != nullptr && def->ml_name != nullptr; ++def) {
        if (def->ml_name[0] == name[0] && std::strcmp(def->ml_name, name) == 0)
            return PyCFunction_NewEx(def, self, nullptr);
    }
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key)
        return nullptr;
    return PyObject_GenericGetAttr(self, key.get());
}

PyObject *positional_tuple(PyObject *const *args, Py_ssize_t nargs)
{
    PyObject *tuple = PyTuple_New(nargs);
    if (tuple == nullptr)
        return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i)
        PyTuple_SET_ITEM(tuple, i, Py_NewRef(args[i]));
    return tuple;
}

PyObject *int_list(const int *values, int count)
{
    Ref list = Ref::steal(PyList_New(count));
    for (int i = 0; list && i < count; ++i) {
        PyObject *value = PyLong_FromLong(values[i]);
        if (value == nullptr)
            return nullptr;
        PyList_SET_ITEM(list.get(), i, value);
    }
    return list.release();
}

PyObject *name_of_value(PyObject *args, const char *format, const char *(*lookup)(int))
{
    int value;
    if (!PyArg_ParseTuple(args, format, &value))
        return nullptr;
    return Py_BuildValue("z", lookup(value));
}

// Wraps a freshly opened handle; the handle is closed again if no Reader
// can be made for it, so a failed call leaves nothing open.
static PyObject *wrap_handle(pcap_t *handle, unsigned int net, unsigned int mask)
{
    PyObject *reader = new_pcapobject(handle, net, mask);
    if (reader == nullptr)
        pcap_close(handle);
    return reader;
}

// The device's network number and netmask, or 0 and 0 when the lookup fails
// (a device without an IPv4 address, for one); the failure is not reported.
static void lookup_network(const char *device, unsigned int &net, unsigned int &mask, char *errbuf)
{
    bpf_u_int32 n = 0, m = 0;
    if (pcap_lookupnet(device, &n, &m, errbuf) != 0)
        n = m = 0;
    net = n;
    mask = m;
}

PyDoc_STRVAR(open_live_doc, "open_live(device, snaplen, promisc, to_ms) opens a pcap device");
static PyObject *wirelet_open_live(PyObject *, PyObject *args)
{
    const char *device;
    int snaplen, promisc, to_ms;
    if (!PyArg_ParseTuple(args, "siii:open_live", &device, &snaplen, &promisc, &to_ms))
        return nullptr;
    char errbuf[PCAP_ERRBUF_SIZE];
    errbuf[0] = '\0';
    unsigned int net, mask;
    lookup_network(device, net, mask, errbuf);
    pcap_t *handle = pcap_open_live(device, snaplen, promisc != 0 ? 1 : 0, to_ms, errbuf);
    if (handle == nullptr) {
        PyErr_SetString(PcapError, errbuf);
        return nullptr;
    }
    PyObject *reader = wrap_handle(handle, net, mask);
    if (reader != nullptr)
        reader_set_read_timeout(reader, to_ms);
    return reader;
}

PyDoc_STRVAR(open_offline_doc, "open_offline(filename) opens a pcap formated file");
static PyObject *wirelet_open_offline(PyObject *, PyObject *args)
{
    const char *filename;
    if (!PyArg_ParseTuple(args, "s", &filename))
        return nullptr;
    char errbuf[PCAP_ERRBUF_SIZE];
    errbuf[0] = '\0';
    pcap_t *handle = open_capture_file(filename, PCAP_TSTAMP_PRECISION_MICRO, errbuf);
    if (handle == nullptr) {
        if (!PyErr_Occurred())  // else a signal handler raised while the open waited
            PyErr_SetString(PcapError, errbuf);
        return nullptr;
    }
    return wrap_handle(handle, 0, 0);
}

PyDoc_STRVAR(open_offline_with_tstamp_precision_doc,
             "open_offline_with_tstamp_precision(filename, precision) opens a pcap formated file, its timestamps "
             "at that precision");
static PyObject *wirelet_open_offline_with_tstamp_precision(PyObject *, PyObject *args)
{
    const char *filename;
    int precision;
    if (!PyArg_ParseTuple(args, "si:open_offline_with_tstamp_precision", &filename, &precision))
        return nullptr;
    char errbuf[PCAP_ERRBUF_SIZE];
    errbuf[0] = '\0';
    // A negative precision becomes one libpcap does not know, and refuses.
    pcap_t *handle = open_capture_file(filename, static_cast<u_int>(precision), errbuf);
    if (handle == nullptr) {
        if (!PyErr_Occurred())  // else a signal handler raised while the open waited
            PyErr_SetString(PcapError, errbuf);
        return nullptr;
    }
    return wrap_handle(handle, 0, 0);
}

// A Reader over a handle attached to nothing, to write capture files or
// compile filters with; libpcap takes any precision other than nanoseconds
// as microseconds.
static PyObject *open_dead_reader(int linktype, int snaplen, int precision)
{
    pcap_t *handle = pcap_open_dead_with_tstamp_precision(linktype, snaplen, static_cast<u_int>(precision));
    if (handle == nullptr)
        return PyErr_NoMemory();  // libpcap's one way to fail
    PyObject *reader = wrap_handle(handle, 0, 0);
    if (reader != nullptr)
        reader_set_dead(reader);
    return reader;
}

PyDoc_STRVAR(open_dead_doc, "open_dead(linktype, snaplen) opens a pcap handle attached to nothing");
static PyObject *wirelet_open_dead(PyObject *, PyObject *args)
{
    int linktype, snaplen;
    if (!PyArg_ParseTuple(args, "ii:open_dead", &linktype, &snaplen))
        return nullptr;
    return open_dead_reader(linktype, snaplen, PCAP_TSTAMP_PRECISION_MICRO);
}

PyDoc_STRVAR(open_dead_with_tstamp_precision_doc,
             "open_dead_with_tstamp_precision(linktype, snaplen, precision) opens a pcap handle attached to "
             "nothing, with that time stamp precision");
static PyObject *wirelet_open_dead_with_tstamp_precision(PyObject *, PyObject *args)
{
    int linktype, snaplen, precision;
    if (!PyArg_ParseTuple(args, "iii:open_dead_with_tstamp_precision", &linktype, &snaplen, &precision))
        return nullptr;
    return open_dead_reader(linktype, snaplen, precision);
}

PyDoc_STRVAR(fopen_offline_doc, "fopen_offline(file) opens a pcap formated file from a binary file object");
static PyObject *wirelet_fopen_offline(PyObject *, PyObject *args)
{
    PyObject *file;
    if (!PyArg_ParseTuple(args, "O:fopen_offline", &file))
        return nullptr;
    pcap_t *handle = open_capture_object(file, PCAP_TSTAMP_PRECISION_MICRO);
    return handle == nullptr ? nullptr : wrap_handle(handle, 0, 0);
}

PyDoc_STRVAR(fopen_offline_with_tstamp_precision_doc,
             "fopen_offline_with_tstamp_precision(file, precision) opens a pcap formated file from a binary file "
             "object, with time stamps in that precision");
static PyObject *wirelet_fopen_offline_with_tstamp_precision(PyObject *, PyObject *args)
{
    PyObject *file;
    int precision;
    if (!PyArg_ParseTuple(args, "Oi:fopen_offline_with_tstamp_precision", &file, &precision))
        return nullptr;
    // libpcap refuses a precision it does not know, negative ones included.
    pcap_t *handle = open_capture_object(file, static_cast<u_int>(precision));
    return handle == nullptr ? nullptr : wrap_handle(handle, 0, 0);
}

PyDoc_STRVAR(compile_doc, "compile(linktype, snaplen, filter, optimize, netmask) creates a bpfprogram object");
// Compiles against a dead handle made for the compile; unlike the BPFProgram
// constructor, a failure carries libpcap's own diagnostic.
static PyObject *wirelet_compile(PyObject *, PyObject *args)
{
    int linktype, snaplen, optimize;
    const char *filter;
    unsigned int netmask;
    if (!PyArg_ParseTuple(args, "iisiI:compile", &linktype, &snaplen, &filter, &optimize, &netmask))
        return nullptr;
    bpf_program program;
    char error[PCAP_ERRBUF_SIZE];
    CompileJob *running;
    switch (compile_filter({nullptr, linktype, snaplen, optimize, netmask}, filter, program, error, &running)) {
    case Compiled::program:
        break;
    case Compiled::refused:
        PyErr_SetString(PcapError, error);
        return nullptr;
    case Compiled::raised:
        return nullptr;
    }
    PyObject *obj = new_bpfobject(program);
    if (obj == nullptr)
        pcap_freecode(&program);  // still ours when no object took it
    return obj;
}

// libpcap 1.10 (read in 1.10.3) opens an eventfd in pcap_create() for a
// network interface and closes it only in the clean-up that activation
// installs, so a handle closed without activate() leaks it. It is the last
// descriptor pcap_create() opens, non-blocking and inherited across exec, so
// it takes the lowest number free before the call: that is found by opening
// a descriptor and closing it again, and the descriptor under that number
// afterwards is taken for libpcap's only if it is such an eventfd. Returns
// the number to look at, or -1 for other libpcap versions.
static int lowest_free_fd()
{
    static const bool leaks = std::strncmp(pcap_lib_version(), "libpcap version 1.10.", 21) == 0;
    if (!leaks)
        return -1;
    int fd = eventfd(0, EFD_CLOEXEC);
    if (fd >= 0)
        close(fd);
    return fd;
}

static bool is_libpcap_eventfd(int fd)
{
    char path[64], target[32];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    ssize_t length = readlink(path, target, sizeof target - 1);
    if (length < 0)
        return false;
    target[length] = '\0';
    int flags = fcntl(fd, F_GETFL), fd_flags = fcntl(fd, F_GETFD);
    return std::strcmp(target, "anon_inode:[eventfd]") == 0 && flags >= 0 && (flags & O_NONBLOCK) && fd_flags >= 0
           && !(fd_flags & FD_CLOEXEC);
}

PyDoc_STRVAR(create_doc,
             "create(device) is used to create a packet capture handle to look at packets on the network.");
static PyObject *wirelet_create(PyObject *, PyObject *args)
{
    const char *device;
    if (!PyArg_ParseTuple(args, "s:pcap_create", &device))
        return nullptr;
    char errbuf[PCAP_ERRBUF_SIZE];
    errbuf[0] = '\0';
    unsigned int net, mask;
    lookup_network(device, net, mask, errbuf);
    int fd = lowest_free_fd();
    pcap_t *handle = pcap_create(device, errbuf);
    if (handle == nullptr) {
        PyErr_SetString(PcapError, errbuf);
        return nullptr;
    }
    PyObject *reader = wrap_handle(handle, net, mask);
    if (reader != nullptr && fd >= 0 && is_libpcap_eventfd(fd)) {
        if (HandleState *state = find_handle_state(reader))
            state->unactivated_fd = fd;
    }
    return reader;
}

static PyMethodDef wirelet_functions[] = {
    {"open_live", wirelet_open_live, METH_VARARGS, open_live_doc},
    {"open_offline", wirelet_open_offline, METH_VARARGS, open_offline_doc},
    {"fopen_offline", wirelet_fopen_offline, METH_VARARGS, fopen_offline_doc},
    {"fopen_offline_with_tstamp_precision", wirelet_fopen_offline_with_tstamp_precision, METH_VARARGS,
     fopen_offline_with_tstamp_precision_doc},
    {"lookupdev", wirelet_lookupdev, METH_VARARGS, lookupdev_doc},
    {"findalldevs", wirelet_findalldevs, METH_VARARGS, findalldevs_doc},
    {"compile", wirelet_compile, METH_VARARGS, compile_doc},
    {"create", wirelet_create, METH_VARARGS, create_doc},
    {"open_offline_with_tstamp_precision", wirelet_open_offline_with_tstamp_precision, METH_VARARGS,
     open_offline_with_tstamp_precision_doc},
    {"tstamp_type_name_to_val", wirelet_tstamp_type_name_to_val, METH_VARARGS, tstamp_type_name_to_val_doc},
    {"tstamp_type_val_to_name", wirelet_tstamp_type_val_to_name, METH_VARARGS, tstamp_type_val_to_name_doc},
    {"tstamp_type_val_to_description", wirelet_tstamp_type_val_to_description, METH_VARARGS,
     tstamp_type_val_to_description_doc},
    {"devices", wirelet_devices, METH_NOARGS, devices_doc},
    {"datalink_name_to_val", wirelet_datalink_name_to_val, METH_VARARGS, datalink_name_to_val_doc},
    {"datalink_val_to_name", wirelet_datalink_val_to_name, METH_VARARGS, datalink_val_to_name_doc},
    {"datalink_val_to_description", wirelet_datalink_val_to_description, METH_VARARGS,
     datalink_val_to_description_doc},
    {"open_dead", wirelet_open_dead, METH_VARARGS, open_dead_doc},
    {"open_dead_with_tstamp_precision", wirelet_open_dead_with_tstamp_precision, METH_VARARGS,
     open_dead_with_tstamp_precision_doc},
    {nullptr, nullptr, 0, nullptr},
};

static PyModuleDef wirelet_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "wirelet",
    .m_doc = "A wrapper for the Packet Capture (PCAP) library",
    .m_size = -1,
    .m_methods = wirelet_functions,
};

struct IntConstant {
    const char *name;
    long value;
};

// Fixed values, whatever the libpcap headers in use define.
static const IntConstant constants[] = {
    {"DLT_NULL", 0},         {"DLT_EN10MB", 1},       {"DLT_IEEE802", 6},
    {"DLT_ARCNET", 7},       {"DLT_SLIP", 8},         {"DLT_PPP", 9},
    {"DLT_FDDI", 10},        {"DLT_ATM_RFC1483", 11}, {"DLT_RAW", 12},
    {"DLT_PPP_SERIAL", 50},  {"DLT_PPP_ETHER", 51},   {"DLT_C_HDLC", 104},
    {"DLT_IEEE802_11", 105}, {"DLT_LOOP", 108},       {"DLT_LINUX_SLL", 113},
    {"DLT_LTALK", 114},      {"PCAP_D_INOUT", 0},     {"PCAP_D_IN", 1},
    {"PCAP_D_OUT", 2},
    {"PCAP_TSTAMP_PRECISION_MICRO", 0},
    {"PCAP_TSTAMP_PRECISION_NANO", 1},
    {"PCAP_TSTAMP_HOST", 0},
    {"PCAP_TSTAMP_HOST_LOWPREC", 1},
    {"PCAP_TSTAMP_HOST_HIPREC", 2},
    {"PCAP_TSTAMP_ADAPTER", 3},
    {"PCAP_TSTAMP_ADAPTER_UNSYNCED", 4},
    {"PCAP_TSTAMP_HOST_HIPREC_UNSYNCED", 5},
};

// The additions below fail only when memory runs out; carrying on then would
// hand the interpreter a module with an exception pending, so any failure
// fails the import with that exception instead.
PyMODINIT_FUNC PyInit_wirelet(void)
{
    Ref module = Ref::steal(PyModule_Create2(&wirelet_module, PYTHON_API_VERSION));
    if (!module)
        return nullptr;
    if (ready_type(&BPFProgramType) < 0)
        return nullptr;
    if (PyModule_AddObjectRef(module.get(), "BPFProgram", reinterpret_cast<PyObject *>(&BPFProgramType)) < 0)
        return nullptr;
    for (const IntConstant &c : constants) {
        if (PyModule_AddIntConstant(module.get(), c.name, c.value) < 0)
            return nullptr;
    }
    if (add_device_types(module.get()) < 0)
        return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());

    PcapError = PyErr_NewException("wirelet.PcapError", nullptr, nullptr);
    if (PcapError == nullptr)
        return nullptr;
    BPFError = PyErr_NewException("wirelet.BPFError", nullptr, nullptr);
    if (BPFError == nullptr) {
        Py_CLEAR(PcapError);
        return nullptr;
    }
    if (PyDict_SetItemString(dict, "PcapError", PcapError) < 0
        || PyDict_SetItemString(dict, "BPFError", BPFError) < 0) {
        Py_CLEAR(PcapError);
        Py_CLEAR(BPFError);
        return nullptr;
    }
    return module.release();
}
