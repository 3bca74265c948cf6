"""Reader lifecycle, the order of its checks, and opening errors."""
import gc
import gzip
import io
import os
import subprocess

import pytest

import wirelet
from conftest import SAMPLE, open_fds


def test_close_is_idempotent_and_closes_the_handle(three):
    path, _ = three
    before = open_fds()
    r = wirelet.open_offline(path)
    assert open_fds() == before + 1
    assert r.close() is None
    assert r.close() is None
    assert open_fds() == before
    assert r.__exit__() is None and r.__exit__(1, "two", None, 4) is None


def test_dropping_a_reader_closes_its_handle(three):
    path, _ = three
    before = open_fds()
    readers = [wirelet.open_offline(path) for _ in range(5)]
    readers[0].close()
    del readers
    gc.collect()
    assert open_fds() == before


def test_guard_comes_before_arguments_but_after_interpreter_checks(three):
    path, _ = three
    r = wirelet.open_offline(path)
    r.close()
    with pytest.raises(ValueError, match="^pcap is closed$"):
        r.next()
    with pytest.raises(ValueError, match="^pcap is closed$"):
        r.__enter__()
    # METH_NOARGS methods refuse arguments before the guard runs.
    with pytest.raises(TypeError):
        r.next(1)
    with pytest.raises(TypeError):
        r.close(1)
    with pytest.raises(TypeError):
        r.__enter__(1)
    with pytest.raises(TypeError):
        r.close(x=1)


def test_with_statement_binds_the_reader_and_closes_it(three):
    path, _ = three
    r = wirelet.open_offline(path)
    with r as bound:
        assert bound is r
        assert bound.next()[0] is not None
    with pytest.raises(ValueError, match="pcap is closed"):
        r.next()

    class Boom(Exception):
        pass
    r = wirelet.open_offline(path)
    with pytest.raises(Boom):
        with r:
            raise Boom
    with pytest.raises(ValueError):
        r.next()

    ran = []
    with pytest.raises(ValueError, match="pcap is closed"):
        with r:
            ran.append(1)
    assert ran == []


def test_open_offline_errors(tmp_path):
    with pytest.raises(wirelet.PcapError, match="No such file or directory"):
        wirelet.open_offline(str(tmp_path / "missing.pcap"))
    junk = tmp_path / "junk.pcap"
    junk.write_bytes(b"this is not a capture file at all")
    with pytest.raises(wirelet.PcapError, match="unknown file format"):
        wirelet.open_offline(str(junk))
    with pytest.raises(TypeError):
        wirelet.open_offline(str(junk).encode())
    with pytest.raises(ValueError):
        wirelet.open_offline("a\0b")
    with pytest.raises(TypeError) as info:
        wirelet.open_offline()
    assert "open_offline" not in str(info.value)


def test_open_live_and_create_argument_errors():
    with pytest.raises(TypeError, match="open_live"):
        wirelet.open_live("lo", 65535, 0)
    with pytest.raises(OverflowError):
        wirelet.open_live("lo", 2**31, 0, 0)
    with pytest.raises(TypeError, match="pcap_create"):
        wirelet.create()
    with pytest.raises(TypeError, match="pcap_create"):
        wirelet.create(b"lo")


def test_open_failures_raise_the_open_error_not_the_lookup_error():
    with pytest.raises(wirelet.PcapError) as info:
        wirelet.open_live("nosuchdev0", 65535, 0, 10)
    text = str(info.value)
    assert "nosuchdev0" in text
    # The lookup fails first, with a message of its own ("... no IPv4 address
    # assigned" or "SIOCGIFADDR"); what is raised is the open's message.
    assert "IPv4" not in text and "SIOCGIF" not in text


def test_create_is_lazy_about_missing_devices():
    # pcap_create succeeds for any name; the device is looked for at activation.
    r = wirelet.create("nosuchdev0")
    assert r.next() == (None, b"")
    r.close()


def packets(reader):
    out = []
    reader.loop(-1, lambda h, d: out.append((h.getts(), h.getcaplen(), h.getlen(), d)))
    return out


def test_file_objects_read_as_the_path_does(tmp_path):
    corpus = os.path.join(os.path.dirname(__file__), "corpus")
    for path in (SAMPLE, os.path.join(corpus, "big-endian.pcap"), os.path.join(corpus, "pcapng-valid.pcapng")):
        with open(path, "rb") as f:
            blob = f.read()
        want = packets(wirelet.open_offline(path))
        with gzip.open(tmp_path / "f.gz", "wb") as f:
            f.write(blob)
        with gzip.open(tmp_path / "f.gz") as f:
            r = wirelet.fopen_offline(f)
            assert packets(r) == want and r.getfd() == -1
            r.close()
            assert not f.closed  # its owner closes it
        assert packets(wirelet.fopen_offline(io.BytesIO(blob))) == want
        with subprocess.Popen(["cat", path], stdout=subprocess.PIPE) as child:
            assert packets(wirelet.fopen_offline(child.stdout)) == want
    nano = wirelet.fopen_offline_with_tstamp_precision(io.BytesIO(blob), 1)
    assert nano.next()[0].getts()[1] == 1000 * want[0][0][1]
    with pytest.raises(wirelet.PcapError, match="unknown time stamp resolution"):
        wirelet.fopen_offline_with_tstamp_precision(io.BytesIO(blob), 7)
    with pytest.raises(TypeError):
        wirelet.fopen_offline(io.StringIO("text"))
    with pytest.raises(TypeError, match="fopen_offline"):
        wirelet.fopen_offline()


class Failing(io.RawIOBase):
    """Raises on its third readinto(), or answers None (no data yet) on every other one."""

    def __init__(self, blob, none=False):
        self.source, self.calls, self.none = io.BytesIO(blob), 0, none

    def readable(self):
        return True

    def readinto(self, view):
        self.calls += 1
        if self.none and self.calls % 2:
            return None
        if not self.none and self.calls == 3:
            raise OSError("disk on fire")
        return self.source.readinto(view[:70])  # records cut across reads


@pytest.mark.parametrize("blocks", [False, True])
def test_a_file_object_s_failure_comes_out_and_loses_no_record(tmp_path, blocks):
    path = SAMPLE
    if blocks:
        path = str(tmp_path / "sample.pcapng")
        # Without the sanitizer runtime, which editcap hangs under.
        oracle_env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        subprocess.run(["editcap", "-F", "pcapng", SAMPLE, path], check=True, env=oracle_env, timeout=60)
    with open(path, "rb") as f:
        blob = f.read()
    want = [p[3] for p in packets(wirelet.open_offline(path))]
    r = wirelet.fopen_offline(Failing(blob))
    got = []
    with pytest.raises(OSError, match="disk on fire"):
        r.loop(-1, lambda h, d: got.append(d))
    r.loop(-1, lambda h, d: got.append(d))
    assert got == want
    r.close()
    source = Failing(blob, none=True)
    r, got = wirelet.fopen_offline(source), []  # waits out the Nones of the header
    while source.source.tell() < len(blob) or r.dispatch(-1, lambda h, d: got.append(d)):
        h, d = r.next()
        if h is not None:
            got.append(d)
    assert got == want
