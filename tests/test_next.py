"""next() and Pkthdr on capture files that the tests write themselves."""
import struct

import pytest

import pcapfile
import wirelet


def read_all(path):
    r = wirelet.open_offline(path)
    out = []
    while True:
        header, data = r.next()
        if header is None:
            assert data == b"" and type(data) is bytes
            break
        out.append((header.getts(), header.getcaplen(), header.getlen(), data))
    return r, out


def test_reads_every_packet_in_order_then_end_of_file_repeatedly(three):
    path, frames = three
    r, got = read_all(path)
    assert [d for *_, d in got] == frames
    assert [ts for ts, *_ in got] == [(1_700_000_000 + i, i) for i in range(3)]
    assert [(c, w) for _, c, w, _ in got] == [(len(f), len(f)) for f in frames]
    for _ in range(3):
        assert r.next() == (None, b"")
    r.close()


def test_snapped_and_empty_packets(capture):
    frame = pcapfile.udp_frame(b"z" * 100)
    path = capture([((1, 2), frame[:40], len(frame)), ((3, 4), b"", 60)])
    _, got = read_all(path)
    assert got == [((1, 2), 40, len(frame), frame[:40]), ((3, 4), 0, 60, b"")]


def test_header_extremes(tmp_path):
    # The file format's timestamp fields are signed 32-bit to libpcap; the
    # lengths are unsigned and the wire length is taken as it stands.
    path = tmp_path / "extreme.pcap"
    with open(path, "wb") as f:
        f.write(pcapfile.global_header())
        f.write(struct.pack("<IIII", 0xFFFFFFFF, 0xFFFFFFFF, 4, 0xFFFFFFFF) + b"abcd")
        f.write(struct.pack("<IIII", 0x7FFFFFFF, 1_999_999, 0, 0x80000000))
    _, got = read_all(str(path))
    assert got == [((-1, -1), 4, 4294967295, b"abcd"), ((2**31 - 1, 1_999_999), 0, 2**31, b"")]


def test_caplen_beyond_the_files_snapshot_length_is_cut_to_it(tmp_path):
    # libpcap trims a record longer than the file's snapshot length (but still
    # plausible for the link type) to that length.
    path = tmp_path / "long.pcap"
    with open(path, "wb") as f:
        f.write(pcapfile.global_header(snaplen=64))
        f.write(pcapfile.record(bytes(range(100)), ts=(5, 6)))
    _, got = read_all(str(path))
    assert got == [((5, 6), 64, 100, bytes(range(64)))]


def test_unreadable_record_raises_libpcaps_error_and_leaves_reader_open(tmp_path):
    path = tmp_path / "bad.pcap"
    with open(path, "wb") as f:
        f.write(pcapfile.global_header())
        f.write(pcapfile.record(b"ok", ts=(1, 0)))
        f.write(struct.pack("<IIII", 2, 0, 0x7FFFFFFF, 10) + b"xx")
    r = wirelet.open_offline(str(path))
    assert r.next()[1] == b"ok"
    with pytest.raises(wirelet.PcapError, match="invalid packet capture length"):
        r.next()
    r.close()


def test_iteration_yields_what_next_returns_and_stops_where_reads_end(three, tmp_path):
    path, frames = three
    _, expected = read_all(path)
    r = wirelet.open_offline(path)
    assert r.__iter__() is r
    got = [(h.getts(), h.getcaplen(), h.getlen(), d) for h, d in r]
    assert got == expected
    # Pairs that are kept stay as they were given.
    kept = list(wirelet.open_offline(path))
    assert [(h.getts(), h.getcaplen(), h.getlen(), d) for h, d in kept] == expected
    with pytest.raises(StopIteration):
        r.__next__()
    # breakloop() in the body ends the iteration; the next one goes on.
    r = wirelet.open_offline(path)
    for h, d in r:
        r.breakloop()
    assert d == frames[0] and [d for _, d in r] == frames[1:]
    # close() in the body ends it too; a closed Reader cannot start one.
    r = wirelet.open_offline(path)
    assert [r.close() for _ in r] == [None]
    with pytest.raises(ValueError, match="pcap is closed"):
        iter(r)
    bad = tmp_path / "bad.pcap"
    bad.write_bytes(pcapfile.global_header() + pcapfile.record(b"ok") + struct.pack("<IIII", 2, 0, 0x7FFFFFFF, 10))
    with pytest.raises(wirelet.PcapError, match="invalid packet capture length"):
        list(wirelet.open_offline(str(bad)))


def test_pkthdr_methods_ignore_positional_arguments(three):
    path, _ = three
    r = wirelet.open_offline(path)
    h, _ = r.next()
    assert h.getts(1, 2, 3) == h.getts() and h.getlen("x") == h.getlen()
    assert h.getcaplen(None) == h.getcaplen()
    assert h.getts.__doc__ == "get timestamp tuple (seconds, microseconds) since the Epoch"
    assert h.getcaplen.__doc__ == "returns the length of portion present"
    assert h.getlen.__doc__ == "returns the length of the packet (off wire)"
    with pytest.raises(TypeError):
        h.getts(x=1)
    with pytest.raises(TypeError):
        type(h)()
    with pytest.raises(AttributeError):
        h.x = 5
    with pytest.raises(AttributeError):
        h.getts = None
    r.close()
    # Headers outlive the Reader that made them.
    assert h.getts() == (1_700_000_000, 0)


def test_packets_are_copies_independent_of_the_handle(three):
    path, frames = three
    r = wirelet.open_offline(path)
    first = r.next()
    second = r.next()
    r.close()
    del r
    assert first[1] == frames[0] and second[1] == frames[1]
    assert first[0].getcaplen() == len(frames[0])
