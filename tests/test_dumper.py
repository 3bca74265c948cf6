"""Dumper: files written through it, read back by tcpdump, tshark and wirelet."""
import json
import os
import re
import shutil
import subprocess
import sys
import time

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


def dumped(reader_path, open_dumper):
    """Copies every packet of reader_path through the Dumper open_dumper(reader) makes."""
    r = wirelet.open_offline(reader_path)
    d = open_dumper(r)
    r.loop(-1, d.dump)
    d.close()
    r.close()


def test_file_objects_get_exactly_the_file_a_path_gets(tmp_path):
    import gzip
    import io
    path, gz = str(tmp_path / "p.pcap"), str(tmp_path / "p.pcap.gz")
    dumped(SAMPLE, lambda r: r.dump_open(path))
    with open(path, "rb") as f:
        expected = f.read()
    with gzip.open(gz, "wb") as f:
        dumped(SAMPLE, lambda r: r.dump_fopen(f))
    with gzip.open(gz) as f:
        assert f.read() == expected
    buffer = io.BytesIO()
    dumped(SAMPLE, lambda r: r.dump_fopen(buffer))
    assert buffer.getvalue() == expected
    # A pipe to a child: tcpdump reads it from its standard input.
    child = subprocess.Popen(["tcpdump", "-n", "-tt", "-xx", "-r", "-"], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    dumped(SAMPLE, lambda r: r.dump_fopen(child.stdin))
    assert not child.stdin.closed  # the owner closes it
    child.stdin.close()
    assert child.stdout.read() == subprocess.run(
        ["tcpdump", "-n", "-tt", "-xx", "-r", path], capture_output=True, check=True).stdout
    assert child.wait(timeout=30) == 0
    with pytest.raises(TypeError):
        wirelet.open_offline(SAMPLE).dump_fopen("not a file")


class Failing:
    """A binary file that raises once on the write numbered fail_at, or in flush."""

    def __init__(self, fail_at=None, fail_flush=False):
        self.chunks, self.writes, self.fail_at, self.fail_flush = [], 0, fail_at, fail_flush

    def write(self, data):
        self.writes += 1
        if self.writes == self.fail_at:
            raise OSError(28, "disk full, once")
        self.chunks.append(bytes(data))
        return len(data)

    def flush(self):
        if self.fail_flush:
            self.fail_flush = False
            raise BrokenPipeError("flush failed")


def test_exceptions_of_the_file_object_come_out_and_lose_nothing(capture, tmp_path):
    # Records larger than the stream's buffer: every dump() writes.
    frames = [pcapfile.udp_frame(bytes([i]) * 40000) for i in range(6)]
    source = capture(frames)
    path = str(tmp_path / "ref.pcap")
    dumped(source, lambda r: r.dump_open(path))
    with open(path, "rb") as f:
        expected = f.read()
    r = wirelet.open_offline(source)
    sink = Failing(fail_at=2)
    d = r.dump_fopen(sink)
    raised = 0
    for h, data in iter(r.next, (None, b"")):
        try:
            d.dump(h, data)
        except OSError as e:
            assert e.strerror == "disk full, once"
            raised += 1
    d.close()
    assert raised == 1 and b"".join(sink.chunks) == expected
    # An exception of flush() comes out of flush(), or of close(), which
    # still releases the Dumper and never closes the object.
    for call in ("flush", "close"):
        sink = Failing(fail_flush=True)
        d = wirelet.open_offline(source).dump_fopen(sink)
        with pytest.raises(BrokenPipeError):
            getattr(d, call)()
        assert d.close() is None
        assert b"".join(sink.chunks) == expected[:24]


def test_open_dead_writes_what_tcpdump_reads(three, tmp_path):
    path, frames = three
    dead = wirelet.open_dead(wirelet.DLT_EN10MB, 65535)
    assert (dead.datalink(), dead.getfd()) == (wirelet.DLT_EN10MB, -1)  # libpcap says 0: standard input
    for read in (dead.next, lambda: dead.loop(1, print), lambda: dead.dispatch(1, print)):
        with pytest.raises(wirelet.PcapError, match="^Packets aren't available from a pcap_open_dead pcap_t$"):
            read()
    out = str(tmp_path / "dead.pcap")
    d = dead.dump_open(out)
    with wirelet.open_offline(path) as r:
        r.loop(-1, d.dump)
    d.close()
    assert packets_tcpdump(out) == packets_tcpdump(path)
    assert wirelet.open_dead_with_tstamp_precision(1, 100, 1).dump_open(out).ftell() == 24


def test_append_in_sessions_and_its_refusals(three, tmp_path):
    path, frames = three
    out = str(tmp_path / "grown.pcap")
    for session in range(3):
        with wirelet.open_offline(path) as r:
            d = r.dump_open_append(out)
            r.loop(-1, d.dump)
            d.flush()  # readable while open, and where ftell() says
            assert len(packets_tcpdump(out)) == 3 * (session + 1)
            assert d.ftell() == os.path.getsize(out)
            d.close()
    assert packets_tcpdump(out) == packets_tcpdump(path) * 3
    # A file that tcpdump wrote takes records as well.
    theirs = str(tmp_path / "tcpdump.pcap")
    subprocess.run(["tcpdump", "-n", "-r", SAMPLE, "-w", theirs], capture_output=True, check=True)
    dumped(SAMPLE, lambda r: r.dump_open_append(theirs))
    assert packets_tcpdump(theirs) == packets_tcpdump(SAMPLE) * 2
    with open(out, "rb") as f:
        before = f.read()
    for dead, reason in ((wirelet.open_dead_with_tstamp_precision(1, 65535, 1), "different time stamp precision"),
                         (wirelet.open_dead(1, 1500), "different snaplen"),
                         (wirelet.open_dead(wirelet.DLT_RAW, 65535), "different linktype")):
        with pytest.raises(wirelet.PcapError, match=f"^{re.escape(out)}: {reason}, cannot append to file$"):
            dead.dump_open_append(out)
    text = tmp_path / "notes.txt"
    text.write_text("not a capture file, just some text\n")
    with pytest.raises(wirelet.PcapError, match=f"^{re.escape(str(text))}: not a pcap file$"):
        wirelet.open_dead(1, 65535).dump_open_append(str(text))
    assert text.read_text() == "not a capture file, just some text\n"
    with open(out, "rb") as f:
        assert f.read() == before
    # A nanosecond file stays one.
    nano = str(tmp_path / "nano.pcap")
    for _ in range(2):
        d = wirelet.open_dead_with_tstamp_precision(1, 65535, 1).dump_open_append(nano)
        with wirelet.open_offline(path) as r:
            r.loop(-1, d.dump)
        d.close()
    with open(nano, "rb") as f:
        assert f.read(4) == bytes.fromhex("4d3cb2a1")
    assert len(packets_tcpdump(nano)) == 6


PIPE_WRITER = """
import signal, sys, threading, time, wirelet
fifo, mode, source = sys.argv[1:]
ticks, beats = [], []
r = wirelet.open_offline(source)
h, data = r.next()


def tick(*a):
    try:  # the Dumper whose write this may interrupt
        d.flush()
        ticks.append("flushed")
    except wirelet.PcapError as e:
        ticks.append(str(e))


def stop(*a):  # the write has waited for a while: did other threads run meanwhile?
    ticks.append(sum(t > time.monotonic() - 0.3 for t in beats))
    raise KeyboardInterrupt


threading.Thread(target=lambda: [beats.append(time.monotonic()) or time.sleep(0.01) for _ in iter(int, 1)],
                 daemon=True).start()
d = r.dump_open(fifo)
signal.signal(signal.SIGALRM, tick if mode == "harmless" else stop)
signal.setitimer(signal.ITIMER_REAL, *((0.01, 0.01) if mode == "harmless" else (0.5,)))
# Another thread dumps into the same Dumper meanwhile: its records wait.
other = threading.Thread(target=lambda: [d.dump(h, data) for _ in range(100)])
try:
    other.start()
    for i in range(200):
        d.dump(h, data)
    other.join()
    d.close()
    refused = "a write is in progress on this Dumper: it cannot be used from a signal handler or from the file's write()"
    print("done", bool(ticks) and set(ticks) <= {"flushed", refused})
except KeyboardInterrupt:
    print("interrupted", ticks[0] > 10)
"""


@pytest.mark.parametrize("mode", ["harmless", "raising"])
def test_a_dumper_into_a_stalled_pipe_serves_signals_and_gives_up_the_lock(mode, capture, tmp_path):
    source = capture([pcapfile.udp_frame(b"x" * 1000)])
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    child = subprocess.Popen([sys.executable, "-c", PIPE_WRITER, fifo, mode, source],
                             stdout=subprocess.PIPE, text=True)
    try:
        with open(fifo, "rb") as f:
            time.sleep(1.5)  # the pipe and the stream's buffer fill up
            blob = f.read()
        out = child.communicate(timeout=60)[0].split()
    finally:
        child.kill()
    assert out == (["done", "True"] if mode == "harmless" else ["interrupted", "True"])
    # Whole records only, and all of them unless interrupted.
    written = tmp_path / "read.pcap"
    written.write_bytes(blob)
    records = pcapfile.read(written)
    assert len(blob) == 24 + sum(16 + r[2] for r in records)
    assert all(r[4] == pcapfile.udp_frame(b"x" * 1000) for r in records)
    assert len(records) == 300 if mode == "harmless" else 100 <= len(records) < 300


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("unshare"), reason="mounts a tmpfs: needs root")
def test_close_reports_what_only_the_final_flush_finds(tmp_path):
    mnt = tmp_path / "small"
    mnt.mkdir()
    script = f"""
import wirelet
d = wirelet.open_dead(1, 65535).dump_open({str(mnt / "x.pcap")!r})
h = None
with wirelet.open_offline({SAMPLE!r}) as r:
    h, data = r.next()
for _ in range(200):
    d.dump(h, data)  # about 40 KB: all of it waits in the stream's buffer
try:
    d.close()
except wirelet.PcapError as e:
    print(e)
print(d.close())
"""
    run = subprocess.run(["unshare", "-m", "sh", "-c", f"mount -t tmpfs -o size=16k none {mnt} && "
                          f"{sys.executable} -c \"$0\"", script], capture_output=True, text=True, timeout=60)
    assert run.stdout.splitlines() == [f"Can't write to {mnt / 'x.pcap'}: No space left on device", "None"]
