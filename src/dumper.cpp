// Dumper: a capture file open for writing.
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

// ---------------------------------------------------------------------------
// The streams behind the Dumpers.
//
// libpcap writes records through stdio and reports no failure: a write that
// fails only sets the stream's error flag, pcap_dump() (1.10.3) drops every
// record while the flag is set, and pcap_dump_close() discards what fclose()
// says. So dump() tests the flag after each record and close() flushes and
// tests before the stream is closed. What that needs beyond the handle (the
// file's name for messages, the first failure) is kept here, since the
// Dumper's layout stays its one documented field. An entry lives as long as
// its handle. Touched only with the interpreter lock held.

struct DumpStream {
    const pcap_dumper_t *handle; // not owned
    std::string name;            // the file as messages name it
    int error;                   // errno of the first failed write; 0 if none
    bool reported;               // a call has raised that failure
};

// Never freed, like the handle records: a thread still in dump() when the
// interpreter exits may outlive the static destructors.
static std::vector<DumpStream> &dump_streams = *new std::vector<DumpStream>;

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

// Finishes the file: flushes the buffered records and closes it. The handle is
// released whatever happens. Returns 0, or -1 with PcapError set when a write
// failed, now or before; a failure that dump() has raised already is raised
// again only if again is true.
static int dumper_release(DumperObject *dumper, bool again)
{
    pcap_dumper_t *handle = dumper->dumper;
    if (handle == nullptr)
        return 0;
    dumper->dumper = nullptr;
    int reason = pcap_dump_flush(handle) == 0 ? 0 : errno;
    bool failed = reason != 0 || ferror(pcap_dump_file(handle));
    pcap_dump_close(handle);
    int status = 0;
    const DumpStream *entry = find_dump_stream(handle);
    if (failed && (again || entry == nullptr || !entry->reported)) {
        raise_write_error(handle, reason);
        status = -1;
    }
    std::erase_if(dump_streams, [handle](const DumpStream &e) { return e.handle == handle; });
    return status;
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

// pcap_dump_open(p, "-") (1.10.3) writes to the C library's stdout, which
// pcap_dump_close() then closes, and descriptor 1 with it. This writes to a
// duplicate of descriptor 1 instead, with pcap_dump_open()'s checks and
// messages. Returns the handle, or null with PcapError set.
static pcap_dumper_t *open_standard_output(pcap_t *pcap)
{
    int linktype = pcap_datalink(pcap);
    if (linktype == PCAP_ERROR_NOT_ACTIVATED) {
        PyErr_SetString(PcapError, "-: not-yet-activated pcap_t passed to pcap_dump_open");
        return nullptr;
    }
    int fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    FILE *stream = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (stream == nullptr) {
        int reason = errno;
        if (fd >= 0)
            close(fd);
        PyErr_Format(PcapError, "standard output: %s", std::strerror(reason));
        return nullptr;
    }
    pcap_dumper_t *handle = pcap_dump_fopen(pcap, stream);
    if (handle != nullptr)
        return handle;
    // pcap_dump_fopen() closes the stream when it cannot write the header but
    // not when it refuses the link type, and calls it "stream" either way.
    // The stream is closed here only on the refusal's exact words: a guess
    // the other way would close it twice.
    char refusal[PCAP_ERRBUF_SIZE];
    std::snprintf(refusal, sizeof refusal, "stream: link-layer type %d isn't supported in savefiles", linktype);
    std::string_view message = pcap_geterr(pcap);
    if (message == refusal) {
        std::fclose(stream);
        PyErr_Format(PcapError, "-: link-layer type %d isn't supported in savefiles", linktype);
    } else if (message.starts_with("Can't write to stream:")) {
        // What is left of the message still ends in libpcap's terminator.
        message.remove_prefix(sizeof "Can't write to stream:" - 1);
        PyErr_Format(PcapError, "Can't write to standard output:%s", message.data());
    } else {
        PyErr_SetString(PcapError, pcap_geterr(pcap));
    }
    return nullptr;
}

// New reference to a Dumper that owns handle, whose messages call the file
// name, or null with an exception set and handle still the caller's.
static PyObject *dumper_new(pcap_dumper_t *handle, const char *name)
{
    if (ready_type(&Pdumpertype) < 0)
        return nullptr;
    try {
        dump_streams.push_back({handle, name, 0, false});
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
    return dumper_new(handle, "stream");
}

PyObject *dumper_open(pcap_t *pcap, const char *filename)
{
    pcap_dumper_t *handle;
    const char *name = filename;
    if (std::strcmp(filename, "-") == 0) {
        handle = open_standard_output(pcap);
        name = "standard output";
    } else {
        handle = pcap_dump_open(pcap, filename);
        if (handle == nullptr)
            PyErr_SetString(PcapError, pcap_geterr(pcap));
    }
    if (handle == nullptr)
        return nullptr;
    PyObject *dumper = dumper_new(handle, name);
    if (dumper == nullptr)
        pcap_dump_close(handle);
    return dumper;
}

// Dropping an open Dumper finishes its file. A write failure that no call has
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
    if (dumper == nullptr)
        return nullptr;
    if (dumper_release(dumper, true) < 0)
        return nullptr;
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
    // libpcap writes caplen bytes from data; never let it read past what was
    // given. The record then says how many bytes it really holds.
    if (static_cast<Py_ssize_t>(hdr.caplen) > length)
        hdr.caplen = static_cast<bpf_u_int32>(length);
    FILE *stream = pcap_dump_file(dumper->dumper);
    pcap_dump(reinterpret_cast<u_char *>(dumper->dumper), &hdr, reinterpret_cast<const u_char *>(data));
    // The flag stays set, so every later record is refused the same way. The
    // interpreter lock serialises all use of the stream: no stdio lock needed.
    if (ferror_unlocked(stream))
        return raise_write_error(dumper->dumper, errno);
    Py_RETURN_NONE;
}

static PyMethodDef dumper_methods[] = {
    {"close", dumper_close, METH_VARARGS, close_doc},
    {"dump", fast_method(dumper_dump), METH_FASTCALL, dump_doc},
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
