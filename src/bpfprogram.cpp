// BPFProgram: a compiled filter program, run in user space.
#include "bpfprogram.h"

#include "module.h"

PyObject *new_bpfobject(const bpf_program &program)
{
    if (PyType_Ready(&BPFProgramType) < 0)
        return nullptr;
    BPFProgramObject *obj = PyObject_New(BPFProgramObject, &BPFProgramType);
    if (obj == nullptr) {
        PyErr_SetString(BPFError, "Failed to create object");
        return nullptr;
    }
    obj->bpf = program;
    return reinterpret_cast<PyObject *>(obj);
}

static void bpfprogram_dealloc(PyObject *self)
{
    pcap_freecode(&reinterpret_cast<BPFProgramObject *>(self)->bpf);
    PyObject_Free(self);
}

PyTypeObject BPFProgramType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "BPFProgram",
    .tp_basicsize = sizeof(BPFProgramObject),
    .tp_itemsize = 0,
    .tp_dealloc = bpfprogram_dealloc,
    .tp_getattr = wirelet_getattr,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "BPF Program Wrapper",
};
