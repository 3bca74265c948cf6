// The module's own wait on live packet sockets.
#include "live_wait.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/eventfd.h>
#endif

int set_fd_nonblock(int fd, bool on)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return -1;
    int wanted = on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
    return wanted == flags ? 0 : fcntl(fd, F_SETFL, wanted);
}

void take_over_waiting(HandleState *state)
{
#ifdef __linux__
    pcap_t *handle = state->handle;
    int fd = pcap_get_selectable_fd(handle);
    int domain = 0;
    socklen_t size = sizeof domain;
    if (fd < 0 || getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) != 0 || domain != AF_PACKET)
        return;
    char errbuf[PCAP_ERRBUF_SIZE];
    int nonblock = pcap_getnonblock(handle, errbuf);
    if (nonblock < 0)
        return;
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0)
        return;
    // libpcap puts the socket into non-blocking mode too, but it uses the
    // socket itself only to send: sending keeps the caller's mode.
    if (pcap_setnonblock(handle, 1, errbuf) != 0 || set_fd_nonblock(fd, nonblock != 0) != 0) {
        pcap_setnonblock(handle, nonblock, errbuf);
        close(wake);
        return;
    }
    state->wake_fd = wake;
    state->nonblock = nonblock != 0;
#else
    (void)state;
#endif
}

void wake_reader(const HandleState *state)
{
    uint64_t one = 1;
    if (state->wake_fd >= 0 && write(state->wake_fd, &one, sizeof one) < 0) {
        // Full only if a million closes went unread; the read is woken anyway.
    }
}

Waited LiveWait::wait()
{
    // The handlers of signals that came while libpcap ran, which its
    // retries swallowed.
    if (PyErr_CheckSignals() < 0)
        return Waited::raised;
    pcap_t *handle = state_->handle;
    pollfd fds[2] = {{pcap_get_selectable_fd(handle), POLLIN, 0}, {state_->wake_fd, POLLIN, 0}};
    for (;;) {
        // A handler just run, or another thread, may have asked for the end.
        if (state_->closed || state_->break_requested)
            return Waited::woken;
        int timeout = -1;
        if (timeout_ms_ > 0) {
            long long left = left_ms();
            if (left <= 0)
                return Waited::timed_out;
            timeout = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        // libpcap asks for a bound while it watches a device that went down.
        bool bounded = false;
        if (const timeval *required = pcap_get_required_select_timeout(handle)) {
            long long ms = required->tv_sec * 1000LL + (required->tv_usec + 999) / 1000;
            if (timeout < 0 || ms < timeout) {
                timeout = static_cast<int>(ms < INT_MAX ? ms : INT_MAX);
                bounded = true;
            }
        }
        int ready;
        int error;
        Py_BEGIN_ALLOW_THREADS
        ready = poll(fds, 2, timeout);
        error = errno;
        Py_END_ALLOW_THREADS
        if (ready > 0) {
            if (fds[1].revents == 0)
                return Waited::ready;
            // A wake left by a breakloop() whose read ended before it came:
            // drop it and wait on.
            if (!state_->closed && !state_->break_requested) {
                uint64_t count;
                if (read(state_->wake_fd, &count, sizeof count) < 0) {
                    // Another wake drained it first.
                }
            }
            continue;
        }
        if (ready == 0) {
            if (bounded)
                return Waited::ready;
            continue;
        }
        // Any other failure is libpcap's to report, from its own poll().
        if (error != EINTR)
            return Waited::ready;
        if (PyErr_CheckSignals() < 0)
            return Waited::raised;
    }
}

// Milliseconds until the deadline, rounded up; the clock starts at the
// first wait, so a read that finds packets never looks at it.
long long LiveWait::left_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long now_ns = now.tv_sec * 1000000000LL + now.tv_nsec;
    if (deadline_ns_ == 0)
        deadline_ns_ = now_ns + timeout_ms_ * 1000000LL;
    return (deadline_ns_ - now_ns + 999999) / 1000000;
}
