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

// Readies one of the module's types; done on every construction, a no-op
// once the type is ready. Returns 0, or -1 with an exception set. The types
// look attributes up by name text; once a type is ready, the generic slot is
// set beside that one, since the interpreter calls a method without making
// a bound method first only for types whose attribute slot is the generic
// one. Set before readying, it would add __getattribute__ to the type's
// dictionary and to help().
inline int ready_type(PyTypeObject *type)
{
    if (!(type->tp_flags & Py_TPFLAGS_READY) && PyType_Ready(type) < 0)
        return -1;
    type->tp_getattro = PyObject_GenericGetAttr;
    return 0;
}

// A METH_FASTCALL method as the method table's slot type holds it.
using FastMethod = PyObject *(*)(PyObject *self, PyObject *const *args, Py_ssize_t nargs);
inline PyCFunction fast_method(FastMethod method)
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

// The positional arguments of a fast call as a new tuple, for the tuple
// parser when the common case of a method does not apply. Null with an
// exception set on failure.
PyObject *positional_tuple(PyObject *const *args, Py_ssize_t nargs);

// A new list of the count ints at values, or null with an exception set.
PyObject *int_list(const int *values, int count);

// For a module function that names a value of libpcap's: parses one int
// with format and returns lookup's text for it as a str, or None where
// lookup has none. Null with an exception set on failure.
PyObject *name_of_value(PyObject *args, const char *format, const char *(*lookup)(int));

#endif
