"""Readers used from several threads at once, and closed under a running read."""
import subprocess
import sys
import threading

import pytest

import pcapfile
import wirelet
from conftest import ROOT, LoTraffic, open_fds


def digest(path, how):
    out = []
    with wirelet.open_offline(path) as r:
        if how == "next":
            while True:
                h, d = r.next()
                if h is None:
                    break
                out.append((h.getts(), h.getlen(), d))
        else:
            getattr(r, how)(-1, lambda h, d: out.append((h.getts(), h.getlen(), d)))
    return out


def test_concurrent_readers_match_sequential_reads(capture):
    paths = [capture([pcapfile.udp_frame(bytes([i]) * (j % 90), dport=i) for j in range(3000)])
             for i in range(6)]
    jobs = [(p, how) for p in paths for how in ("next", "loop", "dispatch")]
    expected = [digest(p, how) for p, how in jobs]
    results = [None] * len(jobs)

    def work(i):
        results[i] = digest(*jobs[i])
    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(jobs))]
    if ROOT:
        # Live readers on lo run alongside the file readers.
        traffic = LoTraffic()
        traffic.__enter__()
        live_counts = []

        def live():
            with wirelet.open_live("lo", 256, 0, 20) as r:
                r.setfilter(f"udp dst port {traffic.port}")
                got = []
                r.loop(20, lambda h, d: got.append(d))
                live_counts.append(sum(d.endswith(traffic.payload) for d in got))
        threads += [threading.Thread(target=live) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    if ROOT:
        traffic.__exit__()
        assert live_counts == [20, 20]
    assert results == expected


CLOSE_UNDER_READ = r"""
import os, sys, threading, time, wirelet
path, how = sys.argv[1:3]
fds = len(os.listdir("/proc/self/fd"))
for attempt in range(20):
    r = wirelet.open_offline(path)
    started = threading.Event()
    seen = []
    def cb(h, d):
        seen.append(1)
        started.set()
    def run():
        if how == "next":
            while True:
                started.set()
                try:
                    h, d = r.next()
                except ValueError:
                    break
                if h is None:
                    break
        else:
            getattr(r, how)(-1, cb)
    t = threading.Thread(target=run)
    t.start()
    started.wait(10)
    time.sleep(attempt * 0.0005)
    r.close()
    t.join(10)
    assert not t.is_alive()
    try:
        r.next()
        raise SystemExit("still open")
    except ValueError:
        pass
del r
assert len(os.listdir("/proc/self/fd")) == fds, "handle leaked"
print("ok")
"""


def test_closing_from_another_thread_during_a_read(capture):
    path = capture([pcapfile.udp_frame(b"c" * 50)] * 200000)
    for how in ("next", "loop", "dispatch"):
        proc = subprocess.run([sys.executable, "-c", CLOSE_UNDER_READ, path, how],
                              capture_output=True, text=True, timeout=120)
        assert proc.returncode == 0 and proc.stdout == "ok\n", (how, proc.returncode, proc.stderr[-2000:])


def test_many_threads_closing_and_reading_one_reader(capture):
    # Closing is idempotent from any number of threads at once.
    path = capture([pcapfile.udp_frame(b"z")] * 50000)
    before = open_fds()
    r = wirelet.open_offline(path)
    t = threading.Thread(target=lambda: r.loop(-1, lambda h, d: None))
    closers = [threading.Thread(target=r.close) for _ in range(8)]
    t.start()
    for c in closers:
        c.start()
    for c in closers + [t]:
        c.join(30)
    del r, t
    assert open_fds() == before


# ---------------------------------------------------------------------------
# One operation on a handle at a time.

BUSY = "^a read is in progress on this Reader in another thread$"
# What may run beside a read in another thread: answers from fields that no
# read changes.
QUERIES = ("getnet", "getmask", "datalink", "getfd", "getnonblock")


def changes(r, path):
    """Every call that hands the handle to libpcap, by name."""
    return {"next": r.next, "loop": lambda: r.loop(1, print), "dispatch": lambda: r.dispatch(1, print),
            "setfilter": lambda: r.setfilter("udp"), "setnonblock": lambda: r.setnonblock(0),
            "setdirection": lambda: r.setdirection(wirelet.PCAP_D_IN),
            "sendpacket": lambda: r.sendpacket(bytes(60)), "dump_open": lambda: r.dump_open(path),
            "set_snaplen": lambda: r.set_snaplen(100), "set_timeout": lambda: r.set_timeout(10),
            "activate": r.activate}


class Parked:
    """Runs r.<method>(-1, ...) in a thread whose callable waits at the first
    packet until released: a read held in progress, inside the callable."""

    def __init__(self, r, method="loop"):
        self.seen, self.inside, self.go = [], threading.Event(), threading.Event()
        self.errors = []

        def callback(h, d):
            self.seen.append(d)
            self.inside.set()
            self.go.wait(30)
        self.thread = threading.Thread(target=lambda: self._run(getattr(r, method), callback))
        self.thread.start()
        assert self.inside.wait(30)

    def _run(self, method, callback):
        try:
            method(-1, callback)
        except Exception as exc:  # reported by the test
            self.errors.append(exc)

    def finish(self):
        self.go.set()
        self.thread.join(30)
        assert not self.thread.is_alive() and self.errors == []
        return self.seen


def test_calls_from_another_thread_during_a_read_are_refused(capture, tmp_path):
    frames = [pcapfile.udp_frame(bytes([i]) * 30) for i in range(50)]
    r = wirelet.open_offline(capture(frames))
    parked = Parked(r)
    for name, call in changes(r, str(tmp_path / "d.pcap")).items():
        with pytest.raises(wirelet.PcapError, match=BUSY):
            call()
    with pytest.raises(wirelet.PcapError, match=BUSY):
        r.stats()  # a capture file's refusal would write the read's error text
    assert [getattr(r, q)() for q in QUERIES] == [r.getnet(), "0.0.0.0", 1, r.getfd(), 0]
    # The read was left alone: every packet, once, in order.
    assert parked.finish() == frames
    r.close()


NEXT_FROM_TWO_THREADS = r"""
import sys, threading, wirelet
r = wirelet.open_offline(sys.argv[1])
got, refused = [[], []], [0, 0]
def work(i):
    while True:
        try:
            h, d = r.next()
        except wirelet.PcapError as exc:
            assert "another thread" in str(exc), exc
            refused[i] += 1
            continue
        if h is None:
            return
        got[i].append(d)
threads = [threading.Thread(target=work, args=(i,)) for i in (0, 1)]
for t in threads: t.start()
for t in threads: t.join()
print(sorted(got[0] + got[1]) == sorted(bytes([i % 256]) * 40 + i.to_bytes(4, "big") for i in range(int(sys.argv[2]))),
      sum(refused) > 0)
"""


def test_two_threads_reading_one_file_share_its_packets(capture):
    n = 100_000
    path = capture([bytes([i % 256]) * 40 + i.to_bytes(4, "big") for i in range(n)])
    proc = subprocess.run([sys.executable, "-c", NEXT_FROM_TWO_THREADS, path, str(n)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.split()[0] == "True"  # none lost, none twice, none corrupted


def test_the_callable_of_a_file_read_may_read_filter_and_close(three):
    path, frames = three
    with wirelet.open_offline(path) as r:
        got = []

        def callback(h, d):
            got.append(d)
            if len(got) == 1:
                r.setfilter("udp")
                got.append(r.next()[1])
        assert r.loop(-1, callback) is None
    assert got == frames


FORK_DURING_READ = r"""
import os, sys, threading, wirelet
fds = lambda: len(os.listdir("/proc/self/fd"))
path = sys.argv[1]
r, orphan = wirelet.open_offline(path), wirelet.open_offline(path)
inside, go = threading.Event(), threading.Event()
def parked(reader):
    def callback(h, d):
        inside.set()
        go.wait(30)
    return threading.Thread(target=reader.loop, args=(-1, callback))
threads = [parked(r), parked(orphan)]
for t in threads:
    inside.clear(); t.start(); assert inside.wait(30)
orphan.close()          # deferred: its read is still running
pid = os.fork()
if pid == 0:
    before = fds()
    r.close()            # no read runs in the child: released at once
    orphan.close()       # and so is the one the parent closed under its read
    assert fds() == before - 2, (before, fds())
    # New threads reuse the stacks of the parent's readers.
    for _ in range(3):
        t = threading.Thread(target=lambda: [wirelet.open_offline(path).loop(-1, lambda h, d: None)
                                             for _ in range(20)])
        t.start(); t.join()
    os._exit(0)
_, status = os.waitpid(pid, 0)
go.set()
for t in threads: t.join(30)
print(os.waitstatus_to_exitcode(status))
"""


def test_fork_while_reads_run(capture):
    path = capture([pcapfile.udp_frame(b"f" * 20)] * 100)
    proc = subprocess.run([sys.executable, "-c", FORK_DURING_READ, path],
                          capture_output=True, text=True, timeout=120)
    assert (proc.returncode, proc.stdout) == (0, "0\n"), proc.stderr[-2000:]
