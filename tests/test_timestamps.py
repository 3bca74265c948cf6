"""Nanosecond timestamps from files and from lo, clocks, and the timestamps a
classic capture file can hold, against tcpdump, tshark and editcap."""
import ctypes
import os
import socket
import struct
import subprocess
import time

import pytest

import pcapfile
import wirelet
from conftest import SAMPLE, needs_root

NANO = wirelet.PCAP_TSTAMP_PRECISION_NANO
# The oracles run without a sanitizer's runtime: editcap hangs under it.
ORACLE_ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def run(*argv):
    return subprocess.run(argv, check=True, capture_output=True, text=True, timeout=60, env=ORACLE_ENV).stdout


def tcpdump_copy(src, dst, *options):
    run("tcpdump", "-n", *options, "-r", src, "-w", dst)
    with open(dst, "rb") as f:
        return f.read()


def copy(reader, path, headers=None):
    """What a Dumper on reader writes for headers (default: all of reader's packets)."""
    dumper = reader.dump_open(path)
    if headers is None:
        reader.loop(-1, dumper.dump)
    else:
        for header, data in headers:
            dumper.dump(header, data)
    dumper.close()
    with open(path, "rb") as f:
        return f.read()


def packets(reader):
    out = []
    reader.loop(-1, lambda header, data: out.append((header, data)))
    return out


@pytest.fixture(scope="module")
def nano_files(tmp_path_factory):
    """Nanosecond captures: one written here with every digit used, tcpdump's
    nanosecond copy of the shipped capture, and editcap's pcapng (if_tsresol 9)."""
    tmp = tmp_path_factory.mktemp("nano")
    written = tmp / "written.pcap"
    with open(written, "wb") as f:
        f.write(pcapfile.global_header(magic=0xA1B23C4D))
        for i, frame in enumerate(pcapfile.mixed_frames()[:40]):
            f.write(pcapfile.record(frame, ts=(1_700_000_000 + i, (i * 123_456_789 + 7) % 10**9)))
    from_sample = str(tmp / "sample-nano.pcap")
    tcpdump_copy(SAMPLE, from_sample, "--time-stamp-precision=nano")
    run("editcap", "-F", "pcapng", str(written), str(tmp / "written.pcapng"))
    return tmp, [str(written), from_sample, str(tmp / "written.pcapng")]


def test_nanosecond_files_copy_exactly_and_read_as_tshark_reads_them(nano_files, tmp_path):
    _, files = nano_files
    for n, path in enumerate(files):
        expected = tcpdump_copy(path, str(tmp_path / f"tcpdump{n}.pcap"), "--time-stamp-precision=nano")
        reader = wirelet.open_offline_with_tstamp_precision(path, NANO)
        assert reader.get_tstamp_precision() == NANO
        assert copy(reader, str(tmp_path / f"ours{n}.pcap")) == expected, path

        out = run("tshark", "-n", "-r", path, "-T", "fields", "-e", "frame.time_epoch").split()
        epoch = [int(sec) * 10**9 + int(frac) for sec, frac in (t.split(".") for t in out)]
        nano = packets(wirelet.open_offline_with_tstamp_precision(path, NANO))
        assert [h.getts_ns() for h, _ in nano] == epoch
        with open(path, "rb") as f:
            assert [h.getts_ns() for h, _ in packets(wirelet.fopen_offline_with_tstamp_precision(f, NANO))] == epoch
        assert [h.getts_ns() for h, _ in wirelet.open_offline_with_tstamp_precision(path, NANO)] == epoch
        # getts() stays in microseconds, at either precision.
        micro = packets(wirelet.open_offline(path))
        assert [h.getts() for h, _ in micro] == [h.getts() for h, _ in nano] == [divmod(t // 1000, 10**6) for t in epoch]
        assert [h.getts_ns() for h, _ in micro] == [t // 1000 * 1000 for t in epoch]
        # The microsecond side is what it was: tcpdump's own copy.
        assert copy(wirelet.open_offline(path), str(tmp_path / f"micro{n}.pcap")) == \
            tcpdump_copy(path, str(tmp_path / f"tcpdump-micro{n}.pcap"))


def test_dump_writes_each_header_in_the_file_s_unit(nano_files, tmp_path):
    tmp, (written, from_sample, _) = nano_files
    # Microsecond headers into a nanosecond file: times 1000.
    nano_file = copy(wirelet.open_offline_with_tstamp_precision(written, NANO), str(tmp_path / "a.pcap"),
                     packets(wirelet.open_offline(SAMPLE)))
    assert nano_file[24:] == tcpdump_copy(SAMPLE, str(tmp_path / "b.pcap"), "--time-stamp-precision=nano")[24:]
    # Nanosecond headers into a microsecond file: cut as libpcap cuts them.
    micro_file = copy(wirelet.open_offline(SAMPLE), str(tmp_path / "c.pcap"),
                      packets(wirelet.open_offline_with_tstamp_precision(written, NANO)))
    assert micro_file[24:] == tcpdump_copy(written, str(tmp_path / "d.pcap"))[24:]


def native(name, restype, *argtypes):
    fn = ctypes.PyDLL(wirelet.__file__)[name]
    fn.restype, fn.argtypes = restype, list(argtypes)
    return fn


class Header(ctypes.Structure):
    _fields_ = [("sec", ctypes.c_long), ("frac", ctypes.c_long), ("caplen", ctypes.c_uint32), ("len", ctypes.c_uint32)]


def test_dump_refuses_timestamps_a_classic_file_cannot_hold(nano_files, tmp_path):
    tmp, (written, _, _) = nano_files
    # editcap moves the capture past 2106 at its sixth packet.
    late = str(tmp / "late.pcapng")
    run("editcap", "-F", "pcapng", "-t", "2594967290.5", written, late)
    dumper = wirelet.open_offline_with_tstamp_precision(written, NANO).dump_open(str(tmp_path / "late.pcap"))
    refused = []
    for header, data in packets(wirelet.open_offline_with_tstamp_precision(late, NANO)):
        try:
            dumper.dump(header, data)
        except wirelet.PcapError as exc:
            refused.append(str(exc))
    dumper.close()
    assert len(refused) == 35 and refused[0].endswith("cannot hold a timestamp of 4294967296 seconds (1970 to 2106 only)")
    with open(tmp_path / "late.pcap", "rb") as f:
        assert f.read() == tcpdump_copy(late, str(tmp_path / "t.pcap"), "--time-stamp-precision=nano", "-c", "5")

    # Records that fit are copied as they are, 2038 to 2106 included.
    edges = pcapfile.write(tmp_path / "edges.pcap", [((s, 999_999), b"e" * 20) for s in
                                                      (0, 2**31 - 1, 2**31, 2**32 - 1)])
    assert copy(wirelet.open_offline(edges), str(tmp_path / "e.pcap")) == tcpdump_copy(edges, str(tmp_path / "f.pcap"))

    # Headers from native code: before 1970, or a fraction that no longer fits once scaled.
    to_obj = native("_Z15new_pcap_pkthdrPK11pcap_pkthdr", ctypes.py_object, ctypes.POINTER(Header))
    dumper = wirelet.open_offline_with_tstamp_precision(written, NANO).dump_open(str(tmp_path / "g.pcap"))
    for bad, words in ((Header(-1, 0, 1, 1), "-1 seconds"), (Header(1, 5_000_000, 1, 1), "fraction of a second")):
        with pytest.raises(wirelet.PcapError, match=words):
            dumper.dump(to_obj(ctypes.byref(bad)), b"x")
    dumper.close()
    assert os.path.getsize(tmp_path / "g.pcap") == 24

    # The exported conversion gives microseconds back, whatever the header's unit.
    to_native = native("_Z16pkthdr_to_nativeP7_objectP11pcap_pkthdr", ctypes.c_int, ctypes.py_object,
                       ctypes.POINTER(Header))
    header, _ = wirelet.open_offline_with_tstamp_precision(written, NANO).next()
    out = Header()
    assert to_native(header, ctypes.byref(out)) == 0 and (out.sec, out.frac) == header.getts() == (1_700_000_000, 0)


def test_clock_names_and_refusals():
    for value in range(6):
        name = wirelet.tstamp_type_val_to_name(value)
        assert wirelet.tstamp_type_name_to_val(name) == value and wirelet.tstamp_type_val_to_description(value)
    assert wirelet.tstamp_type_val_to_name(99) is None and wirelet.tstamp_type_val_to_description(99) is None
    with pytest.raises(wirelet.PcapError, match="no-such"):
        wirelet.tstamp_type_name_to_val("no-such")
    for args, words in (((SAMPLE, 2), "unknown time stamp resolution 2"), (("/nonexistent", NANO), "No such file")):
        with pytest.raises(wirelet.PcapError, match=words):
            wirelet.open_offline_with_tstamp_precision(*args)
    reader = wirelet.open_offline(SAMPLE)
    assert reader.get_tstamp_precision() == 0 and reader.set_tstamp_precision(NANO) == -4  # already active
    assert reader.set_tstamp_type(0) == -4 and reader.list_tstamp_types() == [wirelet.PCAP_TSTAMP_HOST]


@needs_root
def test_live_nanosecond_capture_on_lo():
    reader = wirelet.create("lo")
    types = reader.list_tstamp_types()
    assert all(isinstance(t, int) for t in types)
    unlisted = next(t for t in range(6) if t not in types)
    assert reader.set_tstamp_type(unlisted) != 0
    assert reader.set_tstamp_precision(NANO) == 0 and reader.set_timeout(50) == 0 and reader.activate() >= 0
    assert reader.get_tstamp_precision() == NANO
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sink, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as tx:
        sink.bind(("127.0.0.1", 0))
        reader.setfilter(f"udp dst port {sink.getsockname()[1]}")
        stamps = []
        for _ in range(5):
            sent = time.time_ns()
            tx.sendto(b"nano", sink.getsockname())
            for _ in range(40):
                header, data = reader.next()
                if header is not None:
                    stamps.append(header.getts_ns())
                    assert abs(header.getts_ns() - sent) < 50_000_000
                    assert header.getts() == (header.getts_ns() // 10**9, header.getts_ns() % 10**9 // 1000)
                    break
    reader.close()
    assert len(stamps) == 5 and any(t % 1000 for t in stamps)
