// The C streams the module puts under every capture file it writes.
//
// libpcap writes a capture file through a stdio stream. The module hands it
// a stream of its own (glibc's fopencookie()) whose write function is the
// module's: over a descriptor it gives up the interpreter lock around each
// write(), which a pipe, a FIFO or a slow disk may block, serves signals
// there as CPython's own writes do, and writes on when no handler raised;
// over a Python file object it calls the object's write()
// with the lock held. An exception (a handler's, or the object's) never
// loses data: stdio would drop its buffer on a failed write, so the write
// function takes everything it was given, keeps what it could not hand on
// in a backlog written first by the next call, and leaves the exception for
// the caller to raise (write_stream_raised). Records thus reach the file
// whole and in order. A failure of the descriptor itself (ENOSPC, EIO) is a
// failed write, as with any stdio stream: the stream's error flag is set.
//
// While a write has given up the lock, or runs Python code (a signal
// handler, the object's write()), the stream is busy: any other use of it
// must first call write_stream_wait(), which waits for another thread's
// write and refuses a use from inside it. write_streams_attention is
// non-zero while any stream is busy or holds an exception, so the common
// call tests one word.
//
// Contract: everything here is called with the interpreter lock held. The
// stream's write function is also safe without it (stdio flushes every open
// stream at process exit): it then writes to a descriptor plainly and fails
// for a file object.
#ifndef WIRELET_WRITE_STREAM_H
#define WIRELET_WRITE_STREAM_H

#include <Python.h>
#include <pcap/pcap.h>
#include <pthread.h>

#include <cstdint>
#include <cstdio>
#include <string>

struct WriteStream {
    int fd = -1;                 // the file, owned; -1 for a file object or none yet
    PyObject *object = nullptr;  // the file object, an owned reference, or null
    FILE *file = nullptr;        // the stream libpcap writes to
    int64_t position = 0;        // file position of the first byte not yet handed on
    std::string backlog;         // bytes taken from stdio but not yet handed on
    bool holding = true;         // keep everything in the backlog: no file yet
    bool raised = false;         // an exception is pending for the caller
    int error = 0;               // errno of the descriptor's first failure: it sticks
    bool busy = false;           // the lock is given up or Python code runs
    pthread_t owner{};           // the thread of the busy write
    int close_error = 0;         // errno of a failed close() of fd
    // Larger than stdio's own 4 KiB for files: fewer writes, so fewer times
    // the lock is given up.
    char buffer[64 * 1024];
};

extern int write_streams_attention;

// A new stream with nothing to write to yet (what it takes is kept), or null
// with MemoryError set. libpcap may write the file header into it at once.
WriteStream *write_stream_new();

// Gives the stream its descriptor (taking ownership) or file object (taking a
// reference of its own), at the file position given; what the stream kept
// so far is written first.
void write_stream_attach_fd(WriteStream *stream, int fd, int64_t position);
void write_stream_attach_object(WriteStream *stream, PyObject *object);

// Waits, without the lock, while another thread's write is busy on the
// stream. Returns 0 when the stream is free, 1 after a wait (the stream may
// be gone meanwhile: look it up again), or -1 with PcapError set when the
// busy write is this thread's own (a signal handler or the object's write()
// came back to the Dumper).
int write_stream_wait(WriteStream *stream);

// After a call into stdio on the stream: -1 when an exception is pending
// for the caller (it is then the call's result), else 0.
int write_stream_raised(WriteStream *stream);

// The file position, counting what is still buffered.
int64_t write_stream_tell(WriteStream *stream);

// Flushes stdio's buffer and the backlog, then the file object's own
// flush() if it has one. Returns 0; -1 with the exception set that the
// object or a signal handler raised; or -2 with errno set when the
// descriptor failed (now or before).
int write_stream_flush(WriteStream *stream);

// Flushes (as above, into result) and closes the stream, and frees it
// whatever happens; the file object is released, never closed. Returns 0,
// -1 with an exception set, or -2 with errno set.
int write_stream_close(WriteStream *stream);

// Discards everything not yet written and frees the stream: for an open
// that failed. file_closed: libpcap closed the stdio stream already.
void write_stream_discard(WriteStream *stream, bool file_closed);

// Checks the file header fd begins with against the header that stream
// holds, as pcap_dump_open_append does in libpcap 1.10.3, with its messages
// about name. Returns 1 if the file has that header (the stream then drops
// its own), 0 if the file is empty (the header is to be written), or -1
// with PcapError set.
int write_stream_check_append(WriteStream *stream, int fd, const char *name);

#endif
