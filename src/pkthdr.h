// Pkthdr: one packet's timestamp and lengths, copied out of libpcap.
#ifndef WIRELET_PKTHDR_H
#define WIRELET_PKTHDR_H

#include <Python.h>
#include <pcap/pcap.h>

#include "ref.h"

struct PkthdrObject {
    PyObject_HEAD
    pcap_pkthdr pkthdr;  // copy of the header; never changed after creation
};

WIRELET_EXPORT extern PyTypeObject Pkthdr_type;

// New reference to a Pkthdr holding a copy of *hdr, or null with an exception
// set. hdr must not be null; the interpreter lock must be held.
WIRELET_EXPORT PyObject *new_pcap_pkthdr(const pcap_pkthdr *hdr);

// Copies a Pkthdr's header into *out and returns 0; for any other object sets
// PcapError "Not a pkthdr object", leaves *out alone and returns -1.
// Borrows obj, which must not be null.
WIRELET_EXPORT int pkthdr_to_native(PyObject *obj, pcap_pkthdr *out);

#endif
