// Dumper: a capture file open for writing.
#ifndef WIRELET_DUMPER_H
#define WIRELET_DUMPER_H

#include <Python.h>
#include <pcap/pcap.h>

#include "ref.h"

struct DumperObject {
    PyObject_HEAD
    pcap_dumper_t *dumper;  // the owned dump handle; null once closed
};

WIRELET_EXPORT extern PyTypeObject Pdumpertype;

// New reference to a Dumper that owns handle from now on, or null with an
// exception set, in which case handle stays the caller's.
WIRELET_EXPORT PyObject *new_pcapdumper(pcap_dumper_t *handle);

// New reference to a Dumper writing pcap's link type to filename ("-" for
// standard output), or null with PcapError set.
PyObject *dumper_open(pcap_t *pcap, const char *filename);

#endif
