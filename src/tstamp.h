// Time stamps: the clock types a handle offers, and libpcap's names for
// them. The precision is a plain setting and query of the Reader.
//
// Contract: called with the interpreter lock held, which is kept throughout;
// a caller that hands a handle here holds the Reader's one-operation claim.
#ifndef WIRELET_TSTAMP_H
#define WIRELET_TSTAMP_H

#include <Python.h>
#include <pcap/pcap.h>

// The time stamp types handle offers, as a new list of ints ([] where
// libpcap names none), or null with PcapError set (libpcap's text).
PyObject *list_tstamp_types(pcap_t *handle);

// The module functions tstamp_type_name_to_val(name),
// tstamp_type_val_to_name(type) and tstamp_type_val_to_description(type),
// METH_VARARGS.
PyObject *wirelet_tstamp_type_name_to_val(PyObject *, PyObject *args);
PyObject *wirelet_tstamp_type_val_to_name(PyObject *, PyObject *args);
PyObject *wirelet_tstamp_type_val_to_description(PyObject *, PyObject *args);
extern const char tstamp_type_name_to_val_doc[];
extern const char tstamp_type_val_to_name_doc[];
extern const char tstamp_type_val_to_description_doc[];

#endif
