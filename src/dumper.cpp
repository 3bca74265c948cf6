// Dumper: a capture file open for writing.
#include "dumper.h"

#include "module.h"

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
    DumperObject *dumper = reinterpret_cast<DumperObject *>(self);
    if (dumper->dumper != nullptr)
        pcap_dump_close(dumper->dumper);
    dumper->dumper = nullptr;
    PyObject_Free(self);
}

PyTypeObject Pdumpertype = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Dumper",
    .tp_basicsize = sizeof(DumperObject),
    .tp_itemsize = 0,
    .tp_dealloc = dumper_dealloc,
    .tp_getattr = wirelet_getattr,
    .tp_flags = Py_TPFLAGS_DEFAULT,
};
