// The module frame: the exception classes and what all four types share.
#ifndef WIRELET_MODULE_H
#define WIRELET_MODULE_H

#include <Python.h>

#include "ref.h"

// Capture errors: libpcap failures and wrong receivers of Reader, Pkthdr and
// Dumper methods. Null until the module is initialised, then never released.
WIRELET_EXPORT extern PyObject *PcapError;
// Errors about BPFProgram objects. Same lifetime as PcapError.
WIRELET_EXPORT extern PyObject *BPFError;

// The attribute lookup of every type: generic lookup of the name as a str.
// Returns a new reference, or null with an exception set.
PyObject *wirelet_getattr(PyObject *self, char *name);

#endif
