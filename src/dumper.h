// Dumper: a capture file open for writing, to a path, standard output or a
// Python file object.
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

// The same, appending to filename if it is a capture file with the same
// header, creating it if it does not exist.
PyObject *dumper_open_append(pcap_t *pcap, const char *filename);

// New reference to a Dumper writing through the file object's write(), or
// null with an exception set.
PyObject *dumper_fopen(pcap_t *pcap, PyObject *file);

#endif
