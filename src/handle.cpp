// The per-handle record and the rule of one operation at a time.
#include <Python.h>

#include "handle.h"

#include <unistd.h>

#include <cstdint>
#include <exception>
#include <unordered_map>

#include "module.h"
#include "stream.h"

static std::unordered_map<const void *, HandleState> handle_states;
const void *cached_handle_key;
HandleState *cached_handle_state;

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

HandleState *add_handle_state(const void *key, pcap_t *handle)
{
    static const bool fork_handler = pthread_atfork(nullptr, nullptr, forget_reads_after_fork) == 0;
    (void)fork_handler;
    try {
        HandleState *state = &handle_states.insert_or_assign(key, HandleState{handle}).first->second;
        if (key == cached_handle_key)
            cached_handle_state = state;
        return state;
    } catch (const std::exception &) {
        return nullptr;
    }
}

HandleState *find_handle_state_uncached(const void *key)
{
    auto found = handle_states.find(key);
    if (found == handle_states.end())
        return nullptr;
    cached_handle_key = key;
    cached_handle_state = &found->second;
    return cached_handle_state;
}

void release_handle(const void *key, HandleState *state)
{
    pcap_t *handle = state->handle;
    PyObject *pair = state->pair;
    if (state->wake_fd >= 0)
        close(state->wake_fd);
    if (key == cached_handle_key)
        cached_handle_key = nullptr;
    handle_states.erase(key);
    pcap_close(handle);
    // Last: freeing the pair runs no Python code, but the record is gone
    // whatever it does.
    Py_XDECREF(pair);
}

bool spend_break_request(HandleState *state)
{
    state->break_requested = false;
    uint64_t count;
    if (state->wake_fd >= 0 && read(state->wake_fd, &count, sizeof count) < 0) {
        // Already drained by the wait that breakloop() woke.
    }
    if (state->stream != nullptr && state->stream->wake_fd >= 0 &&
        read(state->stream->wake_fd, &count, sizeof count) < 0) {
        // No read waited on the stream, or it was drained.
    }
    return true;
}

HandleState *claim(const void *key, Access access)
{
    HandleState *state = find_handle_state(key);
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
    // A signal handler or a file object's method run from inside the stream,
    // in the middle of a fread().
    if (access == Access::read && state->stream != nullptr && state->stream->running_handlers) {
        PyErr_SetString(PcapError,
                        "a read is in progress on this Reader: it cannot be read from a signal handler or its file");
        return nullptr;
    }
    return state;
}
