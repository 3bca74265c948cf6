// Dumper: a capture file open for writing.
#include "dumper.h"

#include "module.h"
#include "pkthdr.h"

static DumperObject *dumper_receiver(PyObject *self)
{
    if (self == nullptr || Py_TYPE(self) != &Pdumpertype) {
        PyErr_SetString(PcapError, "Not a pcapdumper object");
        return nullptr;
    }
    return reinterpret_cast<DumperObject *>(self);
}

// Finishes the file: flushes the buffered records and closes it.
static void dumper_release(DumperObject *dumper)
{
    if (dumper->dumper != nullptr)
        pcap_dump_close(dumper->dumper);
    dumper->dumper = nullptr;
}

PyObject *new_pcapdumper(pcap_dumper_t *handle)
{
    if (PyType_Ready(&Pdumpertype) < 0)
        return nullptr;
    DumperObject *dumper = PyObject_New(DumperObject, &Pdumpertype);
    if (dumper == nullptr)
        return nullptr;
    dumper->dumper = handle;
    return reinterpret_cast<PyObject *>(dumper);
}

static void dumper_dealloc(PyObject *self)
{
    dumper_release(reinterpret_cast<DumperObject *>(self));
    PyObject_Free(self);
}

PyDoc_STRVAR(close_doc, "close the dump file");
static PyObject *dumper_close(PyObject *self, PyObject *)
{
    DumperObject *dumper = dumper_receiver(self);
    if (dumper == nullptr)
        return nullptr;
    dumper_release(dumper);
    Py_RETURN_NONE;
}

PyDoc_STRVAR(dump_doc, "dump a packet to the file");
static PyObject *dumper_dump(PyObject *self, PyObject *args)
{
    DumperObject *dumper = dumper_receiver(self);
    if (dumper == nullptr)
        return nullptr;
    PyObject *header;
    const char *data;
    Py_ssize_t length;
    // The common call, dump(header, bytes), skips the tuple parser: "y#" of
    // a bytes object yields exactly its buffer and size. Anything else goes
    // through the parser, whose errors stand.
    if (PyTuple_GET_SIZE(args) == 2 && PyBytes_CheckExact(PyTuple_GET_ITEM(args, 1))) {
        header = PyTuple_GET_ITEM(args, 0);
        data = PyBytes_AS_STRING(PyTuple_GET_ITEM(args, 1));
        length = PyBytes_GET_SIZE(PyTuple_GET_ITEM(args, 1));
    } else if (!PyArg_ParseTuple(args, "Oy#", &header, &data, &length)) {
        return nullptr;
    }
    pcap_pkthdr hdr;
    if (pkthdr_to_native(header, &hdr) < 0)
        return nullptr;
    if (dumper->dumper == nullptr) {
        PyErr_SetString(PcapError, "Dumper is already closed.");
        return nullptr;
    }
    // libpcap writes caplen bytes from data; never let it read past what was
    // given. The record then says how many bytes it really holds.
    if (static_cast<Py_ssize_t>(hdr.caplen) > length)
        hdr.caplen = static_cast<bpf_u_int32>(length);
    pcap_dump(reinterpret_cast<u_char *>(dumper->dumper), &hdr, reinterpret_cast<const u_char *>(data));
    Py_RETURN_NONE;
}

static PyMethodDef dumper_methods[] = {
    {"close", dumper_close, METH_VARARGS, close_doc},
    {"dump", dumper_dump, METH_VARARGS, dump_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject Pdumpertype = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Dumper",
    .tp_basicsize = sizeof(DumperObject),
    .tp_itemsize = 0,
    .tp_dealloc = dumper_dealloc,
    .tp_getattr = wirelet_getattr,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_methods = dumper_methods,
};
