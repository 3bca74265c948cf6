// The module's own wait on live captures.
//
// libpcap 1.10 on Linux (TPACKET_V3) waits in poll() with no time limit and
// leaves the read timeout to the kernel, which hands a ring block over only
// once a packet has arrived: on a quiet device a read never returns. It also
// retries its poll() after EINTR, so the interpreter never gets to run a
// signal handler. For a live packet socket the module therefore keeps
// libpcap's handle non-blocking and waits itself: poll() on the socket and
// on a wake descriptor that close() and breakloop() signal, for the time
// left, running the signal handlers when a signal comes. The caller's own
// non-blocking choice lives in the handle's record. Other kinds of handle
// are left to libpcap.
//
// Since libpcap never waits on such a handle, a read keeps the interpreter
// lock while libpcap runs and gives it up only in LiveWait::wait(), around
// the poll().
//
// Contract: everything here is called with the interpreter lock held.
#ifndef WIRELET_LIVE_WAIT_H
#define WIRELET_LIVE_WAIT_H

#include <Python.h>

#include "handle.h"

// Sets or clears O_NONBLOCK on fd: 0, or -1 with errno set.
int set_fd_nonblock(int fd, bool on);

// Called once the handle is activated. Whatever fails leaves the waiting to
// libpcap, as before.
void take_over_waiting(HandleState *state);

// Ends the wait of a read running on the handle, if the module waits for
// it; a wake with no read running ends the next wait at once.
void wake_reader(const HandleState *state);

enum class Waited {
    ready,     // libpcap may have something: ask it again
    timed_out, // the read timeout passed
    woken,     // close() or breakloop() was called
    raised,    // a signal handler raised; its exception is pending
};

// The waiting of one read on a live capture.
class LiveWait {
public:
    // across_timeouts: loop() goes on until its packets have come.
    LiveWait(const HandleState *state, bool across_timeouts)
        : state_(state), timeout_ms_(across_timeouts ? 0 : state->timeout_ms), across_(across_timeouts)
    {
    }

    // Whether the read waits in the module when libpcap has nothing ready.
    // The caller's mode is looked at each time: the callable may change it.
    bool waits() const { return state_->wake_fd >= 0 && (across_ || !state_->nonblock); }

    // Waits until the handle may have packets, the timeout passes, close()
    // or breakloop() wakes it or a signal handler raises. Gives up the
    // interpreter lock only around poll().
    Waited wait();

private:
    long long left_ms();

    const HandleState *state_;
    int timeout_ms_;
    bool across_;
    long long deadline_ns_ = 0;
};

#endif
