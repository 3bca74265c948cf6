// Reader: a Python object owning one libpcap capture handle.
#ifndef WIRELET_READER_H
#define WIRELET_READER_H

#include <Python.h>
#include <pcap/pcap.h>

#include "handle.h"
#include "module.h"
#include "ref.h"

struct ReaderObject {
    PyObject_HEAD
    pcap_t *pcap;       // the owned handle; null once the Reader is closed
    unsigned int net;   // device network number, network byte order, or 0
    unsigned int mask;  // device netmask, network byte order, or 0
};

WIRELET_EXPORT extern PyTypeObject Pcaptype;

// The test every method but close and __exit__ begins with.
inline ReaderObject *reader_guard(PyObject *self)
{
    if (self == nullptr || Py_TYPE(self) != &Pcaptype) {
        PyErr_SetString(PcapError, "Not a pcap object");
        return nullptr;
    }
    ReaderObject *reader = reinterpret_cast<ReaderObject *>(self);
    if (reader->pcap == nullptr) {
        PyErr_SetString(PyExc_ValueError, "pcap is closed");
        return nullptr;
    }
    return reader;
}

// After argument parsing, which can run Python code (an __index__ method, a
// buffer export) that closes the Reader or starts a read on it: the guard
// once more, then the claim.
inline HandleState *claim_parsed(PyObject *self, Access access)
{
    ReaderObject *reader = reader_guard(self);
    return reader == nullptr ? nullptr : claim(reader, access);
}

// PcapError with libpcap's text for the handle's last error; null.
inline PyObject *raise_pcap_error(pcap_t *handle)
{
    PyErr_SetString(PcapError, pcap_geterr(handle));
    return nullptr;
}

// New reference to a Reader that owns handle from now on, or null with an
// exception set, in which case handle stays the caller's.
WIRELET_EXPORT PyObject *new_pcapobject(pcap_t *handle, unsigned int net, unsigned int mask);

// Tells a Reader made by new_pcapobject the read timeout its live handle was
// opened with, which libpcap does not report back.
void reader_set_read_timeout(PyObject *reader, int to_ms);

// Tells a Reader made by new_pcapobject that its handle is attached to
// nothing (pcap_open_dead), whose descriptor libpcap gives as 0.
void reader_set_dead(PyObject *reader);

// pcap_open_offline_with_tstamp_precision for open_offline, through a stream
// of the module's own where it can be, so that reads keep the interpreter
// lock until they must wait. Errors are libpcap's, in errbuf; or errbuf is
// empty and an exception is set, when a signal handler raised (stream.h).
pcap_t *open_capture_file(const char *filename, u_int precision, char *errbuf);

#endif
