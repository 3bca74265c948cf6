// Reader: the capture handle object and everything done through it.
#include "reader.h"

#include <arpa/inet.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <new>
#include <unordered_map>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/eventfd.h>
#endif

#include "bpfprogram.h"
#include "dumper.h"
#include "module.h"
#include "pkthdr.h"

// ---------------------------------------------------------------------------
// Per-handle bookkeeping.
//
// A libpcap handle carries one operation at a time, and next(), loop() and
// dispatch() run libpcap without the interpreter lock, so Python code (another
// thread, or the callable of a loop) can reach the Reader while a read runs.
// What the module needs to know about that lives in one record per open
// handle, beside the Reader, whose layout stays the three documented fields
// that native code may rely on. A record is made with the Reader and dropped
// when the handle is released. Everything here is touched only with the
// interpreter lock held, except by the at-fork handler, which runs in a child
// where no other thread exists.

struct CaptureStream;

struct HandleState {
    pcap_t *handle;             // the owned handle, until it is released
    pthread_t reading{};        // the thread running a read on it, if depth > 0
    int depth = 0;              // reads in progress: more than one only when a
                                // capture file is read from its own callable
    int failed_activation = 0;  // what a failed pcap_activate returned, or 0
    // Live captures the module waits for itself (see below):
    int wake_fd = -1;           // eventfd that close() signals; -1 when libpcap waits
    int timeout_ms = 0;         // the read timeout asked for; 0 or less: none
    bool nonblock = false;      // the caller's non-blocking mode
    // Capture files opened by open_offline (see below):
    CaptureStream *stream = nullptr; // the module's own stream under the handle, if any
};

static std::unordered_map<const ReaderObject *, HandleState> handle_states;
// next() in a loop asks for the same record again and again.
static const ReaderObject *cached_reader;
static HandleState *cached_state;

static HandleState *find_state(const ReaderObject *reader)
{
    if (reader == cached_reader)
        return cached_state;
    auto found = handle_states.find(reader);
    if (found == handle_states.end())
        return nullptr;
    cached_reader = reader;
    cached_state = &found->second;
    return cached_state;
}

// Closes the handle and forgets everything about it.
static void release_handle(const ReaderObject *reader, HandleState *state)
{
    pcap_t *handle = state->handle;
    if (state->wake_fd >= 0)
        close(state->wake_fd);
    if (reader == cached_reader)
        cached_reader = nullptr;
    handle_states.erase(reader);
    pcap_close(handle);
}

// In a child process only the thread that forked exists, so no other read
// is running there: a close() in the child must release the handle at once.
// Only memory of this process is touched.
static void forget_reads_after_fork()
{
    pthread_t self = pthread_self();
    for (auto &entry : handle_states) {
        HandleState &state = entry.second;
        if (state.depth > 0 && !pthread_equal(state.reading, self))
            state.depth = 0;
    }
}

// A read (next, loop, dispatch) for the duration of one call. The outermost
// read to end on a Reader closed meanwhile releases the handle.
class ReadScope {
public:
    ReadScope(ReaderObject *reader, HandleState *state) : reader_(reader), state_(state)
    {
        if (state_->depth++ == 0)
            state_->reading = pthread_self();
    }

    ~ReadScope()
    {
        if (--state_->depth == 0 && reader_->pcap == nullptr)
            release_handle(reader_, state_);
    }

    ReadScope(const ReadScope &) = delete;
    ReadScope &operator=(const ReadScope &) = delete;

    pcap_t *handle() const { return state_->handle; }

private:
    ReaderObject *reader_;
    HandleState *state_;
};

// ---------------------------------------------------------------------------
// Waiting on live captures.
//
// libpcap 1.10 on Linux (TPACKET_V3) waits in poll() with no time limit and
// leaves the read timeout to the kernel, which hands a ring block over only
// once a packet has arrived: on a quiet device a read never returns. It also
// retries its poll() after EINTR, so the interpreter never gets to run a
// signal handler. For a live packet socket the module therefore keeps
// libpcap's handle non-blocking and waits itself, without the interpreter
// lock: poll() on the socket and on a wake descriptor that close() signals,
// for the time left, running the signal handlers when a signal comes. The
// caller's own non-blocking choice lives in the record. Other kinds of
// handle are left to libpcap.

static int set_fd_nonblock(int fd, bool on)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return -1;
    int wanted = on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
    return wanted == flags ? 0 : fcntl(fd, F_SETFL, wanted);
}

// Called once the handle is activated. Whatever fails leaves the waiting to
// libpcap, as before.
static void take_over_waiting(HandleState *state)
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

static void wake_reader(const HandleState *state)
{
    uint64_t one = 1;
    if (state->wake_fd >= 0 && write(state->wake_fd, &one, sizeof one) < 0) {
        // Full only if a million closes went unread; the read is woken anyway.
    }
}

// Runs the pending signal handlers, taking the interpreter lock for it;
// -1 when one raised. Called and returns without the lock.
static int run_signal_handlers(PyThreadState *thread_state)
{
    PyEval_RestoreThread(thread_state);
    int status = PyErr_CheckSignals();
    PyEval_SaveThread();
    return status;
}

enum class Waited {
    ready,     // libpcap may have something: ask it again
    timed_out, // the read timeout passed
    woken,     // close() was called
    raised,    // a signal handler raised; its exception is pending
};

// The waiting of one read on a live capture. Made with the interpreter lock
// held; wait() runs without it.
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

    Waited wait(PyThreadState *thread_state)
    {
        // A signal that came while libpcap ran was swallowed by its retries.
        if (run_signal_handlers(thread_state) < 0)
            return Waited::raised;
        pcap_t *handle = state_->handle;
        pollfd fds[2] = {{pcap_get_selectable_fd(handle), POLLIN, 0}, {state_->wake_fd, POLLIN, 0}};
        for (;;) {
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
            int ready = poll(fds, 2, timeout);
            if (ready > 0)
                return fds[1].revents != 0 ? Waited::woken : Waited::ready;
            if (ready == 0) {
                if (bounded)
                    return Waited::ready;
                continue;
            }
            // Any other failure is libpcap's to report, from its own poll().
            if (errno != EINTR)
                return Waited::ready;
            if (run_signal_handlers(thread_state) < 0)
                return Waited::raised;
        }
    }

private:
    // Milliseconds until the deadline, rounded up; the clock starts at the
    // first wait, so a read that finds packets never looks at it.
    long long left_ms()
    {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long now_ns = now.tv_sec * 1000000000LL + now.tv_nsec;
        if (deadline_ns_ == 0)
            deadline_ns_ = now_ns + timeout_ms_ * 1000000LL;
        return (deadline_ns_ - now_ns + 999999) / 1000000;
    }

    const HandleState *state_;
    int timeout_ms_;
    bool across_;
    long long deadline_ns_ = 0;
};

// ---------------------------------------------------------------------------
// Capture files read through a stream of the module's own.
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

struct CaptureStream {
    int fd;                         // the file, owned
    FILE *file = nullptr;           // the stream over it
    bool unlocked = false;          // a read holds the lock: give it up around read()
    bool running_handlers = false;  // the lock was taken back to run signal handlers
    // The stream's buffer: larger than stdio's own 8 KiB, for fewer refills
    // and so fewer times the lock is given up.
    char buffer[64 * 1024];
};

#ifdef __GLIBC__
// The streams the module opened, by their FILE, for new_pcapobject to find.
static std::unordered_map<const FILE *, CaptureStream *> capture_streams;

static ssize_t capture_stream_read(void *cookie, char *buffer, size_t size)
{
    auto *stream = static_cast<CaptureStream *>(cookie);
    if (!stream->unlocked)
        return read(stream->fd, buffer, size);
    for (;;) {
        PyThreadState *thread_state = PyEval_SaveThread();
        ssize_t got = read(stream->fd, buffer, size);
        int error = errno;
        PyEval_RestoreThread(thread_state);
        if (got >= 0 || error != EINTR) {
            errno = error;
            return got;
        }
        // A pipe or a FIFO waited: serve the signal, as CPython's own reads
        // do, and read on unless a handler raised. The read fails then, and
        // the caller finds the handler's exception pending.
        stream->running_handlers = true;
        int status = PyErr_CheckSignals();
        stream->running_handlers = false;
        if (status < 0) {
            errno = EINTR;
            return -1;
        }
    }
}

static int capture_stream_close(void *cookie)
{
    auto *stream = static_cast<CaptureStream *>(cookie);
    capture_streams.erase(stream->file);
    int status = close(stream->fd);
    delete stream;
    return status;
}

// The stream over filename, or null where libpcap is to open the file.
static FILE *open_capture_stream(const char *filename)
{
    static const bool checked_libpcap = std::strncmp(pcap_lib_version(), "libpcap version 1.10.", 21) == 0;
    if (!checked_libpcap || std::strcmp(filename, "-") == 0)
        return nullptr;
    // libpcap opens with fopen(filename, "rb"); a failure here fails there
    // too, with libpcap's own words.
    int fd = open(filename, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    auto *stream = new (std::nothrow) CaptureStream{fd};
    FILE *file = nullptr;
    if (stream != nullptr) {
        file = fopencookie(stream, "rb", {capture_stream_read, nullptr, nullptr, capture_stream_close});
        try {
            if (file != nullptr)
                capture_streams.emplace(file, stream);
        } catch (const std::exception &) {
            fclose(file);  // closes fd and frees stream
            return nullptr;
        }
    }
    if (file == nullptr) {
        delete stream;
        close(fd);
        return nullptr;
    }
    stream->file = file;
    // Freed with the stream by capture_stream_close; stdio frees no buffer
    // it was given.
    setvbuf(file, stream->buffer, _IOFBF, sizeof stream->buffer);
    return file;
}

static CaptureStream *find_capture_stream(pcap_t *handle)
{
    FILE *file = pcap_file(handle);
    auto found = file != nullptr ? capture_streams.find(file) : capture_streams.end();
    return found != capture_streams.end() ? found->second : nullptr;
}
#else
static FILE *open_capture_stream(const char *)
{
    return nullptr;
}

static CaptureStream *find_capture_stream(pcap_t *)
{
    return nullptr;
}
#endif

pcap_t *open_capture_file(const char *filename, char *errbuf)
{
    if (FILE *file = open_capture_stream(filename)) {
        pcap_t *handle = pcap_fopen_offline(file, errbuf);
        if (handle == nullptr)
            fclose(file);
        return handle;
    }
    return pcap_open_offline(filename, errbuf);
}

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

// A read that failed because a signal handler raised inside the stream: the
// handler's exception is the result, and the stream may be read again.
static bool raised_in_stream(const HandleState *state)
{
    if (state->stream == nullptr || !PyErr_Occurred())
        return false;
    clearerr(state->stream->file);
    return true;
}

// ---------------------------------------------------------------------------

enum class Access {
    read,   // next, loop, dispatch
    change, // anything else that hands the handle to libpcap
};

// The Reader's record, or null with PcapError set when the operation would
// run libpcap on the handle beside a read that is in progress. A read may go
// on in the thread that runs it only from the callable of a loop over a
// capture file: a live read hands ring blocks back to the kernel that the
// outer read still walks.
static HandleState *claim(ReaderObject *reader, Access access)
{
    HandleState *state = find_state(reader);
    if (state == nullptr) {
        PyErr_SetString(PcapError, "Reader has no capture handle");
        return nullptr;
    }
    if (state->depth == 0)
        return state;
    if (!pthread_equal(state->reading, pthread_self())) {
        PyErr_SetString(PcapError, "a read is in progress on this Reader in another thread");
        return nullptr;
    }
    if (access == Access::read && pcap_file(state->handle) == nullptr) {
        PyErr_SetString(PcapError,
                        "a read is in progress on this Reader: a live capture cannot be read from its own callable");
        return nullptr;
    }
    // A signal handler run from inside the stream, in the middle of a fread().
    if (access == Access::read && state->stream != nullptr && state->stream->running_handlers) {
        PyErr_SetString(PcapError, "a read is in progress on this Reader: it cannot be read from a signal handler");
        return nullptr;
    }
    return state;
}

// The test every method but close and __exit__ begins with.
static ReaderObject *reader_guard(PyObject *self)
{
    if (self == nullptr || Py_TYPE(self) != &Pcaptype) {
        PyErr_SetString(PcapError, "Not a pcap object");
        return nullptr;
    }
    ReaderObject *reader = reinterpret_cast<ReaderObject *>(self);
    if (reader->pcap == nullptr) {
        PyErr_SetString(PyExc_ValueError, "pcap is closed");
        return nullptr;
    }
    return reader;
}

// After argument parsing, which can run Python code (an __index__ method, a
// buffer export) that closes the Reader or starts a read on it: the guard
// once more, then the claim.
static HandleState *claim_parsed(PyObject *self, Access access)
{
    ReaderObject *reader = reader_guard(self);
    return reader == nullptr ? nullptr : claim(reader, access);
}

// libpcap's text for a status that means nothing was done.
static PyObject *raise_status(int status)
{
    PyErr_SetString(PcapError, pcap_statustostr(status));
    return nullptr;
}

// ---------------------------------------------------------------------------

PyObject *new_pcapobject(pcap_t *handle, unsigned int net, unsigned int mask)
{
    static const bool fork_handler = pthread_atfork(nullptr, nullptr, forget_reads_after_fork) == 0;
    (void)fork_handler;
    if (ready_type(&Pcaptype) < 0)
        return nullptr;
    ReaderObject *reader = PyObject_New(ReaderObject, &Pcaptype);
    if (reader == nullptr)
        return nullptr;
    HandleState *state;
    try {
        state = &handle_states.insert_or_assign(reader, HandleState{handle}).first->second;
    } catch (const std::exception &) {
        PyObject_Free(reader);
        return PyErr_NoMemory();
    }
    if (pcap_file(handle) != nullptr)
        state->stream = find_capture_stream(handle);
    else if (pcap_datalink(handle) != PCAP_ERROR_NOT_ACTIVATED)
        take_over_waiting(state);
    reader->pcap = handle;
    reader->net = net;
    reader->mask = mask;
    return reinterpret_cast<PyObject *>(reader);
}

void reader_set_read_timeout(PyObject *reader, int to_ms)
{
    if (HandleState *state = find_state(reinterpret_cast<ReaderObject *>(reader)))
        state->timeout_ms = to_ms;
}

// Detaches the handle from the Reader. It is released now, or by the read
// still running on it when that read ends.
static void reader_release(ReaderObject *reader)
{
    pcap_t *handle = reader->pcap;
    reader->pcap = nullptr;
    HandleState *state = find_state(reader);
    if (state == nullptr) {
        if (handle != nullptr)
            pcap_close(handle);
        return;
    }
    if (state->depth > 0) {
        pcap_breakloop(state->handle);
        wake_reader(state);
    } else {
        release_handle(reader, state);
    }
}

static void reader_dealloc(PyObject *self)
{
    reader_release(reinterpret_cast<ReaderObject *>(self));
    PyObject_Free(self);
}

// The packet pair (header, data) as a new tuple: the object that
// Py_BuildValue("(Oy#)") makes, built directly since it is made per packet.
static PyObject *packet_pair(PyObject *header, const u_char *data, Py_ssize_t length)
{
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data), length));
    if (!bytes)
        return nullptr;
    PyObject *pair = PyTuple_New(2);
    if (pair == nullptr)
        return nullptr;
    PyTuple_SET_ITEM(pair, 0, Py_NewRef(header));
    PyTuple_SET_ITEM(pair, 1, bytes.release());
    return pair;
}

static PyObject *raise_pcap_error(pcap_t *handle)
{
    PyErr_SetString(PcapError, pcap_geterr(handle));
    return nullptr;
}

PyDoc_STRVAR(next_doc, "returns next packet");
static PyObject *reader_next(PyObject *self, PyObject *)
{
    ReaderObject *reader = reader_guard(self);
    if (reader == nullptr)
        return nullptr;
    HandleState *state = claim(reader, Access::read);
    if (state == nullptr)
        return nullptr;

    ReadScope scope(reader, state);
    pcap_pkthdr *hdr = nullptr;
    const u_char *data = nullptr;
    int status;
    if (state->stream != nullptr) {
        StreamUnlocked unlocked(state->stream);
        status = pcap_next_ex(scope.handle(), &hdr, &data);
        if (status == PCAP_ERROR && raised_in_stream(state))
            return nullptr;
    } else {
        LiveWait live(state, false);
        PyThreadState *thread_state = PyEval_SaveThread();
        status = pcap_next_ex(scope.handle(), &hdr, &data);
        Waited waited = Waited::ready;
        while (status == 0 && live.waits() && (waited = live.wait(thread_state)) == Waited::ready)
            status = pcap_next_ex(scope.handle(), &hdr, &data);
        PyEval_RestoreThread(thread_state);
        if (waited == Waited::raised)
            return nullptr;
    }

    if (status == PCAP_ERROR)
        return raise_pcap_error(scope.handle());
    Ref header;
    Py_ssize_t length = 0;
    if (status == 1) {
        header = Ref::steal(new_pcap_pkthdr(hdr));
        if (!header) {
            PyErr_SetString(PcapError, "Can't build pkthdr");
            return nullptr;
        }
        length = hdr->caplen;
    } else {
        // Timeout, end of file, or a handle that cannot read (not activated):
        // no packet, and the data is empty bytes, never None.
        header = Ref::borrow(Py_None);
        data = reinterpret_cast<const u_char *>("");
    }
    return packet_pair(header.get(), data, length);
}

// ---------------------------------------------------------------------------
// Callback capture.

// What one loop() or dispatch() call hands to the packet callback through
// libpcap. It lives on the method's stack and never outlives the call.
struct PcapCallbackContext {
    PcapCallbackContext(pcap_t *handle, PyObject *callable, PyThreadState *state)
        : pcap(handle), callback(Ref::borrow(callable)), thread_state(state)
    {
    }
    PcapCallbackContext(const PcapCallbackContext &) = delete;
    PcapCallbackContext &operator=(const PcapCallbackContext &) = delete;

    pcap_t *pcap;                // the Reader's handle, not owned
    Ref callback;                // the Python callable
    PyThreadState *thread_state; // the calling thread's state, taken with the lock held
    int delivered = 0;           // packets the callable returned from
    bool failed = false;         // an exception is pending and the capture was broken off
};

// Hands one packet to the callable. Called with the interpreter lock held.
static void deliver_packet(PcapCallbackContext &ctx, const pcap_pkthdr *hdr, const u_char *bytes)
{
    Ref header = Ref::steal(new_pcap_pkthdr(hdr));
    Ref data;
    if (header)
        data = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(bytes), hdr->caplen));
    Ref result;
    if (data) {
        // A vector call, with the slot before the arguments free for the
        // callee's own use (a bound method puts its receiver there).
        PyObject *argv[] = {nullptr, header.get(), data.get()};
        result = Ref::steal(
            PyObject_Vectorcall(ctx.callback.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
    if (!result) {
        // The exception stays set for the method to return.
        ctx.failed = true;
        pcap_breakloop(ctx.pcap);
        return;
    }
    ++ctx.delivered;
}

// libpcap's per-packet callback: runs without the interpreter lock and takes
// it only while the packet is with Python.
static void packet_callback(u_char *user, const pcap_pkthdr *hdr, const u_char *bytes)
{
    PcapCallbackContext &ctx = *reinterpret_cast<PcapCallbackContext *>(user);
    PyEval_RestoreThread(ctx.thread_state);
    // Once the capture has been broken off nothing more is delivered: the
    // callable is never called with an exception pending.
    if (!ctx.failed)
        deliver_packet(ctx, hdr, bytes);
    PyEval_SaveThread();
}

// The same, for a capture that holds the lock throughout.
static void locked_packet_callback(u_char *user, const pcap_pkthdr *hdr, const u_char *bytes)
{
    PcapCallbackContext &ctx = *reinterpret_cast<PcapCallbackContext *>(user);
    if (!ctx.failed)
        deliver_packet(ctx, hdr, bytes);
}

static void discard_packet(u_char *, const pcap_pkthdr *, const u_char *)
{
}

// libpcap 1.10 leaves a break request set when a capture file's read returns
// a count after the callback broke it (pcap_dispatch, or pcap_loop whose count
// ran out on that packet); the next read on the handle would then stop at
// once. A read with the request set only clears it and returns -2, touching
// no packet, so one read clears it here. Live handles clear the request
// themselves before they return.
static void clear_break_request(pcap_t *handle)
{
    if (pcap_file(handle) != nullptr)
        pcap_dispatch(handle, 1, discard_packet, nullptr);
}

// A capture on a live handle whose waiting the module took over: libpcap's
// non-blocking dispatch, over and over, with the module's waits between.
// dispatch() ends once it has delivered packets or its timeout passed;
// loop() once count packets have come. Runs without the interpreter lock.
static int capture_live(PcapCallbackContext &ctx, LiveWait &live, int count, bool loop)
{
    u_char *user = reinterpret_cast<u_char *>(&ctx);
    int left = count;
    for (;;) {
        int delivered = pcap_dispatch(ctx.pcap, left, packet_callback, user);
        if (delivered < 0 || ctx.failed)
            return delivered;
        if (loop) {
            if (count > 0 && (left -= delivered) <= 0)
                return 0;
            if (delivered > 0)
                continue;
        } else if (delivered > 0 || !live.waits()) {
            return delivered;
        }
        switch (live.wait(ctx.thread_state)) {
        case Waited::ready:
            break;
        case Waited::timed_out:
            return 0;
        case Waited::woken:
            return PCAP_ERROR_BREAK;
        case Waited::raised:
            ctx.failed = true;
            return PCAP_ERROR_BREAK;
        }
    }
}

static PyObject *reader_capture(PyObject *self, PyObject *args, const char *format, bool loop)
{
    ReaderObject *reader = reader_guard(self);
    if (reader == nullptr)
        return nullptr;
    int count;
    PyObject *callable;
    if (!PyArg_ParseTuple(args, format, &count, &callable))
        return nullptr;
    HandleState *state = claim_parsed(self, Access::read);
    if (state == nullptr)
        return nullptr;

    ReadScope scope(reader, state);
    PcapCallbackContext ctx(scope.handle(), callable, PyThreadState_Get());
    u_char *user = reinterpret_cast<u_char *>(&ctx);
    int status;
    if (state->stream != nullptr) {
        StreamUnlocked unlocked(state->stream);
        status = loop ? pcap_loop(ctx.pcap, count, locked_packet_callback, user)
                      : pcap_dispatch(ctx.pcap, count, locked_packet_callback, user);
        if (status == PCAP_ERROR && raised_in_stream(state))
            return nullptr;
    } else {
        LiveWait live(state, loop);
        bool module_waits = state->wake_fd >= 0;
        PyEval_SaveThread();
        if (module_waits)
            status = capture_live(ctx, live, count, loop);
        else if (loop)
            status = pcap_loop(ctx.pcap, count, packet_callback, user);
        else
            status = pcap_dispatch(ctx.pcap, count, packet_callback, user);
        PyEval_RestoreThread(ctx.thread_state);
    }

    if (ctx.failed) {
        if (status >= 0 && reader->pcap != nullptr)
            clear_break_request(ctx.pcap);
        return nullptr;
    }
    if (status == PCAP_ERROR_BREAK) {
        // Broken off by close() with no exception behind it: the packets
        // delivered so far are the result.
        status = ctx.delivered;
    } else if (status < 0) {
        return raise_pcap_error(ctx.pcap);
    }
    if (loop)
        Py_RETURN_NONE;
    return PyLong_FromLong(status);
}

PyDoc_STRVAR(loop_doc, "loops packet dispatching");
static PyObject *reader_loop(PyObject *self, PyObject *args)
{
    return reader_capture(self, args, "iO:loop", true);
}

PyDoc_STRVAR(dispatch_doc, "dispatchs packets");
static PyObject *reader_dispatch(PyObject *self, PyObject *args)
{
    return reader_capture(self, args, "iO:dispatch", false);
}

// ---------------------------------------------------------------------------

PyDoc_STRVAR(setfilter_doc, "compiles and sets a BPF capture filter");
static PyObject *reader_setfilter(PyObject *self, PyObject *args)
{
    ReaderObject *reader = reader_guard(self);
    if (reader == nullptr)
        return nullptr;
    const char *expression;
    if (!PyArg_ParseTuple(args, "s:setfilter", &expression) || claim(reader, Access::change) == nullptr)
        return nullptr;
    bpf_program program;
    std::optional<int> compiled = run_filter_compiler(
        expression, [&] { return pcap_compile(reader->pcap, &program, expression, 1, reader->mask); });
    if (!compiled)
        return nullptr;
    if (*compiled != 0)
        return raise_pcap_error(reader->pcap);
    int status = pcap_setfilter(reader->pcap, &program);
    // libpcap keeps its own copy of an installed program.
    pcap_freecode(&program);
    if (status != 0)
        return raise_pcap_error(reader->pcap);
    Py_RETURN_NONE;
}

PyDoc_STRVAR(dump_open_doc, "creates a dumper object");
static PyObject *reader_dump_open(PyObject *self, PyObject *args)
{
    ReaderObject *reader = reader_guard(self);
    if (reader == nullptr)
        return nullptr;
    const char *filename;
    if (!PyArg_ParseTuple(args, "s", &filename) || claim(reader, Access::change) == nullptr)
        return nullptr;
    return dumper_open(reader->pcap, filename);
}

PyDoc_STRVAR(close_doc, "close the capture");
// close() and __exit__(*args): no receiver test and no guard; closing a closed
// Reader does nothing.
static PyObject *reader_close(PyObject *self, PyObject *)
{
    reader_release(reinterpret_cast<ReaderObject *>(self));
    Py_RETURN_NONE;
}

static PyObject *reader_enter(PyObject *self, PyObject *)
{
    if (reader_guard(self) == nullptr)
        return nullptr;
    return Py_NewRef(self);
}

// ---------------------------------------------------------------------------
// Handle queries, controls and injection.

// The stored network-order value as text, its bytes in memory order.
static PyObject *dotted_quad(unsigned int field)
{
    uint32_t v = ntohl(field);
    char text[20];
    snprintf(text, sizeof text, "%i.%i.%i.%i", static_cast<int>((v >> 24) & 255), static_cast<int>((v >> 16) & 255),
             static_cast<int>((v >> 8) & 255), static_cast<int>(v & 255));
    return Py_BuildValue("s", text);
}

PyDoc_STRVAR(getnet_doc, "returns the network address for the device");
static PyObject *reader_getnet(PyObject *self, PyObject *)
{
    ReaderObject *reader = reader_guard(self);
    if (reader == nullptr)
        return nullptr;
    return dotted_quad(reader->net);
}

PyDoc_STRVAR(getmask_doc, "returns the netmask for the device");
static PyObject *reader_getmask(PyObject *self, PyObject *)
{
    ReaderObject *reader = reader_guard(self);
    if (reader == nullptr)
        return nullptr;
    return dotted_quad(reader->mask);
}

PyDoc_STRVAR(datalink_doc, "returns the link layer type");
static PyObject *reader_datalink(PyObject *self, PyObject *)
{
    ReaderObject *reader = reader_guard(self);
    if (reader == nullptr)
        return nullptr;
    return Py_BuildValue("i", pcap_datalink(reader->pcap));
}

PyDoc_STRVAR(getnonblock_doc, "returns the current `non-blocking' state");
static PyObject *reader_getnonblock(PyObject *self, PyObject *)
{
    ReaderObject *reader = reader_guard(self);
    if (reader == nullptr)
        return nullptr;
    // libpcap's own mode is the module's business once it does the waiting.
    const HandleState *state = find_state(reader);
    if (state != nullptr && state->wake_fd >= 0)
        return PyLong_FromLong(state->nonblock);
    char errbuf[PCAP_ERRBUF_SIZE];
    errbuf[0] = '\0';
    int status = pcap_getnonblock(reader->pcap, errbuf);
    if (status == PCAP_ERROR) {
        PyErr_SetString(PcapError, errbuf);
        return nullptr;
    }
    // A handle that is not activated answers with a status, not a mode.
    if (status < 0)
        return raise_status(status);
    return Py_BuildValue("i", status);
}

PyDoc_STRVAR(setnonblock_doc, "puts into `non-blocking' mode, or take it out, depending on the argument");
static PyObject *reader_setnonblock(PyObject *self, PyObject *args)
{
    ReaderObject *reader = reader_guard(self);
    if (reader == nullptr)
        return nullptr;
    int mode;
    if (!PyArg_ParseTuple(args, "i", &mode))
        return nullptr;
    HandleState *state = claim_parsed(self, Access::change);
    if (state == nullptr)
        return nullptr;
    if (state->wake_fd >= 0) {
        // The reads honour the mode; the socket takes it for sending, as
        // libpcap would set it.
        if (set_fd_nonblock(pcap_get_selectable_fd(state->handle), mode != 0) != 0) {
            PyErr_SetFromErrno(PcapError);
            return nullptr;
        }
        state->nonblock = mode != 0;
        Py_RETURN_NONE;
    }
    char errbuf[PCAP_ERRBUF_SIZE];
    errbuf[0] = '\0';
    int status = pcap_setnonblock(reader->pcap, mode, errbuf);
    if (status == PCAP_ERROR) {
        PyErr_SetString(PcapError, errbuf);
        return nullptr;
    }
    if (status < 0)
        return raise_status(status);
    Py_RETURN_NONE;
}

PyDoc_STRVAR(setdirection_doc, "set the direction for which packets will be captured");
static PyObject *reader_setdirection(PyObject *self, PyObject *args)
{
    ReaderObject *reader = reader_guard(self);
    if (reader == nullptr)
        return nullptr;
    int direction;
    if (!PyArg_ParseTuple(args, "i", &direction) || claim_parsed(self, Access::change) == nullptr)
        return nullptr;
    int status = pcap_setdirection(reader->pcap, static_cast<pcap_direction_t>(direction));
    if (status == PCAP_ERROR) {
        PyErr_SetString(PcapError, "Failed setting direction");
        return nullptr;
    }
    // libpcap answers -3 before activation, having set nothing: the capture
    // would record both directions.
    if (status < 0)
        return raise_status(status);
    Py_RETURN_NONE;
}

PyDoc_STRVAR(sendpacket_doc, "sends a packet through the interface");
static PyObject *reader_sendpacket(PyObject *self, PyObject *args)
{
    ReaderObject *reader = reader_guard(self);
    if (reader == nullptr)
        return nullptr;
    const char *frame;
    Py_ssize_t length;
    if (!PyArg_ParseTuple(args, "y#", &frame, &length) || claim_parsed(self, Access::change) == nullptr)
        return nullptr;
    // libpcap counts the bytes in an int; a longer frame would be sent cut to
    // whatever its wrapped length happens to be.
    if (length > INT_MAX) {
        PyErr_Format(PcapError, "frame of %zd bytes is too long to send (at most %d)", length, INT_MAX);
        return nullptr;
    }
    if (pcap_sendpacket(reader->pcap, reinterpret_cast<const u_char *>(frame), static_cast<int>(length)) != 0)
        return raise_pcap_error(reader->pcap);
    // libpcap 1.10.3 reports success for a handle that is not activated,
    // although it sent nothing.
    if (pcap_datalink(reader->pcap) == PCAP_ERROR_NOT_ACTIVATED)
        return raise_status(PCAP_ERROR_NOT_ACTIVATED);
    Py_RETURN_NONE;
}

PyDoc_STRVAR(stats_doc, "returns capture statistics");
static PyObject *reader_stats(PyObject *self, PyObject *)
{
    ReaderObject *reader = reader_guard(self);
    if (reader == nullptr)
        return nullptr;
    // On a live handle the counters are the kernel's and a read never
    // touches them; a capture file has none, and saying so writes the error
    // text that a running read may be about to report.
    if (pcap_file(reader->pcap) != nullptr && claim(reader, Access::change) == nullptr)
        return nullptr;
    pcap_stat counters;
    if (pcap_stats(reader->pcap, &counters) != 0)
        return raise_pcap_error(reader->pcap);
    return Py_BuildValue("III", counters.ps_recv, counters.ps_drop, counters.ps_ifdrop);
}

PyDoc_STRVAR(getfd_doc, "get selectable pcap fd");
static PyObject *reader_getfd(PyObject *self, PyObject *)
{
    ReaderObject *reader = reader_guard(self);
    if (reader == nullptr)
        return nullptr;
    // libpcap gives the descriptor of its own stream; the module's stream
    // has none of its own (fopencookie), so the file's is given instead.
    const HandleState *state = find_state(reader);
    if (state != nullptr && state->stream != nullptr)
        return PyLong_FromLong(state->stream->fd);
    return Py_BuildValue("i", pcap_get_selectable_fd(reader->pcap));
}

// ---------------------------------------------------------------------------
// Settings before activation. libpcap's status, whatever it is, is the result:
// judging it is the caller's business.

static PyObject *reader_setting(PyObject *self, PyObject *args, int (*set)(pcap_t *, int))
{
    ReaderObject *reader = reader_guard(self);
    if (reader == nullptr)
        return nullptr;
    int value;
    if (!PyArg_ParseTuple(args, "i", &value))
        return nullptr;
    HandleState *state = claim_parsed(self, Access::change);
    if (state == nullptr)
        return nullptr;
    int status = set(state->handle, value);
    // libpcap does not tell the timeout back; the module's waits need it.
    if (set == pcap_set_timeout && status == 0)
        state->timeout_ms = value;
    return Py_BuildValue("i", status);
}

PyDoc_STRVAR(set_snaplen_doc, "set the snapshot length for a not-yet-activated capture handle");
static PyObject *reader_set_snaplen(PyObject *self, PyObject *args)
{
    return reader_setting(self, args, pcap_set_snaplen);
}

PyDoc_STRVAR(set_promisc_doc, "set promiscuous mode for a not-yet-activated capture handle");
static PyObject *reader_set_promisc(PyObject *self, PyObject *args)
{
    return reader_setting(self, args, pcap_set_promisc);
}

PyDoc_STRVAR(set_timeout_doc, "set the read timeout for a not-yet-activated capture handle");
static PyObject *reader_set_timeout(PyObject *self, PyObject *args)
{
    return reader_setting(self, args, pcap_set_timeout);
}

PyDoc_STRVAR(set_buffer_size_doc, "set the buffer size for a not-yet-activated capture handle");
static PyObject *reader_set_buffer_size(PyObject *self, PyObject *args)
{
    return reader_setting(self, args, pcap_set_buffer_size);
}

PyDoc_STRVAR(set_rfmon_doc, "set monitor mode for a not-yet-activated capture handle");
static PyObject *reader_set_rfmon(PyObject *self, PyObject *args)
{
    return reader_setting(self, args, pcap_set_rfmon);
}

PyDoc_STRVAR(activate_doc, "activate a capture handle created using create()");
static PyObject *reader_activate(PyObject *self, PyObject *)
{
    ReaderObject *reader = reader_guard(self);
    if (reader == nullptr)
        return nullptr;
    HandleState *state = claim(reader, Access::change);
    if (state == nullptr)
        return nullptr;
    // libpcap 1.10.3 crashes when pcap_activate runs again on a handle whose
    // activation failed: the failure is answered from memory instead.
    if (state->failed_activation != 0)
        return Py_BuildValue("i", state->failed_activation);
    int status = pcap_activate(state->handle);
    if (status < 0 && status != PCAP_ERROR_ACTIVATED)
        state->failed_activation = status;
    else if (status >= 0)
        take_over_waiting(state);
    return Py_BuildValue("i", status);
}

static PyMethodDef reader_methods[] = {
    {"loop", reader_loop, METH_VARARGS, loop_doc},
    {"dispatch", reader_dispatch, METH_VARARGS, dispatch_doc},
    {"next", reader_next, METH_NOARGS, next_doc},
    {"setfilter", reader_setfilter, METH_VARARGS, setfilter_doc},
    {"getnet", reader_getnet, METH_VARARGS, getnet_doc},
    {"getmask", reader_getmask, METH_VARARGS, getmask_doc},
    {"datalink", reader_datalink, METH_VARARGS, datalink_doc},
    {"getnonblock", reader_getnonblock, METH_VARARGS, getnonblock_doc},
    {"setnonblock", reader_setnonblock, METH_VARARGS, setnonblock_doc},
    {"setdirection", reader_setdirection, METH_VARARGS, setdirection_doc},
    {"dump_open", reader_dump_open, METH_VARARGS, dump_open_doc},
    {"sendpacket", reader_sendpacket, METH_VARARGS, sendpacket_doc},
    {"stats", reader_stats, METH_NOARGS, stats_doc},
    {"close", reader_close, METH_NOARGS, close_doc},
    {"set_snaplen", reader_set_snaplen, METH_VARARGS, set_snaplen_doc},
    {"set_promisc", reader_set_promisc, METH_VARARGS, set_promisc_doc},
    {"set_timeout", reader_set_timeout, METH_VARARGS, set_timeout_doc},
    {"set_buffer_size", reader_set_buffer_size, METH_VARARGS, set_buffer_size_doc},
    {"activate", reader_activate, METH_NOARGS, activate_doc},
    {"__enter__", reader_enter, METH_NOARGS, nullptr},
    {"__exit__", reader_close, METH_VARARGS, nullptr},
    {"getfd", reader_getfd, METH_VARARGS, getfd_doc},
    {"set_rfmon", reader_set_rfmon, METH_VARARGS, set_rfmon_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject Pcaptype = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Reader",
    .tp_basicsize = sizeof(ReaderObject),
    .tp_itemsize = 0,
    .tp_dealloc = reader_dealloc,
    .tp_getattr = wirelet_getattr,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_methods = reader_methods,
};
