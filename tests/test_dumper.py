"""Dumper: files written through it, read back by tcpdump, tshark and wirelet."""
import json
import re
import subprocess
import sys

import pytest

import pcapfile
import wirelet
from conftest import SAMPLE, open_fds


def packets_wirelet(path):
    out = []
    with wirelet.open_offline(path) as r:
        r.loop(-1, lambda h, d: out.append(("%d.%06d" % h.getts(), h.getcaplen(), h.getlen(), d)))
    return out


def packets_tshark(path):
    out = subprocess.run(["tshark", "-n", "-r", path, "-T", "json", "-x"],
                         capture_output=True, text=True, check=True).stdout
    result = []
    for pkt in json.loads(out):
        layers = pkt["_source"]["layers"]
        frame = layers["frame"]
        sec, frac = frame["frame.time_epoch"].split(".")
        result.append(("%s.%s" % (sec, frac[:6]), int(frame["frame.cap_len"]), int(frame["frame.len"]),
                       bytes.fromhex(layers.get("frame_raw", [""])[0])))
    return result


def packets_tcpdump(path):
    out = subprocess.run(["tcpdump", "-n", "-tt", "-xx", "-r", path],
                         capture_output=True, text=True, check=True).stdout
    result = []
    for line in out.splitlines():
        if line[:1].isdigit():
            result.append([line.split()[0], bytearray()])
        elif line[:1].isspace():
            result[-1][1] += bytes.fromhex("".join(line.split(":", 1)[1].split()))
    return [(ts, bytes(b)) for ts, b in result]


@pytest.fixture
def copied(tmp_path, capture):
    frame = pcapfile.udp_frame(b"d" * 200)
    source = capture([((1, 999_999), frame), ((2, 0), frame[:50], len(frame)), ((3, 5), b"", 64)]
                     + [((10 + i, i), f) for i, f in enumerate(pcapfile.mixed_frames())])
    out = str(tmp_path / "out.pcap")
    r = wirelet.open_offline(source)
    d = r.dump_open(out)
    r.loop(-1, d.dump)
    r.close()
    d.close()
    return source, out


def test_written_file_reads_back_identically_everywhere(copied):
    source, out = copied
    expected = packets_wirelet(source)
    assert packets_wirelet(out) == expected
    assert packets_tshark(out) == expected
    # tcpdump reports a record without bytes as "[Invalid header: caplen==0]".
    assert packets_tcpdump(out) == [(ts, d) for ts, c, _, d in expected if c]


def test_copy_of_the_shipped_capture_is_byte_identical_in_records(tmp_path):
    out = str(tmp_path / "copy.pcap")
    with wirelet.open_offline(SAMPLE) as r:
        d = r.dump_open(out)
        while True:
            h, data = r.next()
            if h is None:
                break
            d.dump(h, data)
    del d  # dropping the Dumper finishes the file
    assert packets_tshark(out) == packets_wirelet(SAMPLE)
    with open(SAMPLE, "rb") as a, open(out, "rb") as b:
        assert a.read()[24:] == b.read()[24:]


def test_dumper_outlives_its_reader_and_closes_once(three, tmp_path):
    path, frames = three
    out = str(tmp_path / "late.pcap")
    r = wirelet.open_offline(path)
    header, data = r.next()
    d = r.dump_open(out)
    r.close()
    del r
    d.dump(header, data)
    d.dump(header, data + b"ignored tail")
    assert d.close() is None and d.close(1, "x") is None
    assert [p[3] for p in packets_wirelet(out)] == [frames[0], frames[0]]
    with pytest.raises(wirelet.PcapError, match=r"^Dumper is already closed\.$"):
        d.dump(header, data)
    # Argument checks come before the closed check.
    with pytest.raises(wirelet.PcapError, match="^Not a pkthdr object$"):
        d.dump((0, 0), data)
    with pytest.raises(TypeError):
        d.dump(header)
    with pytest.raises(TypeError):
        d.close(x=1)


def test_short_data_never_reads_past_the_bytes_given(three, tmp_path):
    path, frames = three
    out = str(tmp_path / "short.pcap")
    r = wirelet.open_offline(path)
    header, data = r.next()
    d = r.dump_open(out)
    d.dump(header, data[:10])
    d.dump(header, b"")
    d.close()
    got = packets_wirelet(out)
    assert [(c, w, b) for _, c, w, b in got] == [(10, len(data), data[:10]), (0, len(data), b"")]


def test_dump_and_dump_open_errors(three, tmp_path):
    path, _ = three
    r = wirelet.open_offline(path)
    header, data = r.next()
    with pytest.raises(wirelet.PcapError, match="No such file or directory"):
        r.dump_open(str(tmp_path / "no" / "dir.pcap"))
    with pytest.raises(TypeError):
        r.dump_open(b"x.pcap")
    d = r.dump_open(str(tmp_path / "e.pcap"))
    assert d.dump.__doc__ == "dump a packet to the file"
    with pytest.raises(TypeError):
        d.dump(header, "text")
    with pytest.raises(wirelet.PcapError, match="Not a pkthdr object"):
        d.dump(None, data)
    with pytest.raises(TypeError):
        type(d)()
    with pytest.raises(AttributeError):
        d.x = 1
    r.close()
    with pytest.raises(ValueError, match="pcap is closed"):
        r.dump_open()


FULL = "Can't write to /dev/full: No space left on device"


def test_write_failures_raise_and_the_dumper_still_closes(three):
    path, _ = three
    r = wirelet.open_offline(path)
    header, data = r.next()
    # A few records wait in the stream's buffer: the flush in close() fails.
    d = r.dump_open("/dev/full")
    for _ in range(3):
        d.dump(header, data)
    with pytest.raises(wirelet.PcapError, match=f"^{FULL}$"):
        d.close()
    assert d.close() is None
    with pytest.raises(wirelet.PcapError, match=r"^Dumper is already closed\.$"):
        d.dump(header, data)
    # Many records: the one that overflows the buffer fails, and so does
    # every later dump() and the close().
    d = r.dump_open("/dev/full")
    written = 0
    with pytest.raises(wirelet.PcapError, match=f"^{FULL}$"):
        for written in range(100_000):
            d.dump(header, data)
    assert written > 3
    with pytest.raises(wirelet.PcapError, match=f"^{FULL}$"):
        d.dump(header, data)
    with pytest.raises(wirelet.PcapError, match=f"^{FULL}$"):
        d.close()
    assert d.close() is None


def test_dropped_dumper_reports_a_failure_that_nothing_raised(three, monkeypatch):
    path, _ = three
    r = wirelet.open_offline(path)
    header, data = r.next()
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append((u.exc_type, str(u.exc_value), u.object)))
    d = r.dump_open("/dev/full")
    d.dump(header, data)
    del d
    assert seen == [(wirelet.PcapError, FULL, None)]
    seen.clear()
    d = r.dump_open("/dev/full")
    with pytest.raises(wirelet.PcapError, match=f"^{FULL}$"):
        for _ in range(100_000):
            d.dump(header, data)
    del d
    assert seen == []


def test_standard_output_gets_the_file_and_stays_open(three, tmp_path):
    path, _ = three
    script = f"""
import os, sys, wirelet
r = wirelet.open_offline({path!r})
d = r.dump_open("-")
r.loop(-1, d.dump)
d.close()
os.fstat(1)
with open({str(tmp_path / "later")!r}, "w") as f:
    assert f.fileno() != 1
print("after", flush=True)
os.close(1)
try:
    r.dump_open("-")
except wirelet.PcapError as e:
    sys.stderr.write(str(e))
"""
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, check=True)
    with open(path, "rb") as f:
        assert run.stdout == f.read() + b"after\n"
    # With no standard output there is nothing to write to: dump_open says so.
    assert run.stderr == b"standard output: Bad file descriptor"


def test_dump_open_refusals_name_the_file_for_standard_output_too(capture, tmp_path):
    refused = wirelet.open_offline(capture([pcapfile.udp_frame()], linktype=300))
    inactive = wirelet.create("lo")
    fds = open_fds()
    for reader, reason in ((refused, "link-layer type 300 isn't supported in savefiles"),
                           (inactive, "not-yet-activated pcap_t passed to pcap_dump_open")):
        for name in (str(tmp_path / "x.pcap"), "-"):
            with pytest.raises(wirelet.PcapError, match=f"^{re.escape(name)}: {reason}$"):
                reader.dump_open(name)
    assert open_fds() == fds
