// The reads of a Reader, for its method table: next(), iteration, loop(),
// dispatch() and breakloop(). Each is called by the interpreter with the
// lock held, as a method of a Reader, and returns a new reference or null
// with an exception set.
#ifndef WIRELET_READS_H
#define WIRELET_READS_H

#include <Python.h>

extern const char next_doc[];
extern const char loop_doc[];
extern const char dispatch_doc[];
extern const char breakloop_doc[];

PyObject *reader_next(PyObject *self, PyObject *);
PyObject *reader_loop(PyObject *self, PyObject *args);
PyObject *reader_dispatch(PyObject *self, PyObject *args);
PyObject *reader_breakloop(PyObject *self, PyObject *);
// tp_iter and tp_iternext.
PyObject *reader_iter(PyObject *self);
PyObject *reader_iternext(PyObject *self);

#endif
