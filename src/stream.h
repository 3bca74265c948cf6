// The C streams the module puts under libpcap's capture files.
//
// Reading a record that is already in the stdio buffer does not wait. So a
// read of a capture file holds the interpreter lock, as CPython's own
// buffered files do, and the stream gives it up only around the read() that
// refills its buffer, where a disk, a pipe or a FIFO may block. The stream is
// glibc's fopencookie() over the file's descriptor, handed to libpcap with
// pcap_fopen_offline(); libpcap 1.10 was checked to do nothing with the
// stream of a capture file but read it with stdio, so other versions, other C
// libraries and standard input ("-") keep libpcap's own stream, and their
// reads release the lock around libpcap as live reads do.
//
// Contract: everything here is called with the interpreter lock held; a
// stream's read function gives it up and takes it back only while a
// StreamUnlocked is in force.
#ifndef WIRELET_STREAM_H
#define WIRELET_STREAM_H

#include <pcap/pcap.h>

#include <cstdio>

struct CaptureStream {
    int fd;                         // the file, owned
    FILE *file = nullptr;           // the stream over it
    bool unlocked = false;          // a read holds the lock: give it up around read()
    bool running_handlers = false;  // the lock was taken back to run signal handlers
    // The stream's buffer: larger than stdio's own 8 KiB, for fewer refills
    // and so fewer times the lock is given up.
    char buffer[64 * 1024];
};

// pcap_open_offline_with_tstamp_precision for open_offline and its sibling,
// through a stream of the module's own where it can be. Errors are
// libpcap's, in errbuf.
pcap_t *open_capture_file(const char *filename, u_int precision, char *errbuf);

// The module's stream under a capture file's handle, or null where libpcap
// reads through its own.
CaptureStream *find_capture_stream(pcap_t *handle);

// For the duration of one read of a capture file on the module's stream:
// the read holds the lock, and the stream may give it up.
class StreamUnlocked {
public:
    explicit StreamUnlocked(CaptureStream *stream) : stream_(stream), was_(stream->unlocked)
    {
        stream_->unlocked = true;
    }
    ~StreamUnlocked() { stream_->unlocked = was_; }
    StreamUnlocked(const StreamUnlocked &) = delete;
    StreamUnlocked &operator=(const StreamUnlocked &) = delete;

private:
    CaptureStream *stream_;
    bool was_;
};

// After a read of stream failed: whether a signal handler raised inside the
// stream, in which case the handler's exception is the result and the
// stream may be read again.
bool raised_in_stream(CaptureStream *stream);

#endif
