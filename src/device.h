// Device discovery: the default device, the device names, and the devices
// with their descriptions, flags and addresses as struct sequences.
//
// Contract: everything here is called with the interpreter lock held, which
// is kept throughout (libpcap lists the devices from the kernel's tables and
// never waits on the network).
#ifndef WIRELET_DEVICE_H
#define WIRELET_DEVICE_H

#include <Python.h>

// The module functions: lookupdev() and findalldevs() take a positional tuple
// and ignore it (METH_VARARGS); devices() takes nothing (METH_NOARGS).
PyObject *wirelet_lookupdev(PyObject *, PyObject *);
PyObject *wirelet_findalldevs(PyObject *, PyObject *);
PyObject *wirelet_devices(PyObject *, PyObject *);
extern const char lookupdev_doc[];
extern const char findalldevs_doc[];
extern const char devices_doc[];

// Readies the Device and Address types and adds them to module, with the
// PCAP_IF_ flag constants: 0, or -1 with an exception set.
int add_device_types(PyObject *module);

#endif
