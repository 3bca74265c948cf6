import gc
import itertools
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

import pcapfile

# The Ctrl-C tests send SIGINT to child interpreters, which keep an ignored
# SIGINT ignored: a suite started in the background of a shell without job
# control would hand that on. A handler here is reset to the default on exec.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

ROOT = os.geteuid() == 0
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

# Under the sanitizer build the runtime is preloaded into every child process
# too, tcpdump and the C compiler included, whose own leaks are not ours:
# leaks are checked in this process, memory errors in all of them.
if SANITIZED:
    os.environ["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
needs_root = pytest.mark.skipif(not ROOT, reason="live capture needs root")
REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), os.pardir))
SAMPLE = os.path.join(REPO, "examples", "loopback.pcap")

# The matrix tests, which make matrix runs on every supported interpreter
# besides the default one: the behaviour of each type and module function, on
# files and on lo. Between them they call every function and method of the
# module (test_leaks.py holds them to it). The leak checks, the malformed-file
# corpus, the examples, the benchmark's own tests, the stubs and the wheel run
# on the default interpreter only.
MATRIX_TESTS = {"test_module.py", "test_reader.py", "test_next.py", "test_capture.py", "test_dumper.py",
                "test_filter.py", "test_bpf.py", "test_device.py", "test_device_live.py", "test_live.py",
                "test_threads.py", "test_live_waits.py", "test_timestamps.py"}


def pytest_configure(config):
    config.addinivalue_line("markers", "matrix: run on every supported interpreter (conftest.MATRIX_TESTS)")


def pytest_collection_modifyitems(items):
    for item in items:
        if item.path.name in MATRIX_TESTS:
            item.add_marker(pytest.mark.matrix)


@pytest.fixture
def capture(tmp_path):
    """Writes a classic capture file and returns its path: capture(packets, **kw)."""
    count = iter(range(1_000_000))

    def make(packets, **kw):
        return pcapfile.write(tmp_path / f"c{next(count)}.pcap", packets, **kw)
    return make


@pytest.fixture
def three(capture):
    """Three UDP frames of different lengths, 1s apart."""
    frames = [pcapfile.udp_frame(b"p" * n, dport=1000 + n) for n in (1, 20, 300)]
    return capture(frames), frames


class LoTraffic:
    """Sends UDP datagrams to 127.0.0.1:port every few milliseconds, from a
    thread, until stopped: live reads on lo never wait for a packet that
    does not come."""

    def __init__(self, port=None, payload=b"wirelet-test", interval=0.005):
        self.sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sink.bind(("127.0.0.1", port or 0))
        self.port = self.sink.getsockname()[1]
        self.payload = payload
        self.interval = interval
        self.sent = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as tx:
            while not self._stop.is_set():
                tx.sendto(self.payload, ("127.0.0.1", self.port))
                self.sent += 1
                time.sleep(self.interval)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        self.sink.close()


@pytest.fixture
def lo_traffic():
    with LoTraffic() as traffic:
        yield traffic


def open_fds():
    gc.collect()
    return len(os.listdir("/proc/self/fd"))


# ---------------------------------------------------------------------------
# A veth pair, both ends inside a namespace of the test's own: wla carries
# 192.0.2.1/24 and wlb 192.0.2.130/25. Code runs in the namespace through
# `ip netns exec`, in a subprocess that prints its findings as JSON.

_namespaces = itertools.count()
ETHERTYPE = 0x88B5  # local experimental: nothing else on the pair uses it
MAC_A, MAC_B = "02:00:00:00:00:0a", "02:00:00:00:00:0b"


@pytest.fixture(scope="module")
def netns():
    name = f"wl-{os.getpid()}-{next(_namespaces)}"

    def ip(*args):
        subprocess.run(["ip", *args], check=True, capture_output=True, timeout=30)
    ip("netns", "add", name)
    try:
        ip("-n", name, "link", "add", "wla", "address", MAC_A, "type", "veth",
           "peer", "name", "wlb", "address", MAC_B)
        ip("-n", name, "addr", "add", "192.0.2.1/24", "dev", "wla")
        ip("-n", name, "addr", "add", "192.0.2.130/25", "dev", "wlb")
        ip("-n", name, "link", "set", "wla", "up")
        ip("-n", name, "link", "set", "wlb", "up")
        yield name
    finally:
        # The pair goes with the namespace.
        subprocess.run(["ip", "netns", "del", name], capture_output=True, timeout=30)


def in_netns(name, code):
    out = subprocess.run(["ip", "netns", "exec", name, sys.executable, "-c", code],
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout)


@pytest.fixture(scope="session")
def shim(tmp_path_factory):
    """shim(mode, code, *args): runs code in a Python child with tests/pcapshim.c
    preloaded in that mode (mode None: without it); returns its stdout and
    stderr, stripped."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler for the libpcap stand-in")
    library = str(tmp_path_factory.mktemp("shim") / "pcapshim.so")
    source = os.path.join(os.path.dirname(__file__), "pcapshim.c")
    subprocess.run([compiler, "-shared", "-fPIC", "-o", library, source], check=True)

    def run(mode, code, *args):
        preload = " ".join(filter(None, (os.environ.get("LD_PRELOAD"), mode and library)))  # after a sanitizer's
        out = subprocess.run([sys.executable, "-c", "import wirelet\n" + code, *args], capture_output=True,
                             text=True, timeout=120, env={**os.environ, "LD_PRELOAD": preload, "WIRELET_SHIM": mode or ""})
        assert out.returncode == 0, out.stderr
        return out.stdout.strip(), out.stderr.strip()
    return run
