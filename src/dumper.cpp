// Dumper: a capture file open for writing, to a path, standard output or a
// Python file object, through the module's own stream (write_stream.h).
// Everything here runs with the interpreter lock held.
#include "dumper.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "module.h"
#include "pkthdr.h"
#include "write_stream.h"

// ---------------------------------------------------------------------------
// The streams behind the Dumpers.
//
// libpcap writes records through stdio and reports no failure: a write that
// fails only sets the stream's error flag, pcap_dump() (1.10.3) drops every
// record while the flag is set, and pcap_dump_close() discards what fclose()
// says. So the module writes through a stream of its own (write_stream.h)
// under every Dumper it opens: dump() tests the flag after each record, and
// close() flushes, closes and reports either failure. What that needs beyond
// the handle (the stream, the file's name for messages, the first failure)
// is kept here, since the Dumper's layout stays its one documented field. An
// entry lives as long as its handle. Touched only with the interpreter lock
// held.

struct DumpStream {
    const pcap_dumper_t *handle; // not owned
    std::string name;            // the file as messages name it
    int error;                   // errno of the first failed write; 0 if none
    bool reported;               // a call has raised that failure
    WriteStream *stream;         // the module's stream, owned; null under a
                                 // handle that native code opened
};

static std::vector<DumpStream> dump_streams;

static DumpStream *find_dump_stream(const pcap_dumper_t *handle)
{
    for (DumpStream &entry : dump_streams) {
        if (entry.handle == handle)
            return &entry;
    }
    return nullptr;
}

// Raises PcapError "Can't write to <file>: <reason>" for handle's failed
// stream, as pcap_dump_open() words a header it cannot write. The reason is
// that of the first failure: reason (an errno) if none was seen before.
static PyObject *raise_write_error(const pcap_dumper_t *handle, int reason)
{
    DumpStream *entry = find_dump_stream(handle);
    const char *name = "stream";
    if (entry != nullptr) {
        if (entry->error == 0)
            entry->error = reason;
        entry->reported = true;
        name = entry->name.c_str();
        reason = entry->error;
    }
    PyErr_Format(PcapError, "Can't write to %s: %s", name, std::strerror(reason != 0 ? reason : EIO));
    return nullptr;
}

static DumperObject *dumper_receiver(PyObject *self)
{
    if (self == nullptr || Py_TYPE(self) != &Pdumpertype) {
        PyErr_SetString(PcapError, "Not a pcapdumper object");
        return nullptr;
    }
    return reinterpret_cast<DumperObject *>(self);
}

static WriteStream *write_stream_of(const pcap_dumper_t *handle)
{
    const DumpStream *entry = find_dump_stream(handle);
    return entry != nullptr ? entry->stream : nullptr;
}

// Before a call touches the Dumper's stream: waits while another thread's
// write on it has given up the lock. Returns 0, or -1 with an exception set
// (a use from inside that write, a signal handler's exception, or, when
// open is true, a Dumper closed meanwhile).
static int dumper_wait(DumperObject *dumper, bool open)
{
    for (;;) {
        if (dumper->dumper == nullptr) {
            if (!open)
                return 0;
            PyErr_SetString(PcapError, "Dumper is already closed.");
            return -1;
        }
        int waited = write_stream_wait(write_stream_of(dumper->dumper));
        if (waited <= 0)
            return waited;
    }
}

// Finishes the file: flushes the buffered records and closes it. The handle is
// released whatever happens. Returns 0, or -1 with an exception set when a
// write or the close failed, now or before (PcapError), or the file object or
// a signal handler raised; a failure that dump() has raised already is raised
// again only if again is true.
static int dumper_release(DumperObject *dumper, bool again)
{
    pcap_dumper_t *handle = dumper->dumper;
    if (handle == nullptr)
        return 0;
    dumper->dumper = nullptr;
    const DumpStream *entry = find_dump_stream(handle);
    int status = 0;
    int reason = 0;
    if (entry != nullptr && entry->stream != nullptr) {
        status = write_stream_close(entry->stream);
        reason = errno;
    } else {
        reason = pcap_dump_flush(handle) == 0 ? 0 : errno;
        status = reason != 0 || ferror(pcap_dump_file(handle)) ? -2 : 0;
        pcap_dump_close(handle);
    }
    if (status == -2) {
        if (again || entry == nullptr || !entry->reported)
            raise_write_error(handle, reason);
        else
            status = 0;
    }
    std::erase_if(dump_streams, [handle](const DumpStream &e) { return e.handle == handle; });
    return status < 0 ? -1 : 0;
}

// Keeps the exception being raised, if any, aside for its lifetime:
// deallocation must leave it as it found it.
class SavedException {
public:
#if PY_VERSION_HEX >= 0x030C0000
    SavedException() : raised_(Ref::steal(PyErr_GetRaisedException())) {}
    ~SavedException() { PyErr_SetRaisedException(raised_.release()); }
#else
    SavedException()
    {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        type_ = Ref::steal(type);
        value_ = Ref::steal(value);
        traceback_ = Ref::steal(traceback);
    }
    ~SavedException() { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }
#endif
    SavedException(const SavedException &) = delete;
    SavedException &operator=(const SavedException &) = delete;

private:
#if PY_VERSION_HEX >= 0x030C0000
    Ref raised_;
#else
    Ref type_, value_, traceback_;
#endif
};

// New reference to a Dumper that owns handle, whose messages call the file
// name, or null with an exception set and handle still the caller's.
static PyObject *dumper_new(pcap_dumper_t *handle, const char *name, WriteStream *stream)
{
    if (ready_type(&Pdumpertype) < 0)
        return nullptr;
    try {
        dump_streams.push_back({handle, name, 0, false, stream});
    } catch (const std::exception &) {
        return PyErr_NoMemory();
    }
    DumperObject *dumper = PyObject_New(DumperObject, &Pdumpertype);
    if (dumper == nullptr) {
        dump_streams.pop_back();
        return nullptr;
    }
    dumper->dumper = handle;
    return reinterpret_cast<PyObject *>(dumper);
}

PyObject *new_pcapdumper(pcap_dumper_t *handle)
{
    // Native code hands over a stream whose name it does not give; libpcap
    // calls such a stream "stream" too.
    return dumper_new(handle, "stream", nullptr);
}

// A dump handle of pcap over a new stream of the module's, which takes the
// file header and keeps it until it is given somewhere to write. label is
// the file as libpcap's refusals name it, function the call that refuses a
// handle that is not activated. Returns null with PcapError set.
static pcap_dumper_t *open_dump_stream(pcap_t *pcap, const char *label, const char *function, WriteStream **stream)
{
    // pcap_dump_fopen() does not check activation: it would write link
    // type 0 for a handle that has none.
    if (pcap_datalink(pcap) == PCAP_ERROR_NOT_ACTIVATED) {
        PyErr_Format(PcapError, "%s: not-yet-activated pcap_t passed to %s", label, function);
        return nullptr;
    }
    *stream = write_stream_new();
    if (*stream == nullptr)
        return nullptr;
    pcap_dumper_t *handle = pcap_dump_fopen(pcap, (*stream)->file);
    if (handle != nullptr)
        return handle;
    // The stream takes the header whatever happens, so the refusal is of the
    // link type, which pcap_dump_fopen() (1.10.3) words for a "stream" and
    // leaves the stream open for. A header it could not write, the one other
    // failure, closes it.
    std::string_view message = pcap_geterr(pcap);
    bool closed = message.starts_with("Can't write to stream");
    if (message.starts_with("stream: "))
        message.remove_prefix(sizeof "stream: " - 1);
    PyErr_Format(PcapError, "%s: %s", label, message.data());
    write_stream_discard(*stream, closed);
    return nullptr;
}

// open() of a file to write, which for a FIFO waits for a reader: without
// the lock, serving signals as Python's open() does. Returns the descriptor,
// or -1 with errno set (0 when a signal handler raised).
static int open_for_writing(const char *path, int flags)
{
    for (;;) {
        int fd;
        Py_BEGIN_ALLOW_THREADS
        fd = open(path, flags | O_CLOEXEC, 0666);
        Py_END_ALLOW_THREADS
        if (fd >= 0 || errno != EINTR)
            return fd;
        if (PyErr_CheckSignals() < 0) {
            errno = 0;
            return -1;
        }
    }
}

static PyObject *raise_open_error(const char *path, WriteStream *stream)
{
    if (errno != 0)
        PyErr_Format(PcapError, "%s: %s", path, std::strerror(errno));
    write_stream_discard(stream, false);
    return nullptr;
}

// The Dumper over handle and stream, or null with an exception set and both
// released.
static PyObject *dumper_finish(pcap_dumper_t *handle, const char *name, WriteStream *stream)
{
    PyObject *dumper = dumper_new(handle, name, stream);
    if (dumper == nullptr)
        write_stream_discard(stream, false);
    return dumper;
}

// pcap_dump_open(p, "-") (1.10.3) writes to the C library's stdout, which
// pcap_dump_close() then closes, and descriptor 1 with it. This writes to a
// duplicate of descriptor 1 instead.
static PyObject *open_standard_output(pcap_t *pcap, const char *function)
{
    WriteStream *stream;
    pcap_dumper_t *handle = open_dump_stream(pcap, "-", function, &stream);
    if (handle == nullptr)
        return nullptr;
    int fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        PyErr_Format(PcapError, "standard output: %s", std::strerror(errno));
        write_stream_discard(stream, false);
        return nullptr;
    }
    off_t position = lseek(fd, 0, SEEK_CUR);
    write_stream_attach_fd(stream, fd, position < 0 ? 0 : position);
    return dumper_finish(handle, "standard output", stream);
}

PyObject *dumper_open(pcap_t *pcap, const char *filename)
{
    if (std::strcmp(filename, "-") == 0)
        return open_standard_output(pcap, "pcap_dump_open");
    WriteStream *stream;
    pcap_dumper_t *handle = open_dump_stream(pcap, filename, "pcap_dump_open", &stream);
    if (handle == nullptr)
        return nullptr;
    int fd = open_for_writing(filename, O_WRONLY | O_CREAT | O_TRUNC);
    if (fd < 0)
        return raise_open_error(filename, stream);
    write_stream_attach_fd(stream, fd, 0);
    return dumper_finish(handle, filename, stream);
}

PyObject *dumper_open_append(pcap_t *pcap, const char *filename)
{
    if (std::strcmp(filename, "-") == 0)
        return open_standard_output(pcap, "pcap_dump_open_append");
    WriteStream *stream;
    pcap_dumper_t *handle = open_dump_stream(pcap, filename, "pcap_dump_open_append", &stream);
    if (handle == nullptr)
        return nullptr;
    int fd = open_for_writing(filename, O_RDWR | O_CREAT | O_APPEND);
    if (fd < 0)
        return raise_open_error(filename, stream);
    // Nothing is written unless the file is empty or has the same header.
    off_t end = -1;
    if (write_stream_check_append(stream, fd, filename) < 0 || (end = lseek(fd, 0, SEEK_END)) < 0) {
        if (end < 0 && !PyErr_Occurred())
            PyErr_Format(PcapError, "Can't seek to the end of %s: %s", filename, std::strerror(errno));
        close(fd);
        write_stream_discard(stream, false);
        return nullptr;
    }
    write_stream_attach_fd(stream, fd, end);
    return dumper_finish(handle, filename, stream);
}

PyObject *dumper_fopen(pcap_t *pcap, PyObject *file)
{
    int writable = PyObject_HasAttrString(file, "write");
    if (!writable) {
        PyErr_Format(PyExc_TypeError, "a binary file object with write() is required, not %.200s",
                     Py_TYPE(file)->tp_name);
        return nullptr;
    }
    WriteStream *stream;
    pcap_dumper_t *handle = open_dump_stream(pcap, "stream", "pcap_dump_fopen", &stream);
    if (handle == nullptr)
        return nullptr;
    write_stream_attach_object(stream, file);
    return dumper_finish(handle, "stream", stream);
}

// Dropping an open Dumper finishes its file. A failure that no call has
// raised goes to the interpreter's hook for errors it cannot raise, without
// the object: the hook may keep what it is handed, and this one is going.
static void dumper_dealloc(PyObject *self)
{
    DumperObject *dumper = reinterpret_cast<DumperObject *>(self);
    if (dumper->dumper != nullptr) {
        SavedException saved;
        if (dumper_release(dumper, false) < 0)
            PyErr_WriteUnraisable(nullptr);
    }
    PyObject_Free(self);
}

PyDoc_STRVAR(close_doc, "close the dump file");
static PyObject *dumper_close(PyObject *self, PyObject *)
{
    DumperObject *dumper = dumper_receiver(self);
    if (dumper == nullptr || dumper_wait(dumper, false) < 0 || dumper_release(dumper, true) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// After a record went to the stream, when the stream's error flag is set or
// some stream needs attention: the record's outcome.
static PyObject *dump_outcome(const pcap_dumper_t *handle, int reason)
{
    if (WriteStream *stream = write_stream_of(handle)) {
        if (write_stream_raised(stream) < 0)
            return nullptr;
        if (stream->error != 0)
            return raise_write_error(handle, stream->error);
    }
    // The flag stays set, so every later record is refused the same way.
    if (ferror_unlocked(pcap_dump_file(const_cast<pcap_dumper_t *>(handle))))
        return raise_write_error(handle, reason);
    Py_RETURN_NONE;
}

PyDoc_STRVAR(dump_doc, "dump a packet to the file");
static PyObject *dumper_dump(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    DumperObject *dumper = dumper_receiver(self);
    if (dumper == nullptr)
        return nullptr;
    PyObject *header;
    const char *data;
    Py_ssize_t length;
    // The common call, dump(header, bytes), skips the tuple parser: "y#" of
    // a bytes object yields exactly its buffer and size. Anything else goes
    // through the parser, whose results and errors stand.
    Ref tuple;
    if (nargs == 2 && PyBytes_CheckExact(args[1])) {
        header = args[0];
        data = PyBytes_AS_STRING(args[1]);
        length = PyBytes_GET_SIZE(args[1]);
    } else if (!(tuple = Ref::steal(positional_tuple(args, nargs)))
               || !PyArg_ParseTuple(tuple.get(), "Oy#", &header, &data, &length)) {
        return nullptr;
    }
    pcap_pkthdr hdr;
    if (pkthdr_to_native(header, &hdr) < 0)
        return nullptr;
    if (dumper->dumper == nullptr) {
        PyErr_SetString(PcapError, "Dumper is already closed.");
        return nullptr;
    }
    if (write_streams_attention != 0 && dumper_wait(dumper, true) < 0)
        return nullptr;
    // libpcap writes caplen bytes from data; never let it read past what was
    // given. The record then says how many bytes it really holds.
    if (static_cast<Py_ssize_t>(hdr.caplen) > length)
        hdr.caplen = static_cast<bpf_u_int32>(length);
    FILE *stream = pcap_dump_file(dumper->dumper);
    pcap_dump(reinterpret_cast<u_char *>(dumper->dumper), &hdr, reinterpret_cast<const u_char *>(data));
    // The interpreter lock serialises all use of the stream: no stdio lock.
    if (ferror_unlocked(stream) || write_streams_attention != 0)
        return dump_outcome(dumper->dumper, errno);
    Py_RETURN_NONE;
}

PyDoc_STRVAR(flush_doc, "flushes the dump file");
static PyObject *dumper_flush(PyObject *self, PyObject *)
{
    DumperObject *dumper = dumper_receiver(self);
    if (dumper == nullptr || dumper_wait(dumper, true) < 0)
        return nullptr;
    int status;
    if (WriteStream *stream = write_stream_of(dumper->dumper))
        status = write_stream_flush(stream);
    else
        status = pcap_dump_flush(dumper->dumper) == 0 ? 0 : -2;
    if (status == -2)
        return raise_write_error(dumper->dumper, errno);
    if (status < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyDoc_STRVAR(ftell_doc, "returns the file position");
static PyObject *dumper_ftell(PyObject *self, PyObject *)
{
    DumperObject *dumper = dumper_receiver(self);
    if (dumper == nullptr || dumper_wait(dumper, true) < 0)
        return nullptr;
    if (WriteStream *stream = write_stream_of(dumper->dumper))
        return PyLong_FromLongLong(write_stream_tell(stream));
    int64_t position = pcap_dump_ftell64(dumper->dumper);
    if (position < 0) {
        const DumpStream *entry = find_dump_stream(dumper->dumper);
        PyErr_Format(PcapError, "%s: %s", entry != nullptr ? entry->name.c_str() : "stream", std::strerror(errno));
        return nullptr;
    }
    return PyLong_FromLongLong(position);
}

static PyMethodDef dumper_methods[] = {
    {"close", dumper_close, METH_VARARGS, close_doc},
    {"dump", fast_method(dumper_dump), METH_FASTCALL, dump_doc},
    {"flush", dumper_flush, METH_NOARGS, flush_doc},
    {"ftell", dumper_ftell, METH_NOARGS, ftell_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject Pdumpertype = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Dumper",
    .tp_basicsize = sizeof(DumperObject),
    .tp_itemsize = 0,
    .tp_dealloc = dumper_dealloc,
    .tp_getattr = wirelet_getattr,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_methods = dumper_methods,
};
