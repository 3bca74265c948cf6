// The module's own streams under the capture files it writes.
#include "write_stream.h"

#include <poll.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>

#include "module.h"
#include "ref.h"

int write_streams_attention = 0;

// Threads that wait for another thread's busy write sleep here, without the
// interpreter lock: each write that stops being busy counts one more in
// idle_count and wakes them. A waiter never touches a stream without the
// lock, so a stream closed meanwhile is no danger to it.
static std::mutex idle_mutex;
static std::condition_variable idle_changed;
static unsigned long idle_count = 0;

namespace {

// Marks the stream busy in this thread for its lifetime.
class Busy {
public:
    explicit Busy(WriteStream *stream) : stream_(stream), was_(stream->busy)
    {
        if (!was_) {
            stream_->busy = true;
            stream_->owner = pthread_self();
            ++write_streams_attention;
        }
    }
    ~Busy()
    {
        if (was_)
            return;
        stream_->busy = false;
        --write_streams_attention;
        {
            std::lock_guard<std::mutex> guard(idle_mutex);
            ++idle_count;
        }
        idle_changed.notify_all();
    }
    Busy(const Busy &) = delete;
    Busy &operator=(const Busy &) = delete;

private:
    WriteStream *stream_;
    bool was_;
};

enum class Handed {
    all,     // everything was handed on
    raised,  // an exception is set; done says how far it got
    failed,  // the descriptor failed: errno
};

}  // namespace

static void set_raised(WriteStream *stream)
{
    if (!stream->raised) {
        stream->raised = true;
        ++write_streams_attention;
    }
}

// The first failure of the descriptor sticks: what follows it in the file
// would not be a capture file.
static void set_error(WriteStream *stream, int error)
{
    if (stream->error == 0) {
        stream->error = error != 0 ? error : EIO;
        ++write_streams_attention;
    }
}

static bool keep(WriteStream *stream, const char *data, size_t size)
{
    try {
        stream->backlog.append(data, size);
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

// write() of the whole of data to the descriptor, the lock given up around
// each call. A descriptor in non-blocking mode (standard output may be) is
// waited for rather than failed.
static Handed hand_on_fd(WriteStream *stream, const char *data, size_t size, size_t &done)
{
    Busy busy(stream);
    while (done < size) {
        PyThreadState *thread_state = PyEval_SaveThread();
        ssize_t written = write(stream->fd, data + done, size - done);
        int error = errno;
        if (written < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
            pollfd ready = {stream->fd, POLLOUT, 0};
            written = poll(&ready, 1, -1) < 0 ? -1 : 0;
            error = errno;
        }
        PyEval_RestoreThread(thread_state);
        if (written >= 0) {
            done += static_cast<size_t>(written);
            stream->position += written;
            continue;
        }
        if (error != EINTR) {
            errno = error;
            return Handed::failed;
        }
        // Serve the signal as CPython's own writes do, and write on unless
        // a handler raised.
        if (PyErr_CheckSignals() < 0)
            return Handed::raised;
    }
    return Handed::all;
}

// The object's write() with the whole of data, in bytes objects of their
// own (the object may keep what it is given). A raw file may take part of
// it; None, from objects that count nothing, means all of it.
static Handed hand_on_object(WriteStream *stream, const char *data, size_t size, size_t &done)
{
    static PyObject *write_name = PyUnicode_InternFromString("write");
    if (write_name == nullptr)
        return Handed::raised;
    Busy busy(stream);
    while (done < size) {
        Py_ssize_t left = static_cast<Py_ssize_t>(size - done);
        Ref chunk = Ref::steal(PyBytes_FromStringAndSize(data + done, left));
        if (!chunk)
            return Handed::raised;
        Ref result = Ref::steal(PyObject_CallMethodOneArg(stream->object, write_name, chunk.get()));
        if (!result)
            return Handed::raised;
        Py_ssize_t taken = left;
        if (result.get() != Py_None) {
            taken = PyNumber_AsSsize_t(result.get(), PyExc_OverflowError);
            if (taken == -1 && PyErr_Occurred())
                return Handed::raised;
            if (taken <= 0 || taken > left) {
                PyErr_Format(PyExc_ValueError, "write() returned %zd for %zd bytes", taken, left);
                return Handed::raised;
            }
        }
        done += static_cast<size_t>(taken);
        stream->position += taken;
    }
    return Handed::all;
}

static Handed hand_on(WriteStream *stream, const char *data, size_t size, size_t &done)
{
    if (stream->object != nullptr)
        return hand_on_object(stream, data, size, done);
    return hand_on_fd(stream, data, size, done);
}

// Hands the backlog on, first of all.
static Handed drain(WriteStream *stream)
{
    if (stream->backlog.empty() || stream->holding)
        return Handed::all;
    if (stream->error != 0) {
        errno = stream->error;
        return Handed::failed;
    }
    size_t done = 0;
    Handed handed = hand_on(stream, stream->backlog.data(), stream->backlog.size(), done);
    int error = errno;
    stream->backlog.erase(0, done);
    if (handed == Handed::failed)
        set_error(stream, error);
    return handed;
}

static bool write_all_plainly(int fd, const char *data, size_t size)
{
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// Without the interpreter lock (stdio flushing at process exit): plain
// writes to a descriptor; a file object cannot be reached.
static ssize_t write_unlocked(WriteStream *stream, const char *data, size_t size)
{
    if (stream->fd < 0 || stream->error != 0) {
        errno = EIO;
        return -1;
    }
    if (!write_all_plainly(stream->fd, stream->backlog.data(), stream->backlog.size())
        || !write_all_plainly(stream->fd, data, size))
        return -1;
    stream->backlog.clear();
    return static_cast<ssize_t>(size);
}

// Whether this thread holds the interpreter lock: a thread has a current
// thread state only while it does, and none is left once the interpreter
// is finalized.
static bool holds_the_lock()
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

// The stream's write function. It takes all of data unless the descriptor
// fails: what an exception kept back waits in the backlog.
static ssize_t write_stream_write(void *cookie, const char *data, size_t size)
{
    auto *stream = static_cast<WriteStream *>(cookie);
    if (!holds_the_lock())
        return write_unlocked(stream, data, size);
    if (stream->error != 0) {
        errno = stream->error;
        return -1;
    }
    if (stream->holding || stream->raised) {
        if (keep(stream, data, size))
            return static_cast<ssize_t>(size);
        set_error(stream, ENOMEM);
        errno = ENOMEM;
        return -1;
    }
    size_t done = 0;
    Handed handed = drain(stream);
    if (handed == Handed::all)
        handed = hand_on(stream, data, size, done);
    if (handed == Handed::all)
        return static_cast<ssize_t>(size);
    if (handed == Handed::raised) {
        set_raised(stream);
        if (keep(stream, data + done, size - done))
            return static_cast<ssize_t>(size);
        errno = ENOMEM;
    }
    set_error(stream, errno);
    errno = stream->error;
    return -1;
}

static int write_stream_close_fd(void *cookie)
{
    auto *stream = static_cast<WriteStream *>(cookie);
    if (stream->fd < 0)
        return 0;
    int status = close(stream->fd);
    stream->fd = -1;
    if (status != 0) {
        stream->close_error = errno;
        return -1;
    }
    return 0;
}

WriteStream *write_stream_new()
{
    auto *stream = new (std::nothrow) WriteStream;
    if (stream == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    stream->file = fopencookie(stream, "wb", {nullptr, write_stream_write, nullptr, write_stream_close_fd});
    if (stream->file == nullptr) {
        delete stream;
        PyErr_NoMemory();
        return nullptr;
    }
    // stdio frees no buffer it was given; it goes with the stream. Only the
    // module touches the stream, always under the interpreter lock, so
    // stdio's own lock is not needed.
    setvbuf(stream->file, stream->buffer, _IOFBF, sizeof stream->buffer);
    __fsetlocking(stream->file, FSETLOCKING_BYCALLER);
    return stream;
}

void write_stream_attach_fd(WriteStream *stream, int fd, int64_t position)
{
    stream->fd = fd;
    stream->position = position;
    stream->holding = false;
}

void write_stream_attach_object(WriteStream *stream, PyObject *object)
{
    stream->object = Py_NewRef(object);
    stream->holding = false;
}

int write_stream_wait(WriteStream *stream)
{
    if (stream == nullptr || !stream->busy)
        return 0;
    if (pthread_equal(stream->owner, pthread_self())) {
        PyErr_SetString(PcapError, "a write is in progress on this Dumper: it cannot be used from a signal "
                                   "handler or from the file's write()");
        return -1;
    }
    unsigned long seen = idle_count;
    Py_BEGIN_ALLOW_THREADS
    std::unique_lock<std::mutex> lock(idle_mutex);
    idle_changed.wait_for(lock, std::chrono::milliseconds(50), [seen] { return idle_count != seen; });
    Py_END_ALLOW_THREADS
    // The main thread serves signals while it waits, as every wait does.
    return PyErr_CheckSignals() < 0 ? -1 : 1;
}

int write_stream_raised(WriteStream *stream)
{
    if (!stream->raised)
        return 0;
    stream->raised = false;
    --write_streams_attention;
    if (!PyErr_Occurred())
        PyErr_SetString(PcapError, "a write failed");
    return -1;
}

int64_t write_stream_tell(WriteStream *stream)
{
    return stream->position + static_cast<int64_t>(stream->backlog.size())
           + static_cast<int64_t>(__fpending(stream->file));
}

int write_stream_flush(WriteStream *stream)
{
    Handed handed = drain(stream);
    if (handed == Handed::raised)
        return -1;
    if (handed == Handed::all) {
        bool failed = fflush(stream->file) != 0;
        if (write_stream_raised(stream) < 0)
            return -1;
        if (failed && stream->error == 0)
            set_error(stream, errno);
    }
    if (stream->error != 0 || ferror_unlocked(stream->file)) {
        set_error(stream, EIO);
        errno = stream->error;
        return -2;
    }
    if (stream->object != nullptr) {
        Ref flush = Ref::steal(PyObject_GetAttrString(stream->object, "flush"));
        if (!flush) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                return -1;
            PyErr_Clear();
            return 0;
        }
        Busy busy(stream);
        Ref result = Ref::steal(PyObject_CallNoArgs(flush.get()));
        if (!result)
            return -1;
    }
    return 0;
}

// Closes stdio's stream over what is left, without writing any of it, and
// frees the stream.
static int free_stream(WriteStream *stream, bool file_closed = false)
{
    stream->holding = true;
    if (!file_closed)
        fclose(stream->file);
    Py_CLEAR(stream->object);
    if (stream->raised)
        --write_streams_attention;
    if (stream->error != 0)
        --write_streams_attention;
    int close_error = stream->close_error;
    delete stream;
    return close_error;
}

int write_stream_close(WriteStream *stream)
{
    int status = write_stream_flush(stream);
    int error = errno;
    int close_error = free_stream(stream);
    if (status == 0 && close_error != 0) {
        status = -2;
        error = close_error;
    }
    errno = error;
    return status;
}

void write_stream_discard(WriteStream *stream, bool file_closed)
{
    free_stream(stream, file_closed);
}

int write_stream_check_append(WriteStream *stream, int fd, const char *name)
{
    // pcap_dump_fopen() wrote the header this handle would write; with no
    // file yet the stream keeps it.
    fflush(stream->file);
    pcap_file_header ours;
    if (stream->backlog.size() != sizeof ours) {
        PyErr_Format(PcapError, "%s: no file header to compare", name);
        return -1;
    }
    std::memcpy(&ours, stream->backlog.data(), sizeof ours);
    if (lseek(fd, 0, SEEK_SET) < 0) {
        PyErr_Format(PcapError, "Can't seek to the beginning of %s: %s", name, std::strerror(errno));
        return -1;
    }
    pcap_file_header theirs;
    size_t got = 0;
    while (got < sizeof theirs) {
        ssize_t n = read(fd, reinterpret_cast<char *>(&theirs) + got, sizeof theirs - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            PyErr_Format(PcapError, "%s: %s", name, std::strerror(errno));
            return -1;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    if (got == 0)
        return 0;
    if (got < sizeof theirs) {
        PyErr_Format(PcapError, "%s: truncated pcap file header", name);
        return -1;
    }
    // The magic numbers of libpcap's savefile.c, and the order of its checks.
    constexpr bpf_u_int32 micro = 0xa1b2c3d4, nano = 0xa1b23c4d, kuznetzov = 0xa1b2cd34, navtel = 0xa12b3c4d;
    switch (theirs.magic) {
    case micro:
    case nano:
        if (theirs.magic != ours.magic) {
            PyErr_Format(PcapError, "%s: different time stamp precision, cannot append to file", name);
            return -1;
        }
        break;
    case __builtin_bswap32(micro):
    case __builtin_bswap32(nano):
        PyErr_Format(PcapError, "%s: different byte order, cannot append to file", name);
        return -1;
    case kuznetzov:
    case __builtin_bswap32(kuznetzov):
    case navtel:
    case __builtin_bswap32(navtel):
        PyErr_Format(PcapError, "%s: not a pcap file to which we can append", name);
        return -1;
    default:
        PyErr_Format(PcapError, "%s: not a pcap file", name);
        return -1;
    }
    if (theirs.version_major != ours.version_major || theirs.version_minor != ours.version_minor) {
        PyErr_Format(PcapError, "%s: version is %u.%u, cannot append to file", name, theirs.version_major,
                     theirs.version_minor);
        return -1;
    }
    // libpcap compares the link type without the bits beside it (the FCS
    // length), which its header carries.
    if (theirs.linktype != (ours.linktype & 0x03FFFFFF)) {
        PyErr_Format(PcapError, "%s: different linktype, cannot append to file", name);
        return -1;
    }
    if (theirs.snaplen != ours.snaplen) {
        PyErr_Format(PcapError, "%s: different snaplen, cannot append to file", name);
        return -1;
    }
    stream->backlog.clear();
    return 1;
}
