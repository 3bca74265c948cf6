// The record the module keeps for each open capture handle, and the rule of
// one libpcap operation at a time on it.
//
// A libpcap handle carries one operation at a time, and reads can give up
// the interpreter lock, so Python code (another thread, or the callable of a
// loop) can reach a Reader while a read runs on it. What the module needs to
// know about that lives in one record per open handle, kept here beside the
// Reader (whose layout stays its three documented fields) and keyed by the
// Reader's address. A record is made with the Reader and dropped when the
// handle is released.
//
// Contract: every function here must be called with the interpreter lock
// held, except the at-fork handler, which runs in a child where no other
// thread exists. A record's address stays valid until release_handle().
#ifndef WIRELET_HANDLE_H
#define WIRELET_HANDLE_H

#include <Python.h>
#include <pcap/pcap.h>
#include <pthread.h>

struct CaptureStream;

struct HandleState {
    pcap_t *handle;             // the owned handle, until it is released
    pthread_t reading{};        // the thread running a read on it, if depth > 0
    int depth = 0;              // reads in progress: more than one only when a
                                // capture file is read from its own callable
    bool closed = false;        // the Reader let go of the handle during a read
    bool break_requested = false;  // breakloop() was called: the running or next read ends
    int failed_activation = 0;  // what a failed pcap_activate returned, or 0
    bool dead = false;          // from open_dead: libpcap's descriptor 0 is none
    // Live captures the module waits for itself (live_wait.h):
    int wake_fd = -1;           // eventfd that close() signals; -1 when libpcap waits
    int timeout_ms = 0;         // the read timeout asked for; 0 or less: none
    bool nonblock = false;      // the caller's non-blocking mode
    // Capture files read through the module's own stream (stream.h):
    CaptureStream *stream = nullptr;
    // The pair iteration returned last, owned: refilled for the next step
    // when nobody else holds it any more.
    PyObject *pair = nullptr;
};

// A new record for handle under key, or null when memory ran out (no
// exception is set). Replaces any record left under the same key.
HandleState *add_handle_state(const void *key, pcap_t *handle);

// The last record found, and its key: next() in a loop asks for the same
// record again and again.
extern const void *cached_handle_key;
extern HandleState *cached_handle_state;
HandleState *find_handle_state_uncached(const void *key);

// The record under key, or null.
inline HandleState *find_handle_state(const void *key)
{
    if (key == cached_handle_key)
        return cached_handle_state;
    return find_handle_state_uncached(key);
}

// Closes the handle, and the wake descriptor if any, and forgets the record
// and what it owns.
void release_handle(const void *key, HandleState *state);

// Drops a pending breakloop() request and any wake it left on the wake
// descriptor; returns true.
bool spend_break_request(HandleState *state);

// Takes a pending breakloop() request: true, and the request is gone, when
// there was one. Every read asks, so the test is inline.
inline bool take_break_request(HandleState *state)
{
    return state->break_requested && spend_break_request(state);
}

enum class Access {
    read,   // next, loop, dispatch
    change, // anything else that hands the handle to libpcap
};

// The record under key, or null with PcapError set when the operation would
// run libpcap on the handle beside a read that is in progress. A read may go
// on in the thread that runs it only from the callable of a loop over a
// capture file: a live read hands ring blocks back to the kernel that the
// outer read still walks.
HandleState *claim(const void *key, Access access);

// A read (next, loop, dispatch) for the duration of one call. The outermost
// read to end on a handle whose Reader let go of it meanwhile releases it.
class ReadScope {
public:
    ReadScope(const void *key, HandleState *state) : key_(key), state_(state)
    {
        if (state_->depth++ == 0)
            state_->reading = pthread_self();
    }

    ~ReadScope()
    {
        if (--state_->depth == 0 && state_->closed)
            release_handle(key_, state_);
    }

    ReadScope(const ReadScope &) = delete;
    ReadScope &operator=(const ReadScope &) = delete;

    pcap_t *handle() const { return state_->handle; }

private:
    const void *key_;
    HandleState *state_;
};

#endif
