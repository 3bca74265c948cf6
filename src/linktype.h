// Link-layer types: the ones a device offers, the choice among them, and
// libpcap's names and descriptions of them.
//
// Contract: called with the interpreter lock held, which is kept throughout;
// a caller that hands a handle here holds the Reader's one-operation claim.
#ifndef WIRELET_LINKTYPE_H
#define WIRELET_LINKTYPE_H

#include <Python.h>
#include <pcap/pcap.h>

// The link types handle offers, as a new list of ints, or null with
// PcapError set (libpcap's text).
PyObject *list_datalinks(pcap_t *handle);

// Switches handle to link type dlt: None, or null with PcapError set
// (libpcap's text).
PyObject *set_datalink(pcap_t *handle, int dlt);

// The module functions datalink_name_to_val(name), datalink_val_to_name(dlt)
// and datalink_val_to_description(dlt), METH_VARARGS.
PyObject *wirelet_datalink_name_to_val(PyObject *, PyObject *args);
PyObject *wirelet_datalink_val_to_name(PyObject *, PyObject *args);
PyObject *wirelet_datalink_val_to_description(PyObject *, PyObject *args);
extern const char datalink_name_to_val_doc[];
extern const char datalink_val_to_name_doc[];
extern const char datalink_val_to_description_doc[];

#endif
