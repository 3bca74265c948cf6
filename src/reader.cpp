// Reader: the capture handle object and everything done through it but
// reading (reads.cpp).
#include "reader.h"

#include <arpa/inet.h>

#include <climits>
#include <cstdint>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bpfprogram.h"
#include "compiler.h"
#include "dumper.h"
#include "handle.h"
#include "linktype.h"
#include "live_wait.h"
#include "module.h"
#include "pkthdr.h"
#include "reads.h"
#include "stream.h"
#include "tstamp.h"

// libpcap's text for a status that means nothing was done.
static PyObject *raise_status(int status)
{
    PyErr_SetString(PcapError, pcap_statustostr(status));
    return nullptr;
}

// ---------------------------------------------------------------------------

// Notes how the headers of state's handle read, once the handle's precision
// is fixed: on opening, and on activation of a handle from create(). Asked
// of libpcap here, once, rather than for each packet.
static void note_timestamp_form(HandleState *state)
{
    unsigned char form = 0;
    if (pcap_get_tstamp_precision(state->handle) == PCAP_TSTAMP_PRECISION_NANO)
        form |= TS_NANO;
    // pcapng files report their own major version, 1.
    if (pcap_file(state->handle) != nullptr && pcap_major_version(state->handle) == 2)
        form |= TS_CLASSIC_SECONDS;
    state->ts_form = form;
}

// For a live handle whose reads could not be made to answer the timeout,
// Ctrl-C and close(): take_over_waiting() failed, with errno set.
static void raise_no_wake_descriptor()
{
    PyErr_Format(PcapError, "Couldn't make the eventfd that wakes waiting reads: %s", std::strerror(errno));
}

PyObject *new_pcapobject(pcap_t *handle, unsigned int net, unsigned int mask)
{
    if (ready_type(&Pcaptype) < 0)
        return nullptr;
    ReaderObject *reader = PyObject_New(ReaderObject, &Pcaptype);
    if (reader == nullptr)
        return nullptr;
    HandleState *state = add_handle_state(reader, handle);
    if (state == nullptr) {
        PyObject_Free(reader);
        return PyErr_NoMemory();
    }
    reader->pcap = handle;
    if (pcap_file(handle) != nullptr) {
        state->stream = find_capture_stream(handle);
    } else if (pcap_datalink(handle) != PCAP_ERROR_NOT_ACTIVATED && !take_over_waiting(state)) {
        raise_no_wake_descriptor();
        forget_handle_state(reader);
        PyObject_Free(reader);
        return nullptr;
    }
    note_timestamp_form(state);
    reader->net = net;
    reader->mask = mask;
    return reinterpret_cast<PyObject *>(reader);
}

// The timeout a live handle's reads wait for once blocking. libpcap 1.10
// keeps a negative timeout as a non-blocking handle, and setnonblock(0) turns
// it into its complement: -100 times out after 99 ms, -1 never (0).
static int libpcap_timeout(int to_ms)
{
    return to_ms < 0 ? ~to_ms : to_ms;
}

void reader_set_read_timeout(PyObject *reader, int to_ms)
{
    if (HandleState *state = find_handle_state(reinterpret_cast<ReaderObject *>(reader)))
        state->timeout_ms = libpcap_timeout(to_ms);
}

void reader_set_dead(PyObject *reader)
{
    if (HandleState *state = find_handle_state(reinterpret_cast<ReaderObject *>(reader)))
        state->dead = true;
}

// Detaches the handle from the Reader. It is released now, or by the read
// still running on it when that read ends.
static void reader_release(ReaderObject *reader)
{
    pcap_t *handle = reader->pcap;
    reader->pcap = nullptr;
    HandleState *state = find_handle_state(reader);
    if (state == nullptr) {
        if (handle != nullptr)
            pcap_close(handle);
        return;
    }
    if (state->depth > 0 || state->compiling) {
        state->closed = true;
        pcap_breakloop(state->handle);
        wake_reader(state);
        if (state->stream != nullptr)
            wake_stream(state->stream);
    } else {
        release_handle(reader, state);
    }
}

static void reader_dealloc(PyObject *self)
{
    reader_release(reinterpret_cast<ReaderObject *>(self));
    PyObject_Free(self);
}

// ---------------------------------------------------------------------------

PyDoc_STRVAR(setfilter_doc, "compiles and sets a BPF capture filter");
static PyObject *reader_setfilter(PyObject *self, PyObject *args)
{
    ReaderObject *reader = reader_guard(self);
    if (reader == nullptr)
        return nullptr;
    const char *expression;
    if (!PyArg_ParseTuple(args, "s:setfilter", &expression))
        return nullptr;
    HandleState *state = claim(reader, Access::change);
    if (state == nullptr)
        return nullptr;
    // The compile runs without the lock: until it ends, the record refuses
    // other operations and defers close(), which leaves it in place.
    pcap_t *handle = state->handle;
    bpf_program program;
    char error[PCAP_ERRBUF_SIZE];
    CompileJob *running;
    state->compiling = true;
    Compiled compiled = compile_filter({handle, 0, 0, 1, reader->mask}, expression, program, error, &running);
    state->compiling = false;
    // Given up on (Ctrl-C): the compile goes on in the background and keeps
    // the handle until it ends; the installed filter stays as it was.
    state->compile = running;
    if (state->closed) {
        if (compiled == Compiled::program)
            pcap_freecode(&program);
        if (state->depth == 0)
            release_handle(reader, state);
        if (compiled == Compiled::raised)
            return nullptr;
        PyErr_SetString(PyExc_ValueError, "pcap is closed");
        return nullptr;
    }
    if (compiled == Compiled::raised)
        return nullptr;
    if (compiled == Compiled::refused) {
        PyErr_SetString(PcapError, error);
        return nullptr;
    }
    int status = pcap_setfilter(handle, &program);
    // libpcap keeps its own copy of an installed program.
    pcap_freecode(&program);
    if (status != 0)
        return raise_pcap_error(handle);
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

PyDoc_STRVAR(dump_open_append_doc, "creates a dumper object appending to a capture file");
static PyObject *reader_dump_open_append(PyObject *self, PyObject *args)
{
    ReaderObject *reader = reader_guard(self);
    if (reader == nullptr)
        return nullptr;
    const char *filename;
    if (!PyArg_ParseTuple(args, "s:dump_open_append", &filename) || claim(reader, Access::change) == nullptr)
        return nullptr;
    return dumper_open_append(reader->pcap, filename);
}

PyDoc_STRVAR(dump_fopen_doc, "creates a dumper object writing to a binary file object");
static PyObject *reader_dump_fopen(PyObject *self, PyObject *args)
{
    ReaderObject *reader = reader_guard(self);
    if (reader == nullptr)
        return nullptr;
    PyObject *file;
    if (!PyArg_ParseTuple(args, "O:dump_fopen", &file) || claim(reader, Access::change) == nullptr)
        return nullptr;
    return dumper_fopen(reader->pcap, file);
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
    const HandleState *state = find_handle_state(reader);
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
        // The reads honour the mode; a packet socket takes it for sending, as
        // libpcap would set it. Other devices are read without waiting.
        if (state->packet_socket && set_fd_nonblock(pcap_get_selectable_fd(state->handle), mode != 0) != 0) {
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

PyDoc_STRVAR(get_tstamp_precision_doc, "returns the time stamp precision");
static PyObject *reader_get_tstamp_precision(PyObject *self, PyObject *)
{
    ReaderObject *reader = reader_guard(self);
    if (reader == nullptr)
        return nullptr;
    return PyLong_FromLong(pcap_get_tstamp_precision(reader->pcap));
}

PyDoc_STRVAR(list_tstamp_types_doc, "returns the time stamp types the device supports");
static PyObject *reader_list_tstamp_types(PyObject *self, PyObject *)
{
    ReaderObject *reader = reader_guard(self);
    if (reader == nullptr)
        return nullptr;
    // A failure writes the handle's error text, which a running read may be
    // about to report.
    if (claim(reader, Access::change) == nullptr)
        return nullptr;
    return list_tstamp_types(reader->pcap);
}

PyDoc_STRVAR(getfd_doc, "get selectable pcap fd");
static PyObject *reader_getfd(PyObject *self, PyObject *)
{
    ReaderObject *reader = reader_guard(self);
    if (reader == nullptr)
        return nullptr;
    // libpcap gives the descriptor of its own stream; the module's stream
    // has none of its own (fopencookie), so the file's is given instead, and
    // -1 over a file object, whose own descriptor would be misleading: data
    // waits in its buffers above it.
    const HandleState *state = find_handle_state(reader);
    if (state != nullptr && state->stream != nullptr)
        return PyLong_FromLong(state->stream->fd);
    if (state != nullptr && state->dead)
        return PyLong_FromLong(-1);
    return Py_BuildValue("i", pcap_get_selectable_fd(reader->pcap));
}

PyDoc_STRVAR(list_datalinks_doc, "returns the link layer types the device offers");
static PyObject *reader_list_datalinks(PyObject *self, PyObject *)
{
    ReaderObject *reader = reader_guard(self);
    if (reader == nullptr || claim(reader, Access::change) == nullptr)
        return nullptr;
    return list_datalinks(reader->pcap);
}

PyDoc_STRVAR(set_datalink_doc, "sets the link layer type");
static PyObject *reader_set_datalink(PyObject *self, PyObject *args)
{
    ReaderObject *reader = reader_guard(self);
    if (reader == nullptr)
        return nullptr;
    int dlt;
    if (!PyArg_ParseTuple(args, "i:set_datalink", &dlt) || claim_parsed(self, Access::change) == nullptr)
        return nullptr;
    return set_datalink(reader->pcap, dlt);
}

// ---------------------------------------------------------------------------
// Settings before activation. libpcap's status, whatever it is, is the result:
// judging it is the caller's business.

static PyObject *reader_setting(PyObject *self, PyObject *args, int (*set)(pcap_t *, int),
                               const char *format = "i")
{
    ReaderObject *reader = reader_guard(self);
    if (reader == nullptr)
        return nullptr;
    int value;
    if (!PyArg_ParseTuple(args, format, &value))
        return nullptr;
    HandleState *state = claim_parsed(self, Access::change);
    if (state == nullptr)
        return nullptr;
    int status = set(state->handle, value);
    // libpcap does not tell the timeout back; the module's waits need it.
    if (set == pcap_set_timeout && status == 0)
        state->timeout_ms = libpcap_timeout(value);
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

PyDoc_STRVAR(set_tstamp_precision_doc, "set the time stamp precision for a not-yet-activated capture handle");
static PyObject *reader_set_tstamp_precision(PyObject *self, PyObject *args)
{
    return reader_setting(self, args, pcap_set_tstamp_precision, "i:set_tstamp_precision");
}

PyDoc_STRVAR(set_tstamp_type_doc, "set the time stamp type for a not-yet-activated capture handle");
static PyObject *reader_set_tstamp_type(PyObject *self, PyObject *args)
{
    return reader_setting(self, args, pcap_set_tstamp_type, "i:set_tstamp_type");
}

PyDoc_STRVAR(set_immediate_mode_doc, "set immediate mode for a not-yet-activated capture handle");
static PyObject *reader_set_immediate_mode(PyObject *self, PyObject *args)
{
    return reader_setting(self, args, pcap_set_immediate_mode, "i:set_immediate_mode");
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
    if (status != PCAP_ERROR_ACTIVATED)
        state->unactivated_fd = -1;  // libpcap closes it from now on
    if (status < 0 && status != PCAP_ERROR_ACTIVATED) {
        state->failed_activation = status;
    } else if (status >= 0 && !take_over_waiting(state)) {
        // libpcap cannot take an activation back: the handle is released, as
        // a failed open_live() releases it, rather than left to wait without
        // its timeout, Ctrl-C and close().
        raise_no_wake_descriptor();
        reader_release(reader);
        return nullptr;
    }
    note_timestamp_form(state);
    return Py_BuildValue("i", status);
}

static PyMethodDef reader_methods[] = {
    {"loop", reader_loop, METH_VARARGS, loop_doc},
    {"dispatch", reader_dispatch, METH_VARARGS, dispatch_doc},
    {"next", reader_next, METH_NOARGS, next_doc},
    {"breakloop", reader_breakloop, METH_NOARGS, breakloop_doc},
    {"setfilter", reader_setfilter, METH_VARARGS, setfilter_doc},
    {"getnet", reader_getnet, METH_VARARGS, getnet_doc},
    {"getmask", reader_getmask, METH_VARARGS, getmask_doc},
    {"datalink", reader_datalink, METH_VARARGS, datalink_doc},
    {"getnonblock", reader_getnonblock, METH_VARARGS, getnonblock_doc},
    {"setnonblock", reader_setnonblock, METH_VARARGS, setnonblock_doc},
    {"setdirection", reader_setdirection, METH_VARARGS, setdirection_doc},
    {"dump_open", reader_dump_open, METH_VARARGS, dump_open_doc},
    {"dump_open_append", reader_dump_open_append, METH_VARARGS, dump_open_append_doc},
    {"dump_fopen", reader_dump_fopen, METH_VARARGS, dump_fopen_doc},
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
    {"set_tstamp_precision", reader_set_tstamp_precision, METH_VARARGS, set_tstamp_precision_doc},
    {"get_tstamp_precision", reader_get_tstamp_precision, METH_NOARGS, get_tstamp_precision_doc},
    {"set_tstamp_type", reader_set_tstamp_type, METH_VARARGS, set_tstamp_type_doc},
    {"list_tstamp_types", reader_list_tstamp_types, METH_NOARGS, list_tstamp_types_doc},
    {"set_immediate_mode", reader_set_immediate_mode, METH_VARARGS, set_immediate_mode_doc},
    {"list_datalinks", reader_list_datalinks, METH_NOARGS, list_datalinks_doc},
    {"set_datalink", reader_set_datalink, METH_VARARGS, set_datalink_doc},
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
    .tp_iter = reader_iter,
    .tp_iternext = reader_iternext,
    .tp_methods = reader_methods,
};
