"""Capture files are read holding the interpreter lock until a read must wait:
a FIFO's feeder is never stalled, and every file reads as it does on libpcap's
own stream (the path kept for other libpcap versions)."""
import glob
import json
import os
import subprocess
import sys
import threading
import time

import pytest

import pcapfile
import wirelet
from conftest import SAMPLE

HERE = os.path.dirname(os.path.abspath(__file__))
FILES = sorted(glob.glob(os.path.join(HERE, "corpus", "*.pcap*"))) + [SAMPLE]

READ_FIFO = r"""
import os, sys, threading, time, wirelet
import pcapfile
fifo, how = sys.argv[1:3]
frames = [pcapfile.udp_frame(bytes([i]) * 30) for i in range(40)]
# Opened for both directions, so that neither side's open waits for the other.
feed = os.open(fifo, os.O_RDWR)
os.write(feed, pcapfile.global_header())
r = wirelet.open_offline(fifo)
lags = []
def feeder():
    for i, frame in enumerate(frames):
        time.sleep(0.01)
        start = time.monotonic()
        os.write(feed, pcapfile.record(frame, ts=(i, 0)))
        lags.append(time.monotonic() - start)
    os.close(feed)
t = threading.Thread(target=feeder)
t.start()
got = []
if how == "next":
    while True:
        h, d = r.next()
        if h is None:
            break
        got.append(d)
else:
    getattr(r, how)(-1, lambda h, d: got.append(d))
t.join()
print(got == frames, max(lags) < 1.0)
"""


@pytest.mark.parametrize("how", ["next", "loop", "dispatch"])
@pytest.mark.parametrize("mode", [None, "otherlib"])
def test_a_fifo_fed_slowly_by_another_thread(tmp_path, shim, how, mode):
    # Were the lock kept while the read waits for the FIFO, the feeder could
    # never write and both would wait for good.
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    out, _ = shim(mode, f"import sys; sys.path.insert(0, {HERE!r})\n" + READ_FIFO, fifo, how)
    assert out == "True True"


DIGEST = r"""
import hashlib, json, os, sys, wirelet
out = {}
for path in sys.argv[1:]:
    for how in ("next", "loop", "dispatch", "filtered"):
        digest, count, error = hashlib.sha256(), [0], None
        def take(h, d):
            digest.update(repr((h.getts(), h.getcaplen(), h.getlen())).encode() + d)
            count[0] += 1
        try:
            r = wirelet.open_offline(path)
        except wirelet.PcapError as exc:
            out[f"{path} {how}"] = str(exc)
            continue
        try:
            if how == "filtered":
                r.setfilter("udp or ip6")
            if how == "next":
                while True:
                    h, d = r.next()
                    if h is None:
                        break
                    take(h, d)
            else:
                while (r.dispatch(3, take) if how == "dispatch" else r.loop(-1, take)):
                    pass
        except wirelet.PcapError as exc:
            error = str(exc)
        fd = r.getfd()
        out[f"{path} {how}"] = [count[0], digest.hexdigest(), error, os.path.samestat(os.fstat(fd), os.stat(path))]
        r.close()
print(json.dumps(out, sort_keys=True))
"""


def test_every_file_reads_as_on_libpcap_s_own_stream(shim, tmp_path):
    paths = FILES + [str(tmp_path), str(tmp_path / "missing.pcap"),
                     pcapfile.write(tmp_path / "long.pcap", [pcapfile.udp_frame(b"l" * (i % 1400))
                                                            for i in range(3000)])]
    own, _ = shim(None, DIGEST, *paths)
    other, _ = shim("otherlib", DIGEST, *paths)
    assert json.loads(own) == json.loads(other)
    results = json.loads(own)
    assert results[f"{SAMPLE} next"][0] == 21 and results[f"{SAMPLE} filtered"][0] > 0
    assert "No such file or directory" in results[f"{tmp_path / 'missing.pcap'} next"]


def test_other_threads_run_while_a_file_is_read(capture):
    # The lock is given up at each refill of the stream's buffer and by the
    # interpreter between bytecodes; a loop with no Python per packet still
    # lets a ticker run.
    path = capture([pcapfile.udp_frame(b"t" * 60)] * 200_000)
    ticks, stop = [], threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)
    t = threading.Thread(target=ticker)
    t.start()
    with wirelet.open_offline(path) as r, open(os.devnull, "wb"):
        d = r.dump_open(os.devnull)
        start = time.monotonic()
        r.loop(-1, d.dump)
        end = time.monotonic()
        d.close()
    stop.set()
    t.join()
    during = [x for x in ticks if start < x < end]
    assert len(during) >= 2 or end - start < 0.05


INTERRUPT_FIFO = r"""
import os, signal, sys, threading, wirelet
import pcapfile
feed = os.open(sys.argv[1], os.O_RDWR)
os.write(feed, pcapfile.global_header())
r = wirelet.open_offline(sys.argv[1])
def nested(*args):
    try:
        r.next()  # the read below is in the middle of its fread()
    except wirelet.PcapError:
        print("refused")
signal.signal(signal.SIGUSR1, nested)
threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGUSR1)).start()
threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
try:
    r.next()
except KeyboardInterrupt:
    print("interrupted")
# Nothing of the stream was lost: the next record reads whole.
os.write(feed, pcapfile.record(b"after", ts=(1, 0)))
print(r.next()[1])
"""


def test_ctrl_c_ends_a_read_that_waits_for_a_fifo(tmp_path, shim):
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    out, _ = shim(None, f"import sys; sys.path.insert(0, {HERE!r})\n" + INTERRUPT_FIFO, fifo)
    assert out.splitlines() == ["refused", "interrupted", "b'after'"]


CUT_SHORT = r"""
import os, signal, sys, wirelet
import pcapfile
records = [pcapfile.record(bytes([i]) * 40, ts=(i, 0)) for i in range(4)]
feed = os.open(sys.argv[1], os.O_RDWR)
os.write(feed, pcapfile.global_header() + records[0] + records[1][:8])
r = wirelet.open_offline(sys.argv[1])
def interrupt(*args):
    raise KeyboardInterrupt
signal.signal(signal.SIGALRM, interrupt)
got = [r.next()[1][0]]
# Interrupted inside a record's header, then inside a record's data.
for how, rest in (("next", records[1][8:] + records[2][:30]), ("loop", records[2][30:] + records[3])):
    signal.setitimer(signal.ITIMER_REAL, 0.1)
    try:
        r.next() if how == "next" else r.loop(-1, lambda h, d: got.append(d[0]))
    except KeyboardInterrupt:
        got.append(how)
    os.write(feed, rest)
os.close(feed)
r.loop(-1, lambda h, d: got.append(d[0]))
print(got)
"""


def test_a_read_interrupted_inside_a_record_loses_nothing(tmp_path, shim):
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    out, _ = shim(None, f"import sys; sys.path.insert(0, {HERE!r})\n" + CUT_SHORT, fifo)
    assert out == "[0, 'next', 1, 'loop', 2, 3]"


WAIT = r"""
import signal, sys, threading, wirelet
signal.signal(signal.SIGALRM, lambda *args: None)
signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)  # harmless signals throughout
r = wirelet.open_offline(sys.argv[1])
first = r.next()[1]
threading.Timer(0.2, r.close).start()
result = r.next() if sys.argv[2] == "next" else r.loop(-1, print)
signal.setitimer(signal.ITIMER_REAL, 0)
print(first, result)
"""


@pytest.mark.parametrize("how", ["next", "loop"])
@pytest.mark.parametrize("source", ["fifo", "stdin"])
def test_waits_on_a_fifo_or_standard_input_answer_signals_and_close(tmp_path, source, how):
    # The open waits for the FIFO's writer, then for the header, which comes
    # late with a record; the writer never sends more nor goes away.
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    path = fifo if source == "fifo" else "-"
    child = subprocess.Popen([sys.executable, "-c", WAIT, path, how], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        time.sleep(0.2)
        feed = os.open(fifo, os.O_RDWR) if source == "fifo" else child.stdin.fileno()
        time.sleep(0.2)
        os.write(feed, pcapfile.global_header() + pcapfile.record(b"late"))
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
        if source == "fifo":
            os.close(feed)
    assert child.returncode == 0, err
    assert out.strip() == ("b'late' (None, b'')" if how == "next" else "b'late' None")


def test_breakloop_ends_a_wait_for_a_fifo_inside_a_record_and_loses_nothing(tmp_path):
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    feed = os.open(fifo, os.O_RDWR)
    try:
        second = pcapfile.record(b"second", ts=(2, 0))
        os.write(feed, pcapfile.global_header() + pcapfile.record(b"first") + second[:10])
        r = wirelet.open_offline(fifo)
        threading.Timer(0.2, r.breakloop).start()
        assert [d for h, d in r] == [b"first"]
        os.write(feed, second[10:])
        assert r.next()[1] == b"second"
        r.close()
    finally:
        os.close(feed)


OPEN_FIFO = r"""
import signal, sys, threading, wirelet
import pcapfile
fifo = sys.argv[1]
def interrupt(*args):
    raise KeyboardInterrupt
signal.signal(signal.SIGALRM, interrupt)
signal.setitimer(signal.ITIMER_REAL, 0.1)
try:
    wirelet.open_offline(fifo)  # no writer comes
except KeyboardInterrupt:
    print("interrupted")
def writer():  # in this process: the open must not hold the lock
    with open(fifo, "wb") as f:
        f.write(pcapfile.global_header() + pcapfile.record(b"from a thread"))
threading.Thread(target=writer).start()
print(wirelet.open_offline(fifo).next()[1])
"""


def test_opening_a_fifo_waits_like_python_s_open(tmp_path, shim):
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    out, _ = shim(None, f"import sys; sys.path.insert(0, {HERE!r})\n" + OPEN_FIFO, fifo)
    assert out.splitlines() == ["interrupted", "b'from a thread'"]
