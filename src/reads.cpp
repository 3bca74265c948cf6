// The reads of a Reader: next(), iteration, loop() and dispatch(), and
// breakloop(), which ends them.
//
// A read holds the interpreter lock while libpcap cannot wait: on a capture
// file through the module's stream (stream.h), which gives it up only to
// refill its buffer, and on a live capture whose waiting the module took
// over (live_wait.h), where libpcap's handle is non-blocking and the lock is
// given up only in the module's poll(). Other handles are read without the
// lock, which the packet callback takes back for each packet.
#include "reads.h"

#include <ctime>

#include "handle.h"
#include "live_wait.h"
#include "module.h"
#include "pkthdr.h"
#include "reader.h"
#include "stream.h"

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

// The header of a packet next() or iteration hands over, in the handle's
// unit; empty with PcapError set when it cannot be made.
static inline Ref packet_header(const HandleState *state, const pcap_pkthdr *hdr)
{
    Ref header = Ref::steal(new_pkthdr(hdr, state->ts_form));
    if (!header)
        PyErr_SetString(PcapError, "Can't build pkthdr");
    return header;
}

// One packet for next() and iteration: 1 with hdr and data set; 0 for none
// (the read timeout passed, the end of the file, breakloop() or close());
// -1 with an exception set. across_timeouts: a live read waits until a
// packet comes or the read is broken off, as loop() does.
static inline int read_packet(HandleState *state, bool across_timeouts, pcap_pkthdr **hdr, const u_char **data)
{
    if (take_break_request(state))
        return 0;
    pcap_t *handle = state->handle;
    int status;
    if (state->stream != nullptr) {
        begin_stream_read(state->stream);
        status = pcap_next_ex(handle, hdr, data);
        if (status == PCAP_ERROR) {
            StreamFailure failure = end_failed_read(state->stream);
            if (failure == StreamFailure::raised)
                return -1;
            // Closed or broken off meanwhile, or a file object with no data
            // yet: no packet.
            if (failure != StreamFailure::none)
                status = 0;
        }
    } else if (state->wake_fd >= 0) {
        // libpcap's handle is non-blocking and never waits: the lock is kept
        // but in the module's own wait.
        LiveWait live(state, across_timeouts);
        status = pcap_next_ex(handle, hdr, data);
        if (nothing_to_read(state, status))
            status = 0;
        while (status == 0 && live.waits()) {
            Waited waited = live.wait();
            if (waited == Waited::raised)
                return -1;
            if (waited != Waited::ready)
                break;
            status = pcap_next_ex(handle, hdr, data);
            if (nothing_to_read(state, status))
                status = 0;
        }
    } else {
        // libpcap waits: without the lock, a timeout at a time.
        for (;;) {
            Py_BEGIN_ALLOW_THREADS
            status = pcap_next_ex(handle, hdr, data);
            Py_END_ALLOW_THREADS
            if (status != 0 || !across_timeouts || state->closed || state->break_requested)
                break;
            if (PyErr_CheckSignals() < 0)
                return -1;
        }
    }
    if (status == 1)
        return 1;
    // A request that ended this read is spent.
    take_break_request(state);
    if (status == PCAP_ERROR) {
        PyErr_SetString(PcapError, pcap_geterr(handle));
        return -1;
    }
    return 0;
}

const char next_doc[] = "returns next packet";
PyObject *reader_next(PyObject *self, PyObject *)
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
    int status = read_packet(state, false, &hdr, &data);
    if (status < 0)
        return nullptr;
    if (status == 0) {
        // Timeout, end of file, a read broken off, or a handle that cannot
        // read (not activated): no packet, and the data is empty bytes,
        // never None.
        return packet_pair(Py_None, reinterpret_cast<const u_char *>(""), 0);
    }
    Ref header = packet_header(state, hdr);
    if (!header)
        return nullptr;
    return packet_pair(header.get(), data, hdr->caplen);
}

// iter(reader) is the Reader; a closed one cannot start an iteration.
PyObject *reader_iter(PyObject *self)
{
    if (reader_guard(self) == nullptr)
        return nullptr;
    return Py_NewRef(self);
}

// The pair (header, data) of one step of an iteration. A for statement
// drops each pair as it unpacks it: the last one, once nobody else holds it,
// is refilled instead of freed and made anew, as zip() does. Its items are
// never containers, so the collector has nothing to track in it.
static PyObject *iteration_pair(HandleState *state, const pcap_pkthdr *hdr, const u_char *data)
{
    Ref header = packet_header(state, hdr);
    if (!header)
        return nullptr;
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data), hdr->caplen));
    if (!bytes)
        return nullptr;
    PyObject *pair = state->pair;
    if (pair != nullptr && Py_REFCNT(pair) == 1) {
        Ref old_header = Ref::steal(PyTuple_GET_ITEM(pair, 0));
        Ref old_data = Ref::steal(PyTuple_GET_ITEM(pair, 1));
        PyTuple_SET_ITEM(pair, 0, header.release());
        PyTuple_SET_ITEM(pair, 1, bytes.release());
        return Py_NewRef(pair);
    }
    pair = PyTuple_New(2);
    if (pair == nullptr)
        return nullptr;
    PyTuple_SET_ITEM(pair, 0, header.release());
    PyTuple_SET_ITEM(pair, 1, bytes.release());
    Py_XDECREF(state->pair);
    state->pair = Py_NewRef(pair);
    return pair;
}

// The pairs next() returns, until the end of the file, breakloop() or
// close(); a live capture waits across its read timeouts.
PyObject *reader_iternext(PyObject *self)
{
    ReaderObject *reader = reinterpret_cast<ReaderObject *>(self);
    if (reader->pcap == nullptr)
        return nullptr;
    HandleState *state = claim(reader, Access::read);
    if (state == nullptr)
        return nullptr;

    ReadScope scope(reader, state);
    pcap_pkthdr *hdr = nullptr;
    const u_char *data = nullptr;
    // Waiting across timeouts concerns only live reads: a file read never
    // times out.
    if (read_packet(state, true, &hdr, &data) <= 0)
        return nullptr;
    return iteration_pair(state, hdr, data);
}

const char breakloop_doc[] = "stops the running read, or the next one";
// A control like close(): allowed beside a read in another thread, from
// the read's own callable and from a signal handler.
PyObject *reader_breakloop(PyObject *self, PyObject *)
{
    ReaderObject *reader = reader_guard(self);
    if (reader == nullptr)
        return nullptr;
    HandleState *state = find_handle_state(reader);
    if (state == nullptr) {
        PyErr_SetString(PcapError, "Reader has no capture handle");
        return nullptr;
    }
    state->break_requested = true;
    if (state->wake_fd >= 0) {
        wake_reader(state);
    } else if (state->stream != nullptr) {
        // A pipe or a FIFO that a read waits for.
        if (state->depth > 0)
            wake_stream(state->stream);
    } else if (state->depth > 0 && pcap_file(state->handle) == nullptr) {
        // libpcap's own wait, in another thread: its request ends it. The
        // reads of files and the callbacks pass the module's request on
        // between packets.
        pcap_breakloop(state->handle);
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Callback capture.

// What one loop() or dispatch() call hands to the packet callback through
// libpcap. It lives on the method's stack and never outlives the call.
struct PcapCallbackContext {
    PcapCallbackContext(HandleState *handle_state, PyObject *callable, PyThreadState *state)
        : pcap(handle_state->handle), record(handle_state), ts_form(handle_state->ts_form),
          callback(Ref::borrow(callable)), thread_state(state)
    {
    }
    PcapCallbackContext(const PcapCallbackContext &) = delete;
    PcapCallbackContext &operator=(const PcapCallbackContext &) = delete;

    pcap_t *pcap;                // the Reader's handle, not owned
    HandleState *record;         // its record, for breakloop() requests
    unsigned char ts_form;       // how the handle's timestamps read (TS_ in pkthdr.h)
    Ref callback;                // the Python callable
    PyThreadState *thread_state; // the calling thread's state, taken with the lock held
    int delivered = 0;           // packets the callable returned from
    unsigned since_check = 0;    // packets since the signal handlers last ran
    long long next_offer_ns = 0; // when to give the lock up next, once known
    bool failed = false;         // an exception is pending and the capture was broken off
    bool broken = false;         // breakloop() broke the capture off
};

// Hands one packet to the callable. Called with the interpreter lock held.
static void deliver_packet(PcapCallbackContext &ctx, const pcap_pkthdr *hdr, const u_char *bytes)
{
    Ref header = Ref::steal(new_pkthdr(hdr, ctx.ts_form));
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
    // breakloop() from the callable, a signal handler it ran or another
    // thread while it ran: libpcap stops after this packet.
    if (ctx.record->break_requested && !ctx.broken) {
        ctx.broken = true;
        pcap_breakloop(ctx.pcap);
    }
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

static long long monotonic_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// Twice the interpreter's switch interval, in nanoseconds.
static long long twice_the_switch_interval()
{
    double seconds = 0.005;
    Ref result;
    if (PyObject *get = PySys_GetObject("getswitchinterval"))
        result = Ref::steal(PyObject_CallNoArgs(get));
    if (result && PyFloat_Check(result.get()))
        seconds = PyFloat_AS_DOUBLE(result.get());
    PyErr_Clear();
    return static_cast<long long>(2e9 * (seconds < 1.0 ? seconds : 1.0));
}

// A live capture can walk a whole ring in one dispatch, and a callable that
// runs no Python code (a function written in C) never lets another thread
// run or a signal handler act. So every so many packets the handlers run,
// and the lock is given up once twice the switch interval has passed since
// the read began or last gave it up: a thread waiting for the lock asks for it only
// after one interval without a release, and each release starts its wait
// afresh, so giving it up more often would starve that thread instead.
static void serve_others(PcapCallbackContext &ctx)
{
    long long now = monotonic_ns();
    if (ctx.next_offer_ns == 0) {
        ctx.next_offer_ns = now + twice_the_switch_interval();
    } else if (now >= ctx.next_offer_ns) {
        Py_BEGIN_ALLOW_THREADS
        Py_END_ALLOW_THREADS
        ctx.next_offer_ns = monotonic_ns() + twice_the_switch_interval();
    }
    if (PyErr_CheckSignals() < 0) {
        ctx.failed = true;
        pcap_breakloop(ctx.pcap);
    }
}

// The packet callback of a live capture, which holds the lock throughout.
static void live_packet_callback(u_char *user, const pcap_pkthdr *hdr, const u_char *bytes)
{
    PcapCallbackContext &ctx = *reinterpret_cast<PcapCallbackContext *>(user);
    if (ctx.failed)
        return;
    deliver_packet(ctx, hdr, bytes);
    if (++ctx.since_check >= 1024 && !ctx.failed) {
        ctx.since_check = 0;
        serve_others(ctx);
    }
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
// loop() once count packets have come. Runs with the interpreter lock.
static int capture_live(PcapCallbackContext &ctx, LiveWait &live, int count, bool loop)
{
    u_char *user = reinterpret_cast<u_char *>(&ctx);
    int left = count;
    for (;;) {
        int delivered = pcap_dispatch(ctx.pcap, left, live_packet_callback, user);
        if (nothing_to_read(ctx.record, delivered))
            delivered = 0;
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
        switch (live.wait()) {
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
    if (take_break_request(state)) {
        if (loop)
            Py_RETURN_NONE;
        return PyLong_FromLong(0);
    }
    PcapCallbackContext ctx(state, callable, PyThreadState_Get());
    u_char *user = reinterpret_cast<u_char *>(&ctx);
    int status;
    if (state->stream != nullptr) {
        begin_stream_read(state->stream);
        status = loop ? pcap_loop(ctx.pcap, count, locked_packet_callback, user)
                      : pcap_dispatch(ctx.pcap, count, locked_packet_callback, user);
        if (status == PCAP_ERROR) {
            StreamFailure failure = end_failed_read(state->stream);
            if (failure == StreamFailure::raised)
                return nullptr;
            // Closed or broken off meanwhile, or a file object with no data
            // yet: the packets delivered so far are the result.
            if (failure != StreamFailure::none)
                status = PCAP_ERROR_BREAK;
        }
    } else if (state->wake_fd >= 0) {
        LiveWait live(state, loop);
        status = capture_live(ctx, live, count, loop);
    } else {
        PyEval_SaveThread();
        status = loop ? pcap_loop(ctx.pcap, count, packet_callback, user)
                      : pcap_dispatch(ctx.pcap, count, packet_callback, user);
        PyEval_RestoreThread(ctx.thread_state);
    }

    // A request this read ended on, or one that woke its wait, is spent.
    bool broken = take_break_request(state) || ctx.broken;
    if ((ctx.failed || broken) && status >= 0 && reader->pcap != nullptr)
        clear_break_request(ctx.pcap);
    if (ctx.failed)
        return nullptr;
    if (status == PCAP_ERROR_BREAK) {
        // Broken off by close() or breakloop() with no exception behind
        // it: the packets delivered so far are the result.
        status = ctx.delivered;
    } else if (status < 0) {
        return raise_pcap_error(ctx.pcap);
    }
    if (loop)
        Py_RETURN_NONE;
    return PyLong_FromLong(status);
}

const char loop_doc[] = "loops packet dispatching";
PyObject *reader_loop(PyObject *self, PyObject *args)
{
    return reader_capture(self, args, "iO:loop", true);
}

const char dispatch_doc[] = "dispatchs packets";
PyObject *reader_dispatch(PyObject *self, PyObject *args)
{
    return reader_capture(self, args, "iO:dispatch", false);
}
