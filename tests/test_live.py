"""Live capture on the loopback device (root only; skipped without it)."""
import threading
import time

import pytest

import wirelet
from conftest import LoTraffic, needs_root, open_fds

pytestmark = needs_root


def next_matching(reader, port, deadline=5.0):
    """Reads until a packet to the given UDP port arrives; None on timeout."""
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        header, data = reader.next()
        if header is not None and len(data) >= 38 and int.from_bytes(data[36:38], "big") == port:
            return header, data
    return None


def test_next_reads_traffic_sent_to_loopback(lo_traffic):
    with wirelet.open_live("lo", 65535, 0, 50) as r:
        got = next_matching(r, lo_traffic.port)
        assert got is not None
        header, data = got
        assert data.endswith(lo_traffic.payload)
        assert header.getcaplen() == header.getlen() == len(data) == 14 + 20 + 8 + len(lo_traffic.payload)
        sec, usec = header.getts()
        assert abs(sec - time.time()) < 60 and 0 <= usec < 1_000_000


def test_snaplen_cuts_live_packets(lo_traffic):
    with wirelet.open_live("lo", 40, 1, 50) as r:
        header, data = next_matching_short(r)
        assert len(data) == header.getcaplen() == 40 < header.getlen()


def next_matching_short(reader, deadline=5.0):
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        header, data = reader.next()
        if header is not None:
            return header, data
    pytest.fail("no packet arrived")


def test_unactivated_handle_reads_nothing_and_raises_nothing():
    with wirelet.create("lo") as r:
        assert r.next() == (None, b"")
        assert r.next() == (None, b"")


def test_close_from_another_thread_while_next_waits():
    before = open_fds()
    r = wirelet.open_live("lo", 65535, 0, 1000)
    result = {}

    def reader():
        # No traffic on purpose: the read waits until the close stops it.
        result["first"] = r.next()
        try:
            r.next()
        except ValueError as exc:
            result["after"] = str(exc)

    t = threading.Thread(target=reader)
    t.start()
    time.sleep(0.3)
    r.close()
    t.join(10)
    assert not t.is_alive(), "next() did not return after close()"
    assert result["after"] == "pcap is closed"
    assert open_fds() == before


def test_other_threads_run_while_next_waits():
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.005)
    # A long packet-buffer timeout and sparse traffic make the call wait.
    with wirelet.open_live("lo", 65535, 0, 500) as r, LoTraffic(interval=0.2):
        t = threading.Thread(target=ticker)
        t.start()
        try:
            start = time.monotonic()
            r.next()
            end = time.monotonic()
        finally:
            stop.set()
            t.join()
    during = [x for x in ticks if start < x < end]
    assert end - start > 0.1
    assert len(during) >= (end - start) / 0.05


def test_loop_and_dispatch_on_loopback_with_a_filter(lo_traffic):
    expr = f"udp and dst port {lo_traffic.port} and dst host 127.0.0.1"
    with wirelet.open_live("lo", 65535, 0, 50) as r:
        r.setfilter(expr)
        got = []
        assert r.loop(5, lambda h, d: got.append(d)) is None
        assert len(got) == 5 and all(d.endswith(lo_traffic.payload) for d in got)
        total = 0
        end = time.monotonic() + 5
        while total == 0 and time.monotonic() < end:
            n = r.dispatch(-1, lambda h, d: got.append(d))
            assert n >= 0
            total += n
        assert total > 0 and len(got) == 5 + total


def test_callable_exception_ends_a_live_loop(lo_traffic):
    with wirelet.open_live("lo", 65535, 0, 50) as r:
        r.setfilter(f"udp dst port {lo_traffic.port}")

        def callback(h, d):
            raise KeyError("stop")
        with pytest.raises(KeyError):
            r.loop(-1, callback)
        # The handle carries on normally afterwards.
        seen = []
        r.loop(2, lambda h, d: seen.append(d))
        assert len(seen) == 2


def test_close_from_another_thread_ends_an_idle_loop():
    before = open_fds()
    for method in ("loop", "dispatch"):
        r = wirelet.open_live("lo", 65535, 0, 1000)
        r.setfilter("udp port 9")  # nothing is sent there
        result = {}
        t = threading.Thread(target=lambda: result.setdefault("value", getattr(r, method)(-1, print)))
        t.start()
        time.sleep(0.3)
        r.close()
        t.join(10)
        assert not t.is_alive(), f"{method} did not return after close()"
        assert result["value"] == (None if method == "loop" else 0)
    assert open_fds() == before


def test_a_live_reader_is_read_by_one_call_at_a_time(lo_traffic):
    with wirelet.open_live("lo", 65535, 0, 50) as r:
        r.setfilter(f"udp dst port {lo_traffic.port}")
        refused = []

        def callback(h, d):
            # Reading again from here would hand the outer read's ring block
            # back to the kernel; filtering is fine.
            for nested in (r.next, lambda: r.dispatch(2, print), lambda: r.loop(1, print)):
                with pytest.raises(wirelet.PcapError, match="own callable"):
                    nested()
                refused.append(1)
            r.setfilter(f"udp dst port {lo_traffic.port}")
        assert r.dispatch(1, callback) == 1 and len(refused) == 3
        # Another thread's read holds the handle; its statistics stay readable.
        from test_threads import BUSY, Parked
        parked = Parked(r, "dispatch")
        for call in (r.next, lambda: r.loop(1, print), lambda: r.setnonblock(1)):
            with pytest.raises(wirelet.PcapError, match=BUSY):
                call()
        assert len(r.stats()) == 3
        parked.finish()
