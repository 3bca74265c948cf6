"""Readers used from several threads at once, and closed under a running read."""
import subprocess
import sys
import threading

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
