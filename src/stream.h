// The C streams the module puts under libpcap's capture files.
//
// Reading a record that is already in the stdio buffer does not wait. So a
// read of a capture file holds the interpreter lock, as CPython's own
// buffered files do, and the stream gives it up only around the read() that
// refills its buffer, where a disk, a pipe or a FIFO may block. The stream is
// glibc's fopencookie() over the file's descriptor (standard input's for
// "-"), or over a Python file object's readinto() or read(), handed to
// libpcap with pcap_fopen_offline(); libpcap 1.10 was checked to do nothing
// with the stream of a capture file but read it with stdio, so for a path
// other versions and other C libraries keep libpcap's own stream, and their
// reads release the lock around libpcap as live reads do.
//
// A pipe, a FIFO or a terminal is polled beside a wake descriptor that
// close() and breakloop() signal, and a signal there runs the handlers.
// When a handler raises, breakloop() wakes the wait, or a non-blocking file
// object has no data yet, the read in
// progress fails, perhaps in the middle of a record; the stream follows the
// file's record boundaries and gives libpcap the partial record again on the
// next read, so that no record is lost or torn.
//
// Contract: everything here is called with the interpreter lock held; a
// stream over a descriptor gives it up only around poll() and read(), a
// stream over a file object never.
#ifndef WIRELET_STREAM_H
#define WIRELET_STREAM_H

#include <Python.h>
#include <pcap/pcap.h>

#include <cstdint>
#include <cstdio>
#include <vector>

// Why the stream failed a read, when it was the stream's doing.
enum class StreamFailure {
    none,    // it did not: libpcap's error, or no failure
    raised,  // a signal handler, or the file object, raised: its exception is pending
    woken,   // close() or breakloop() ended the wait
    no_data, // a non-blocking file object had no data yet
    broken,  // an earlier failure left the stream where no record begins
};

// The record boundaries of a capture file, classic or pcapng, followed as
// its bytes go by: where the first record not yet whole begins.
struct Framing {
    bool on = true;             // false once the bytes make no sense
    bool blocks = false;        // pcapng: blocks, rather than records
    bool big_endian = false;    // the byte order of the file (of the section)
    int lengths = 0;            // classic before 2.4: 1 wire and captured swapped, 2 maybe
    unsigned header_size = 16;  // a classic record's header
    uint64_t start = 0;         // the offset where that record begins
    uint64_t end = 0;           // where it ends, once its header is in; else 0
    uint64_t fetched = 0;       // bytes taken from the file so far
    unsigned have = 0;          // bytes of its header in head
    unsigned char head[16];

    void take(const char *bytes, size_t count);

private:
    void measure();
};

struct CaptureStream {
    int fd = -1;                    // the file; -1 over a file object
    bool owns_fd = true;            // false for standard input, which stays open
    bool waits = false;             // fd may block: poll it, with wake_fd
    int wake_fd = -1;               // eventfd that close() signals, or -1
    PyObject *object = nullptr;     // the file object, owned; never closed here
    PyObject *method = nullptr;     // its bound readinto() (or read()), owned
    bool readinto = false;
    FILE *file = nullptr;           // the stream over it
    bool running_handlers = false;  // Python code runs in the middle of a read
    bool opening = false;           // libpcap reads the file header
    StreamFailure failure = StreamFailure::none;  // of the read in progress
    bool broken = false;
    // What has been fetched of the record that is not yet whole, from
    // framing.start; from replay_at on it is to be handed to stdio again.
    Framing framing;
    std::vector<char> kept;
    size_t replay_at = 0;
    // The stream's buffer: larger than stdio's own 8 KiB, for fewer refills
    // and so fewer times the lock is given up.
    char buffer[64 * 1024];
};

// pcap_open_offline_with_tstamp_precision for open_offline, through a stream
// of the module's own where it can be. A FIFO's open and its header are
// waited for without the lock, answering signals. Null with errbuf filled,
// or with errbuf empty and an exception set when a signal handler raised.
pcap_t *open_capture_file(const char *filename, u_int precision, char *errbuf);

// The same over a binary Python file object. Null with an exception set.
pcap_t *open_capture_object(PyObject *object, u_int precision);

// The module's stream under a capture file's handle, or null where libpcap
// reads through its own.
CaptureStream *find_capture_stream(pcap_t *handle);

// Before each read (next, loop, dispatch) of a handle on the stream.
inline void begin_stream_read(CaptureStream *stream)
{
    stream->failure = StreamFailure::none;
}

// After a read of the stream failed: why, if the stream failed it. The
// stream is ready to be read again. For broken, PcapError is set here.
StreamFailure end_failed_read(CaptureStream *stream);

// Ends the wait of a read on the stream, for close() and breakloop().
void wake_stream(const CaptureStream *stream);

#endif
