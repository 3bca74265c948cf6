// BPFProgram: a compiled filter program, run in user space.
#ifndef WIRELET_BPFPROGRAM_H
#define WIRELET_BPFPROGRAM_H

#include <Python.h>
#include <pcap/pcap.h>

#include "ref.h"

struct BPFProgramObject {
    PyObject_HEAD
    bpf_program bpf;  // the program; its instruction array is owned
};

WIRELET_EXPORT extern PyTypeObject BPFProgramType;

// New reference to a BPFProgram that owns program's instruction array from
// now on, or null with an exception set, in which case the array stays the
// caller's. Only the record is copied, not the instructions.
WIRELET_EXPORT PyObject *new_bpfobject(const bpf_program &program);

#endif
