// Pkthdr: the per-packet header object and its two conversions.
#include "pkthdr.h"

#include "module.h"

static bool is_pkthdr(PyObject *obj)
{
    return obj != nullptr && Py_TYPE(obj) == &Pkthdr_type;
}

static PkthdrObject *pkthdr_receiver(PyObject *self)
{
    if (!is_pkthdr(self)) {
        PyErr_SetString(PcapError, "Not a pkthdr object");
        return nullptr;
    }
    return reinterpret_cast<PkthdrObject *>(self);
}

PyObject *new_pcap_pkthdr(const pcap_pkthdr *hdr)
{
    if (ready_type(&Pkthdr_type) < 0)
        return nullptr;
    PkthdrObject *obj = PyObject_New(PkthdrObject, &Pkthdr_type);
    if (obj == nullptr)
        return nullptr;
    obj->pkthdr.ts = hdr->ts;
    obj->pkthdr.caplen = hdr->caplen;
    obj->pkthdr.len = hdr->len;
    return reinterpret_cast<PyObject *>(obj);
}

int pkthdr_to_native(PyObject *obj, pcap_pkthdr *out)
{
    if (!is_pkthdr(obj)) {
        PyErr_SetString(PcapError, "Not a pkthdr object");
        return -1;
    }
    const pcap_pkthdr &hdr = reinterpret_cast<PkthdrObject *>(obj)->pkthdr;
    out->ts = hdr.ts;
    out->caplen = hdr.caplen;
    out->len = hdr.len;
    return 0;
}

static void pkthdr_dealloc(PyObject *self)
{
    PyObject_Free(self);
}

PyDoc_STRVAR(getts_doc, "get timestamp tuple (seconds, microseconds) since the Epoch");
static PyObject *pkthdr_getts(PyObject *self, PyObject *)
{
    PkthdrObject *hdr = pkthdr_receiver(self);
    if (hdr == nullptr)
        return nullptr;
    // Direct constructors instead of Py_BuildValue("(ll)"): same objects, less work per packet.
    Ref sec = Ref::steal(PyLong_FromLong(hdr->pkthdr.ts.tv_sec));
    Ref usec = Ref::steal(PyLong_FromLong(hdr->pkthdr.ts.tv_usec));
    if (!sec || !usec)
        return nullptr;
    return PyTuple_Pack(2, sec.get(), usec.get());
}

PyDoc_STRVAR(getcaplen_doc, "returns the length of portion present");
static PyObject *pkthdr_getcaplen(PyObject *self, PyObject *)
{
    PkthdrObject *hdr = pkthdr_receiver(self);
    if (hdr == nullptr)
        return nullptr;
    return PyLong_FromLong(static_cast<long>(hdr->pkthdr.caplen));
}

PyDoc_STRVAR(getlen_doc, "returns the length of the packet (off wire)");
static PyObject *pkthdr_getlen(PyObject *self, PyObject *)
{
    PkthdrObject *hdr = pkthdr_receiver(self);
    if (hdr == nullptr)
        return nullptr;
    return PyLong_FromLong(static_cast<long>(hdr->pkthdr.len));
}

static PyMethodDef pkthdr_methods[] = {
    {"getts", pkthdr_getts, METH_VARARGS, getts_doc},
    {"getcaplen", pkthdr_getcaplen, METH_VARARGS, getcaplen_doc},
    {"getlen", pkthdr_getlen, METH_VARARGS, getlen_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject Pkthdr_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Pkthdr",
    .tp_basicsize = sizeof(PkthdrObject),
    .tp_itemsize = 0,
    .tp_dealloc = pkthdr_dealloc,
    .tp_getattr = wirelet_getattr,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_methods = pkthdr_methods,
};
