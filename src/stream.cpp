// The module's own streams under libpcap's capture files.
#include "stream.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <new>
#include <unordered_map>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/eventfd.h>
#endif

#include "module.h"

static uint32_t load32(const unsigned char *p, bool big_endian)
{
    return big_endian ? uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]
                      : uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

// Called once head holds the header bytes asked for: sets end, or leaves it
// 0 to ask for more of the header, or clears on for bytes that are no
// capture file.
void Framing::measure()
{
    const uint32_t shb = 0x0A0D0D0A;  // the same in both byte orders
    if (start == 0 && !blocks && have == 8) {
        // The file header: the magic number tells the format and byte order.
        static const uint32_t magics[] = {0xA1B2C3D4, 0xA1B23C4D, 0xA1B2CD34};
        if (load32(head, false) == shb) {
            blocks = true;
            return;  // the section header block's byte order is at 8
        }
        for (uint32_t magic : magics) {
            if (load32(head, false) == magic || load32(head, true) == magic) {
                big_endian = load32(head, true) == magic;
                // libpcap's header size for 0xA1B2CD34, and its reading of
                // the lengths by version (libpcap 1.10, sf-pcap.c).
                header_size = magic == 0xA1B2CD34 ? 24 : 16;
                unsigned major = big_endian ? head[4] << 8 | head[5] : head[5] << 8 | head[4];
                unsigned minor = big_endian ? head[6] << 8 | head[7] : head[7] << 8 | head[6];
                lengths = major == 543 || (major == 2 && minor < 3) ? 1 : major == 2 && minor == 3 ? 2 : 0;
                end = 24;
                return;
            }
        }
        on = false;
        return;
    }
    // A pcapng block; a section header block gives the byte order of its
    // section, its own length included.
    if (blocks) {
        if (load32(head, false) == shb && have == 8)
            return;
        if (load32(head, false) == shb) {
            if (load32(head + 8, false) == 0x1A2B3C4D)
                big_endian = false;
            else if (load32(head + 8, true) == 0x1A2B3C4D)
                big_endian = true;
            else
                on = false;
        }
        uint32_t length = load32(head + 4, big_endian);
        if (!on || length < 12) {
            on = false;
            return;
        }
        end = start + length;
        return;
    }
    // A classic record: its captured length says where the next begins.
    uint32_t caplen = load32(head + 8, big_endian), len = load32(head + 12, big_endian);
    if (lengths == 1 || (lengths == 2 && caplen > len))
        caplen = len;
    end = start + header_size + caplen;
}

void Framing::take(const char *bytes, size_t count)
{
    while (on) {
        if (end != 0) {
            if (end - fetched > count) {
                fetched += count;
                return;
            }
            size_t rest = end - fetched;
            bytes += rest;
            count -= rest;
            fetched = start = end;
            end = 0;
            have = 0;
            continue;
        }
        // The header bytes wanted: 8 of the file header, 8 of a block (12 of
        // a section header), 16 of a classic record.
        unsigned want = start == 0 || blocks ? (have < 8 ? 8 : 12) : 16;
        size_t part = std::min<size_t>(want - have, count);
        std::memcpy(head + have, bytes, part);
        have += part;
        bytes += part;
        count -= part;
        fetched += part;
        if (have < want)
            return;
        measure();
        if (end != 0 && end < fetched)
            on = false;
    }
}

// ---------------------------------------------------------------------------

#ifdef __GLIBC__
// The streams the module opened, by their FILE, for new_pcapobject to find.
// Never freed: a daemon thread may still close a handle after exit's static
// destructors ran.
static auto &capture_streams = *new std::unordered_map<const FILE *, CaptureStream *>;

// An interned name, made once and kept: a fresh str per call would fill the
// interpreter's method cache, which keeps the names it is asked for.
static PyObject *name(PyObject *&slot, const char *text)
{
    if (slot == nullptr)
        slot = PyUnicode_InternFromString(text);
    return slot;
}
static PyObject *release_name, *readinto_name, *read_name, *fileno_name;

// Keeps the bytes just fetched (count at buffer) that belong to a record not
// yet whole. Gives up following the records when memory runs short.
static void keep_fetched(CaptureStream *stream, const char *buffer, size_t count)
{
    Framing &framing = stream->framing;
    uint64_t first = framing.fetched;
    uint64_t kept_from = first - stream->kept.size();
    framing.take(buffer, count);
    if (!framing.on) {
        stream->kept.clear();
        stream->replay_at = 0;
        return;
    }
    try {
        if (framing.start >= first) {
            stream->kept.assign(buffer + (framing.start - first), buffer + count);
        } else {
            stream->kept.erase(stream->kept.begin(), stream->kept.begin() + (framing.start - kept_from));
            // A record longer than this is no record libpcap reads whole.
            if (stream->kept.size() + count > (64u << 20))
                throw std::bad_alloc();
            stream->kept.insert(stream->kept.end(), buffer, buffer + count);
        }
    } catch (const std::exception &) {
        framing.on = false;
        stream->kept.clear();
    }
    stream->replay_at = stream->kept.size();
}

// Runs the signal handlers; false when one raised.
static bool serve_signals(CaptureStream *stream)
{
    stream->running_handlers = true;
    int status = PyErr_CheckSignals();
    stream->running_handlers = false;
    return status == 0;
}

// read() from the descriptor, the lock given up while it may wait.
static ssize_t read_descriptor(CaptureStream *stream, char *buffer, size_t size)
{
    pollfd fds[2] = {{stream->fd, POLLIN, 0}, {stream->wake_fd, POLLIN, 0}};
    for (;;) {
        PyThreadState *thread_state = PyEval_SaveThread();
        int ready = stream->waits ? poll(fds, stream->wake_fd >= 0 ? 2 : 1, -1) : 1;
        ssize_t got = -1;
        if (ready > 0 && fds[1].revents == 0)
            got = read(stream->fd, buffer, size);
        int error = errno;
        PyEval_RestoreThread(thread_state);
        if (ready > 0 && fds[1].revents != 0) {
            stream->failure = StreamFailure::woken;
            return -1;
        }
        if (got >= 0)
            return got;
        // A descriptor left non-blocking by its owner: wait in poll().
        if (stream->waits && (error == EAGAIN || error == EWOULDBLOCK))
            continue;
        if (error != EINTR) {
            errno = error;
            return -1;
        }
        // A pipe or a FIFO waited: serve the signal, as CPython's own reads
        // do, and read on unless a handler raised.
        if (!serve_signals(stream)) {
            stream->failure = StreamFailure::raised;
            errno = EINTR;
            return -1;
        }
    }
}

// As CPython's buffered reader does: a view of the buffer that the object
// kept cannot reach it once the read is over. An exception already set
// waits meanwhile. False when the release failed, its exception set.
static bool release_view(PyObject *view)
{
    PyObject *release = name(release_name, "release");
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *raised = PyErr_GetRaisedException();
    Ref released = Ref::steal(release ? PyObject_CallMethodNoArgs(view, release) : nullptr);
    if (raised != nullptr)
        PyErr_SetRaisedException(raised);
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref released = Ref::steal(release ? PyObject_CallMethodNoArgs(view, release) : nullptr);
    if (type != nullptr)
        PyErr_Restore(type, value, traceback);
#endif
    return static_cast<bool>(released);
}

// While a non-blocking file object has no data for the file header: waits
// a little, on the object's descriptor when it tells one, without the lock.
// False when a signal handler raised.
static bool wait_for_object(CaptureStream *stream)
{
    int fd = -1;
    PyObject *text = name(fileno_name, "fileno");
    Ref fileno = Ref::steal(text != nullptr ? PyObject_CallMethodNoArgs(stream->object, text) : nullptr);
    if (fileno) {
        long number = PyLong_AsLong(fileno.get());
        fd = number >= 0 && number <= INT_MAX ? static_cast<int>(number) : -1;
    }
    PyErr_Clear();  // no descriptor: a short sleep instead
    pollfd ready = {fd, POLLIN, 0};
    PyThreadState *thread_state = PyEval_SaveThread();
    poll(&ready, fd >= 0 ? 1 : 0, fd >= 0 ? 50 : 5);
    PyEval_RestoreThread(thread_state);
    return serve_signals(stream);
}

// What read_object() returns to be called again.
static constexpr ssize_t again = -2;

// The file object's readinto() or read(), with the lock held throughout.
static ssize_t read_object(CaptureStream *stream, char *buffer, size_t size)
{
    size = std::min<size_t>(size, PY_SSIZE_T_MAX);
    Ref result;
    stream->running_handlers = true;
    if (stream->readinto) {
        Ref view = Ref::steal(PyMemoryView_FromMemory(buffer, static_cast<Py_ssize_t>(size), PyBUF_WRITE));
        if (view) {
            result = Ref::steal(PyObject_CallOneArg(stream->method, view.get()));
            if (!release_view(view.get()))
                result = Ref();
        }
    } else {
        result = Ref::steal(PyObject_CallFunction(stream->method, "n", static_cast<Py_ssize_t>(size)));
    }
    stream->running_handlers = false;
    ssize_t got = -1;
    if (result && result.get() == Py_None) {
        // The open cannot stop half-way through the header: it waits.
        if (stream->opening) {
            if (!wait_for_object(stream)) {
                stream->failure = StreamFailure::raised;
                return -1;
            }
            return again;
        }
        stream->failure = StreamFailure::no_data;
        return -1;
    }
    if (result && stream->readinto) {
        got = PyLong_AsSsize_t(result.get());
        if (got == -1 && PyErr_Occurred()) {
            got = -1;
        } else if (got < 0 || static_cast<size_t>(got) > size) {
            PyErr_Format(PyExc_ValueError, "readinto() returned %zd, outside 0 to %zu", got, size);
            got = -1;
        }
    } else if (result) {
        Py_buffer view;
        if (PyObject_GetBuffer(result.get(), &view, PyBUF_SIMPLE) == 0) {
            if (static_cast<size_t>(view.len) > size) {
                PyErr_Format(PyExc_ValueError, "read() returned %zd bytes, more than the %zu asked for", view.len,
                             size);
            } else {
                std::memcpy(buffer, view.buf, view.len);
                got = view.len;
            }
            PyBuffer_Release(&view);
        }
    }
    if (got < 0) {
        stream->failure = StreamFailure::raised;
        errno = EIO;
    }
    return got;
}

static ssize_t capture_stream_read(void *cookie, char *buffer, size_t size)
{
    auto *stream = static_cast<CaptureStream *>(cookie);
    // The read in progress has failed: nothing more until the next one, so
    // that what is given back reaches it whole.
    if (stream->failure != StreamFailure::none) {
        errno = EIO;
        return -1;
    }
    if (stream->replay_at < stream->kept.size()) {
        size_t count = std::min(size, stream->kept.size() - stream->replay_at);
        std::memcpy(buffer, stream->kept.data() + stream->replay_at, count);
        stream->replay_at += count;
        return static_cast<ssize_t>(count);
    }
    if (stream->broken) {
        stream->failure = StreamFailure::broken;
        errno = EIO;
        return -1;
    }
    ssize_t got;
    do
        got = stream->object != nullptr ? read_object(stream, buffer, size) : read_descriptor(stream, buffer, size);
    while (got == again);
    if (got > 0 && stream->framing.on) {
        keep_fetched(stream, buffer, static_cast<size_t>(got));
    } else if (got < 0 && stream->failure != StreamFailure::none) {
        // stdio has handed out all it had, and libpcap dropped what it took
        // of the record it was reading: it gets that again, or nothing at all.
        if (stream->framing.on)
            stream->replay_at = 0;
        else
            stream->broken = true;
    }
    return got;
}

static int capture_stream_close(void *cookie)
{
    auto *stream = static_cast<CaptureStream *>(cookie);
    capture_streams.erase(stream->file);
    int status = 0;
    if (stream->owns_fd && stream->fd >= 0)
        status = close(stream->fd);
    if (stream->wake_fd >= 0)
        close(stream->wake_fd);
    Py_XDECREF(stream->method);
    Py_XDECREF(stream->object);
    delete stream;
    return status;
}

// A stream over stream's source; null when there is no memory for it, in
// which case stream is freed (and its descriptor closed) here.
static FILE *open_stream(CaptureStream *stream)
{
    FILE *file = fopencookie(stream, "rb", {capture_stream_read, nullptr, nullptr, capture_stream_close});
    if (file == nullptr) {
        capture_stream_close(stream);
        return nullptr;
    }
    stream->file = file;
    try {
        capture_streams.emplace(file, stream);
    } catch (const std::exception &) {
        fclose(file);  // frees stream
        return nullptr;
    }
    // Freed with the stream by capture_stream_close; stdio frees no buffer
    // it was given.
    setvbuf(file, stream->buffer, _IOFBF, sizeof stream->buffer);
    return file;
}

// open() that waits for a FIFO's writer without the lock and answers signals;
// -1 with errno set, or -1 with errno 0 and the exception pending when a
// handler raised.
static int open_waiting(const char *filename)
{
    for (;;) {
        PyThreadState *thread_state = PyEval_SaveThread();
        int fd = open(filename, O_RDONLY | O_CLOEXEC);
        int error = errno;
        PyEval_RestoreThread(thread_state);
        if (fd >= 0 || error != EINTR) {
            errno = error;
            return fd;
        }
        if (PyErr_CheckSignals() < 0) {
            errno = 0;
            return -1;
        }
    }
}

// libpcap's open over the stream, which it is handed; closed again on failure.
static pcap_t *open_over(CaptureStream *stream, FILE *file, u_int precision, char *errbuf)
{
    stream->opening = true;
    pcap_t *handle = pcap_fopen_offline_with_tstamp_precision(file, precision, errbuf);
    stream->opening = false;
    if (handle != nullptr)
        return handle;
    if (PyErr_Occurred())
        errbuf[0] = '\0';
    fclose(file);
    return nullptr;
}

pcap_t *open_capture_file(const char *filename, u_int precision, char *errbuf)
{
    static const bool checked_libpcap = std::strncmp(pcap_lib_version(), "libpcap version 1.10.", 21) == 0;
    if (!checked_libpcap)
        return pcap_open_offline_with_tstamp_precision(filename, precision, errbuf);
    bool standard_input = std::strcmp(filename, "-") == 0;
    int fd = standard_input ? STDIN_FILENO : open_waiting(filename);
    if (fd < 0) {
        if (errno == 0) {
            errbuf[0] = '\0';
            return nullptr;
        }
        // A failure here fails libpcap's fopen() too, in libpcap's words.
        return pcap_open_offline_with_tstamp_precision(filename, precision, errbuf);
    }
    auto *stream = new (std::nothrow) CaptureStream;
    if (stream == nullptr) {
        if (!standard_input)
            close(fd);
        return pcap_open_offline_with_tstamp_precision(filename, precision, errbuf);
    }
    stream->fd = fd;
    stream->owns_fd = !standard_input;
    struct stat about;
    stream->waits = fstat(fd, &about) != 0 || !S_ISREG(about.st_mode);
    // Records are followed only where a read can be cut short.
    stream->framing.on = stream->waits;
#ifdef __linux__
    if (stream->waits && (stream->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) < 0) {
        snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s: can't make a descriptor to wake reads: %s", filename,
                 std::strerror(errno));
        capture_stream_close(stream);
        return nullptr;
    }
#endif
    FILE *file = open_stream(stream);
    if (file == nullptr) {
        snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s: %s", filename, std::strerror(ENOMEM));
        return nullptr;
    }
    return open_over(stream, file, precision, errbuf);
}

pcap_t *open_capture_object(PyObject *object, u_int precision)
{
    PyObject *readinto_text = name(readinto_name, "readinto"), *read_text = name(read_name, "read");
    if (readinto_text == nullptr || read_text == nullptr)
        return nullptr;
    bool readinto = PyObject_HasAttr(object, readinto_text);
    Ref method = Ref::steal(PyObject_GetAttr(object, readinto ? readinto_text : read_text));
    if (!method) {
        PyErr_Format(PyExc_TypeError, "a binary file object with readinto() or read() is required, not '%.200s'",
                     Py_TYPE(object)->tp_name);
        return nullptr;
    }
    auto *stream = new (std::nothrow) CaptureStream;
    if (stream == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    stream->object = Py_NewRef(object);
    stream->method = method.release();
    stream->readinto = readinto;
    FILE *file = open_stream(stream);
    if (file == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    char errbuf[PCAP_ERRBUF_SIZE];
    errbuf[0] = '\0';
    pcap_t *handle = open_over(stream, file, precision, errbuf);
    if (handle == nullptr && !PyErr_Occurred())
        PyErr_SetString(PcapError, errbuf);
    return handle;
}

CaptureStream *find_capture_stream(pcap_t *handle)
{
    FILE *file = pcap_file(handle);
    auto found = file != nullptr ? capture_streams.find(file) : capture_streams.end();
    return found != capture_streams.end() ? found->second : nullptr;
}
#else
pcap_t *open_capture_file(const char *filename, u_int precision, char *errbuf)
{
    return pcap_open_offline_with_tstamp_precision(filename, precision, errbuf);
}

pcap_t *open_capture_object(PyObject *, u_int)
{
    PyErr_SetString(PcapError, "capture files from file objects need glibc");
    return nullptr;
}

CaptureStream *find_capture_stream(pcap_t *)
{
    return nullptr;
}
#endif

StreamFailure end_failed_read(CaptureStream *stream)
{
    StreamFailure failure = stream->failure;
    stream->failure = StreamFailure::none;
    if (failure == StreamFailure::none)
        return failure;
    clearerr(stream->file);
    if (failure == StreamFailure::broken) {
        PyErr_SetString(PcapError, "a read was cut short in the middle of a record: the rest of the file cannot be read");
        return StreamFailure::raised;
    }
    return failure;
}

void wake_stream(const CaptureStream *stream)
{
    uint64_t one = 1;
    if (stream->wake_fd >= 0 && write(stream->wake_fd, &one, sizeof one) < 0) {
        // Full only if a million closes went unread; the read is woken anyway.
    }
}
