// Pkthdr: the per-packet header object and its conversions.
#include "pkthdr.h"

#include <climits>
#include <cstdint>

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

PyObject *new_pkthdr(const pcap_pkthdr *hdr, unsigned char form)
{
    if (ready_type(&Pkthdr_type) < 0)
        return nullptr;
    PkthdrObject *obj = PyObject_New(PkthdrObject, &Pkthdr_type);
    if (obj == nullptr)
        return nullptr;
    obj->pkthdr.ts = hdr->ts;
    obj->pkthdr.caplen = hdr->caplen;
    obj->pkthdr.len = hdr->len;
    obj->form = form;
    return reinterpret_cast<PyObject *>(obj);
}

PyObject *new_pcap_pkthdr(const pcap_pkthdr *hdr)
{
    return new_pkthdr(hdr, 0);
}

// The fraction of a second in microseconds: a nanosecond one is cut as
// libpcap cuts it when it reads a nanosecond file at microsecond precision.
static long microseconds(const PkthdrObject *hdr)
{
    long fraction = hdr->pkthdr.ts.tv_usec;
    return (hdr->form & TS_NANO) != 0 ? fraction / 1000 : fraction;
}

int pkthdr_to_native(PyObject *obj, pcap_pkthdr *out)
{
    if (!is_pkthdr(obj)) {
        PyErr_SetString(PcapError, "Not a pkthdr object");
        return -1;
    }
    const PkthdrObject *hdr = reinterpret_cast<PkthdrObject *>(obj);
    out->ts.tv_sec = hdr->pkthdr.ts.tv_sec;
    out->ts.tv_usec = microseconds(hdr);
    out->caplen = hdr->pkthdr.caplen;
    out->len = hdr->pkthdr.len;
    return 0;
}

FileTime not_a_pkthdr()
{
    PyErr_SetString(PcapError, "Not a pkthdr object");
    return FileTime::not_a_pkthdr;
}

// pkthdr_to_file for the headers its inline tests do not pass.
FileTime scale_to_file(const PkthdrObject *hdr, bool nano_file, pcap_pkthdr *out)
{
    long fraction = hdr->pkthdr.ts.tv_usec;
    bool scaled = true;
    if ((hdr->form & TS_NANO) != 0 && !nano_file)
        fraction /= 1000;
    else if ((hdr->form & TS_NANO) == 0 && nano_file)
        scaled = !__builtin_mul_overflow(fraction, 1000L, &fraction);
    out->ts.tv_usec = fraction;
    time_t seconds = out->ts.tv_sec;
    bool classic = (hdr->form & TS_CLASSIC_SECONDS) != 0;
    if (seconds > UINT32_MAX || seconds < (classic ? INT32_MIN : 0))
        return FileTime::seconds_out_of_range;
    if (!scaled || fraction > UINT32_MAX || fraction < INT32_MIN)
        return FileTime::fraction_out_of_range;
    return FileTime::fits;
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
    Ref usec = Ref::steal(PyLong_FromLong(microseconds(hdr)));
    if (!sec || !usec)
        return nullptr;
    return PyTuple_Pack(2, sec.get(), usec.get());
}

PyDoc_STRVAR(getts_ns_doc, "returns the timestamp in nanoseconds since the Epoch");
static PyObject *pkthdr_getts_ns(PyObject *self, PyObject *)
{
    PkthdrObject *hdr = pkthdr_receiver(self);
    if (hdr == nullptr)
        return nullptr;
    long seconds = hdr->pkthdr.ts.tv_sec;
    long fraction = hdr->pkthdr.ts.tv_usec;
    long per_unit = (hdr->form & TS_NANO) != 0 ? 1 : 1000;
    long whole, part, total;
    if (!__builtin_mul_overflow(seconds, 1000000000L, &whole) && !__builtin_mul_overflow(fraction, per_unit, &part)
        && !__builtin_add_overflow(whole, part, &total))
        return PyLong_FromLong(total);
    // Headers from native code may hold any pair of longs: Python's integers
    // take what a long cannot.
    Ref sec = Ref::steal(PyLong_FromLong(seconds));
    Ref billion = Ref::steal(PyLong_FromLong(1000000000L));
    Ref frac = Ref::steal(PyLong_FromLong(fraction));
    Ref unit = Ref::steal(PyLong_FromLong(per_unit));
    if (!sec || !billion || !frac || !unit)
        return nullptr;
    Ref sec_ns = Ref::steal(PyNumber_Multiply(sec.get(), billion.get()));
    Ref frac_ns = Ref::steal(PyNumber_Multiply(frac.get(), unit.get()));
    if (!sec_ns || !frac_ns)
        return nullptr;
    return PyNumber_Add(sec_ns.get(), frac_ns.get());
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
    {"getts_ns", pkthdr_getts_ns, METH_NOARGS, getts_ns_doc},
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
