"""loop() and dispatch() on capture files: delivery, results, references."""
import sys

import pytest

import pcapfile
import wirelet
from conftest import open_fds


def collect(into):
    return lambda h, d: into.append((h.getts(), h.getcaplen(), h.getlen(), d))


def test_loop_and_dispatch_deliver_every_packet_in_order(three):
    path, frames = three
    for count in (-1, 0, 10):
        got = []
        with wirelet.open_offline(path) as r:
            assert r.loop(count, collect(got)) is None
        assert [d for *_, d in got] == frames
    got = []
    with wirelet.open_offline(path) as r:
        assert r.dispatch(-1, collect(got)) == 3
        assert r.dispatch(-1, collect(got)) == 0
    assert [d for *_, d in got] == frames


def test_counts_stop_early_and_reading_resumes(three):
    path, frames = three
    got = []
    with wirelet.open_offline(path) as r:
        assert r.loop(1, collect(got)) is None
        assert r.dispatch(1, collect(got)) == 1
        assert r.next()[1] == frames[2]
        assert r.loop(-1, collect(got)) is None
    assert [d for *_, d in got] == frames[:2]


def test_breakloop_ends_a_read_and_the_reader_goes_on(capture):
    frames = [pcapfile.udp_frame(bytes([i])) for i in range(6)]
    path = capture(frames)
    r = wirelet.open_offline(path)
    got = []

    def stop_at_two(h, d):
        got.append(d)
        if len(got) == 2:
            r.breakloop()
    # From the callable: dispatch() returns what it handed over, loop() None;
    # the packet after the break comes next, once.
    assert r.dispatch(-1, stop_at_two) == 2
    got.clear()
    assert r.loop(-1, stop_at_two) is None
    assert got == frames[2:4]
    # With no read running, it ends the next read only, whichever it is.
    for read, ended in ((r.next, (None, b"")), (lambda: r.loop(-1, print), None),
                        (lambda: r.dispatch(-1, print), 0), (lambda: list(r), [])):
        r.breakloop()
        assert read() == ended
    assert r.next()[1] == frames[4] and r.dispatch(-1, lambda h, d: None) == 1


def test_headers_outlive_the_capture_and_the_reader(three):
    path, frames = three
    kept = []
    r = wirelet.open_offline(path)
    r.loop(-1, lambda h, d: kept.append((h, d)))
    r.close()
    del r
    assert [(h.getcaplen(), d) for h, d in kept] == [(len(f), f) for f in frames]


def test_return_value_of_the_callable_is_ignored(three):
    path, _ = three
    with wirelet.open_offline(path) as r:
        assert r.dispatch(-1, lambda h, d: object()) == 3


def test_no_reference_is_kept_to_callable_headers_or_bytes(capture):
    path = capture([pcapfile.udp_frame(b"r" * (i % 50)) for i in range(20000)])
    refs = []

    def callback(h, d):
        if len(refs) < 3:
            refs.append((sys.getrefcount(h), sys.getrefcount(d)))

    with wirelet.open_offline(path) as r:
        r.dispatch(10, callback)  # warm-up: type readying, caches
        before_cb, before_blocks = sys.getrefcount(callback), sys.getallocatedblocks()
        assert r.dispatch(-1, callback) == 19990
        after_blocks = sys.getallocatedblocks()
        assert sys.getrefcount(callback) == before_cb
    assert after_blocks - before_blocks < 50
    # Inside the call only the argument tuple and the frame hold them.
    assert len(set(refs)) == 1


def test_argument_errors_and_guard_order(three):
    path, _ = three
    r = wirelet.open_offline(path)
    with pytest.raises(TypeError, match="loop"):
        r.loop(-1)
    with pytest.raises(TypeError, match="dispatch"):
        r.dispatch(1)
    with pytest.raises(TypeError):
        r.dispatch("x", print)
    with pytest.raises(OverflowError):
        r.loop(2**31, print)
    with pytest.raises(TypeError):
        r.loop(count=1, callback=print)
    assert r.loop.__doc__ == "loops packet dispatching" and r.dispatch.__doc__ == "dispatchs packets"
    r.close()
    with pytest.raises(ValueError, match="pcap is closed"):
        r.loop()
    with pytest.raises(ValueError, match="pcap is closed"):
        r.dispatch(1, 2, 3)


class Boom(Exception):
    pass


def raise_on(n, seen):
    def callback(h, d):
        seen.append(d)
        if len(seen) == n:
            raise Boom(n)
    return callback


class TestCallableExceptions:
    def test_loop_stops_at_the_raising_packet_and_raises_it(self, three):
        path, _ = three
        seen = []
        with wirelet.open_offline(path) as r:
            with pytest.raises(Boom):
                r.loop(-1, raise_on(1, seen))
        assert len(seen) == 1

    def test_dispatch_count_is_not_returned_when_the_callable_raised(self, three):
        path, frames = three
        seen, later = [], []
        with wirelet.open_offline(path) as r:
            with pytest.raises(Boom):
                r.dispatch(-1, raise_on(2, seen))
            # No leftover break request: the next capture goes on from packet 3.
            assert r.loop(-1, collect(later)) is None
        assert seen == frames[:2] and [d for *_, d in later] == frames[2:]

    def test_raise_on_the_last_packet_that_count_allows(self, three):
        path, frames = three
        for method in ("loop", "dispatch"):
            seen = []
            with wirelet.open_offline(path) as r:
                with pytest.raises(Boom):
                    getattr(r, method)(2, raise_on(2, seen))
                assert r.next()[1] == frames[2]
                assert r.next() == (None, b"")

    def test_non_callable_fails_at_the_first_packet_only(self, three, capture):
        path, _ = three
        with wirelet.open_offline(path) as r:
            with pytest.raises(TypeError):
                r.loop(-1, 42)
            assert r.next()[0] is not None
        with wirelet.open_offline(capture([])) as r:
            assert r.loop(-1, 42) is None
            assert r.dispatch(-1, "not callable") == 0

    def test_wrong_arity_is_a_type_error_from_the_call(self, three):
        path, _ = three
        with wirelet.open_offline(path) as r:
            with pytest.raises(TypeError):
                r.dispatch(-1, lambda h: None)

    def test_callable_reference_released_after_failure(self, three):
        path, _ = three
        def callback(h, d):
            raise Boom
        before = sys.getrefcount(callback)
        for _ in range(100):
            with wirelet.open_offline(path) as r, pytest.raises(Boom):
                r.loop(-1, callback)
        assert sys.getrefcount(callback) == before


class TestCloseDuringCapture:
    def test_close_from_the_callable(self, three):
        path, frames = three
        before = open_fds()
        for method, result in (("loop", None), ("dispatch", 1)):
            r = wirelet.open_offline(path)
            seen = []

            def callback(h, d):
                seen.append(d)
                r.close()
                r.close()
            assert getattr(r, method)(-1, callback) == result
            assert seen == frames[:1]
            with pytest.raises(ValueError, match="pcap is closed"):
                r.next()
            assert open_fds() == before

    def test_close_then_raise_from_the_callable(self, three):
        path, _ = three
        r = wirelet.open_offline(path)

        def callback(h, d):
            r.close()
            raise Boom
        with pytest.raises(Boom):
            r.dispatch(-1, callback)
        with pytest.raises(ValueError):
            r.dispatch(-1, callback)

    def test_close_from_a_nested_read_on_the_same_reader(self, three):
        path, frames = three
        r = wirelet.open_offline(path)
        inner = []

        def callback(h, d):
            inner.append(r.next()[1])
            r.close()
        assert r.loop(-1, callback) is None
        assert inner == frames[1:2]


def test_captures_nest_across_readers(three, capture):
    path, frames = three
    other = capture([b"inner-1", b"inner-2"])
    outer = wirelet.open_offline(path)
    order = []

    def inner_callback(h, d):
        order.append(d)

    def outer_callback(h, d):
        order.append(len(d))
        with wirelet.open_offline(other) as r2:
            r2.loop(-1, inner_callback)
    outer.loop(-1, outer_callback)
    assert order == [len(frames[0]), b"inner-1", b"inner-2", len(frames[1]), b"inner-1", b"inner-2",
                     len(frames[2]), b"inner-1", b"inner-2"]
