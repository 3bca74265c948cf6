// BPFProgram: a compiled filter program, run in user space.
#ifndef WIRELET_BPFPROGRAM_H
#define WIRELET_BPFPROGRAM_H

#include <Python.h>
#include <pcap/pcap.h>

#include <optional>

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

// Runs call(context) where the stack has room for libpcap's filter compiler
// given expression: on the calling thread when its stack has it, otherwise on
// a thread of its own, which the caller waits for. Returns false, with a
// Python exception set and call not made, when no such thread or stack could
// be had. Called with the interpreter lock held, which is kept throughout; call
// must not touch Python.
bool run_filter_compiler(const char *expression, void (*call)(void *), void *context);

// The same for compile, a call of pcap_compile or pcap_compile_nopcap on
// expression: its status, or nothing with a Python exception set.
template <typename Compile>
std::optional<int> run_filter_compiler(const char *expression, Compile compile)
{
    int status = 0;
    auto call = [&] { status = compile(); };
    if (!run_filter_compiler(
            expression, [](void *context) { (*static_cast<decltype(call) *>(context))(); }, &call))
        return std::nullopt;
    return status;
}

#endif
