// libpcap's filter compiler, run without the interpreter lock.
//
// libpcap's optimiser is roughly cubic in the number of primitives: a filter
// of a few hundred hosts compiles for seconds, of a few thousand for minutes.
// The compile therefore runs without the interpreter lock, so other threads
// go on, and a long one runs on a thread of its own while the caller waits
// for it in short steps and serves signals between them: a handler that
// raises (Ctrl-C) ends the wait at once. The compile cannot be stopped; it
// goes on in the background, frees its program when it ends, and keeps using
// the handle it compiles for until then (see HandleState::compile). libpcap
// has been safe to compile on several threads at once since 1.8.
//
// The compiler also recurses once per block of the program, so a compile that
// needs more stack than the calling thread has left runs on a thread of its
// own, with a stack big enough for it.
//
// Contract: compile_filter(), compile_ended(), detach_compile() and
// close_after_compile() are called with the interpreter lock held.
#ifndef WIRELET_COMPILER_H
#define WIRELET_COMPILER_H

#include <Python.h>
#include <pcap/pcap.h>

// A compile that may outlive the call that started it.
struct CompileJob;

// What to compile for.
struct CompileTarget {
    pcap_t *handle;        // a Reader's handle, not owned; or null for a dead
                           // handle of linktype and snaplen that the compile makes
    int linktype;
    int snaplen;
    int optimize;
    bpf_u_int32 netmask;
    bool nopcap = false;   // pcap_compile_nopcap(65536, linktype, ...): no handle, no diagnostic
};

enum class Compiled {
    program,  // program holds the compiled filter, owned by the caller
    refused,  // libpcap refused the expression: error holds its text ("" for nopcap)
    raised,   // a Python exception is set (a signal handler raised, memory ran out)
};

// Compiles expression for target. On Compiled::raised with a compile still
// running on target.handle, *running is that compile (else null): the caller
// keeps it with the handle until compile_ended(), and closes the handle
// through close_after_compile() meanwhile.
Compiled compile_filter(const CompileTarget &target, const char *expression, bpf_program &program,
                        char (&error)[PCAP_ERRBUF_SIZE], CompileJob **running);

// Whether a compile left running has ended, so it no longer uses the handle.
bool compile_ended(const CompileJob *job);

// Forgets a compile left running whose end compile_ended() has seen.
void detach_compile(CompileJob *job);

// Closes handle once the compile left running on it ends: now if it has, or
// on the compile's own thread when it does. Forgets the compile.
void close_after_compile(CompileJob *job, pcap_t *handle);

#endif
