// Reader: the capture handle object and everything done through it.
#include "reader.h"

#include "module.h"
#include "pkthdr.h"

// ---------------------------------------------------------------------------
// Reads in progress.
//
// next(), loop() and dispatch() run libpcap without the interpreter lock, and
// Python code (another thread, or the callable of a loop) may close the Reader
// meanwhile. The handle must outlive the libpcap call, so every read registers
// itself here for its duration: close() then only detaches the handle from the
// Reader and asks libpcap to stop, and the last read to finish on that Reader
// releases the handle. The Reader's layout stays the three documented fields,
// which native code may rely on, so this bookkeeping lives beside it. All of it
// is touched only with the interpreter lock held.

static void close_handle(pcap_t *handle);

class ReadScope {
public:
    explicit ReadScope(ReaderObject *reader)
        : reader_(reader), handle_(reader->pcap), next_(active_)
    {
        active_ = this;
    }

    ~ReadScope()
    {
        for (ReadScope **link = &active_; *link != nullptr; link = &(*link)->next_) {
            if (*link == this) {
                *link = next_;
                break;
            }
        }
        if (reader_->pcap == nullptr && !reading(reader_))
            close_handle(handle_);
    }

    ReadScope(const ReadScope &) = delete;
    ReadScope &operator=(const ReadScope &) = delete;

    pcap_t *handle() const { return handle_; }

    static bool reading(const ReaderObject *reader)
    {
        for (const ReadScope *scope = active_; scope != nullptr; scope = scope->next_) {
            if (scope->reader_ == reader)
                return true;
        }
        return false;
    }

private:
    ReaderObject *reader_;
    pcap_t *handle_;
    ReadScope *next_;
    static ReadScope *active_;
};

ReadScope *ReadScope::active_ = nullptr;

static void close_handle(pcap_t *handle)
{
    pcap_close(handle);
}

// ---------------------------------------------------------------------------

PyObject *new_pcapobject(pcap_t *handle, unsigned int net, unsigned int mask)
{
    if (PyType_Ready(&Pcaptype) < 0)
        return nullptr;
    ReaderObject *reader = PyObject_New(ReaderObject, &Pcaptype);
    if (reader == nullptr)
        return nullptr;
    reader->pcap = handle;
    reader->net = net;
    reader->mask = mask;
    return reinterpret_cast<PyObject *>(reader);
}

// Detaches the handle; it is released now, or by the read still running on it.
static void reader_release(ReaderObject *reader)
{
    pcap_t *handle = reader->pcap;
    reader->pcap = nullptr;
    if (handle == nullptr)
        return;
    if (ReadScope::reading(reader))
        pcap_breakloop(handle);
    else
        close_handle(handle);
}

static void reader_dealloc(PyObject *self)
{
    reader_release(reinterpret_cast<ReaderObject *>(self));
    PyObject_Free(self);
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

    ReadScope scope(reader);
    pcap_pkthdr *hdr = nullptr;
    const u_char *data = nullptr;
    PyThreadState *thread_state = PyEval_SaveThread();
    int status = pcap_next_ex(scope.handle(), &hdr, &data);
    PyEval_RestoreThread(thread_state);

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
    return Py_BuildValue("(Oy#)", header.get(), data, length);
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

static PyMethodDef reader_methods[] = {
    {"next", reader_next, METH_NOARGS, next_doc},
    {"close", reader_close, METH_NOARGS, close_doc},
    {"__enter__", reader_enter, METH_NOARGS, nullptr},
    {"__exit__", reader_close, METH_VARARGS, nullptr},
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
