// The module's own streams under libpcap's capture files.
#include <Python.h>

#include "stream.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <unordered_map>

#include <fcntl.h>
#include <unistd.h>

#ifdef __GLIBC__
// The streams the module opened, by their FILE, for new_pcapobject to find.
// Never freed, like the handle records: a read still running in a thread
// that outlives the interpreter closes its stream after the static
// destructors have run.
static std::unordered_map<const FILE *, CaptureStream *> &capture_streams =
    *new std::unordered_map<const FILE *, CaptureStream *>;

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

CaptureStream *find_capture_stream(pcap_t *handle)
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

CaptureStream *find_capture_stream(pcap_t *)
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

bool raised_in_stream(CaptureStream *stream)
{
    if (stream == nullptr || !PyErr_Occurred())
        return false;
    clearerr(stream->file);
    return true;
}
