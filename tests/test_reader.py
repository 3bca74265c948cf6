"""Reader lifecycle, the order of its checks, and opening errors."""
import gc

import pytest

import wirelet
from conftest import open_fds


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
