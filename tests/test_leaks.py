"""Every function and method of the module, run many times: reference counts,
Python allocations, resident memory and open descriptors stay flat."""
import ast
import gc
import io
import os
import sys

import pytest

import pcapfile
import wirelet
from conftest import MATRIX_TESTS, ROOT, SAMPLE, open_fds

FRAME = pcapfile.udp_frame(b"leak" * 10)


def rss_kb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


# The sanitizer build holds freed memory in quarantine, so resident memory
# says nothing there; its own leak check covers that build.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def assert_flat(fn, times, fds_per_call=0):
    for _ in range(min(100, max(3, times // 10))):
        fn()
    gc.collect()
    blocks, rss, fds = sys.getallocatedblocks(), rss_kb(), open_fds()
    for _ in range(times):
        fn()
    gc.collect()
    assert open_fds() - fds == fds_per_call * times
    assert sys.getallocatedblocks() - blocks < 100
    assert SANITIZED or rss_kb() - rss < 1024


@pytest.fixture(scope="module")
def env(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("leaks")
    many = pcapfile.write(tmp / "many.pcap", [FRAME] * 20000)
    r = wirelet.open_offline(many)
    h, d = r.next()
    r.close()
    with open(SAMPLE, "rb") as f:
        sample = f.read()
    return {"tmp": tmp, "many": many, "sample": sample, "header": h, "data": d, "prog": wirelet.BPFProgram("udp port 53")}


def reading(env):
    return wirelet.open_offline(env["many"])


def kept(env, key, make):
    """An object made once per module and reused by every call."""
    if key not in env:
        env[key] = make()
    return env[key]


def query(env):
    return kept(env, "query", lambda: reading(env))


def created(env, key="created", device="lo"):
    return kept(env, key, lambda: wirelet.create(device))


def expect(exc, fn, *args):
    try:
        fn(*args)
    except exc:
        return
    raise AssertionError(f"{fn} did not raise {exc}")


class Raising:
    def write(self, data):
        return 1 / 0


class Discarding:
    def write(self, data):
        return len(data)


class Sink:
    def __init__(self, path):
        self.r = wirelet.open_offline(SAMPLE)
        self.d = self.r.dump_open(str(path))

    @staticmethod
    def fopen(env):
        """A Dumper into a file object whose write() raises. The interpreter's
        caches take some thousands of these calls to fill."""
        d = query(env).dump_fopen(Raising())
        d.dump(env["header"], env["data"])
        expect(ZeroDivisionError, d.close)


def full(env):
    """A Dumper on /dev/full with one record waiting in its buffer."""
    d = query(env).dump_open("/dev/full")
    d.dump(env["header"], env["data"])
    return d


# name -> (operation, times); an operation takes the shared environment.
CHECKS = {
    "open_offline": (lambda e: (wirelet.open_offline(SAMPLE).close(),
                                expect(wirelet.PcapError, wirelet.open_offline, "/nonexistent")), 3000),
    "fopen_offline": (lambda e: (wirelet.fopen_offline(io.BytesIO(e["sample"])).close(),
                                 expect(TypeError, wirelet.fopen_offline, 3)), 3000),
    "fopen_offline_with_tstamp_precision": (
        lambda e: (wirelet.fopen_offline_with_tstamp_precision(io.BytesIO(e["sample"]), 1).loop(-1, lambda h, d: None),
                   expect(wirelet.PcapError, wirelet.fopen_offline_with_tstamp_precision, io.BytesIO(), 0)), 3000),
    "open_live": (lambda e: (wirelet.open_live("lo", 128, 0, 10).close()
                             if ROOT else expect(wirelet.PcapError, wirelet.open_live, "lo", 128, 0, 10),
                             expect(wirelet.PcapError, wirelet.open_live, "nosuchdev0", 128, 0, 10)), 100),
    "create": (lambda e: wirelet.create("lo").close(), 200),
    "lookupdev": (lambda e: wirelet.lookupdev(), 2000),
    "findalldevs": (lambda e: wirelet.findalldevs(), 2000),
    "devices": (lambda e: wirelet.devices(), 2000),
    "datalink_name_to_val": (lambda e: (wirelet.datalink_name_to_val("en10mb"),
                                        expect(wirelet.PcapError, wirelet.datalink_name_to_val, "nope")), 20000),
    "datalink_val_to_name": (lambda e: (wirelet.datalink_val_to_name(1), wirelet.datalink_val_to_name(-5)), 20000),
    "datalink_val_to_description": (lambda e: wirelet.datalink_val_to_description(276), 20000),
    "compile": (lambda e: (wirelet.compile(1, 65535, "tcp port 80 or udp", 1, 0).get_bpf(),
                           expect(wirelet.PcapError, wirelet.compile, 1, 100, "tcp and", 1, 0)), 3000),
    "BPFProgram": (lambda e: (wirelet.BPFProgram("ip and not icmp", 1),
                              expect(wirelet.BPFError, wirelet.BPFProgram, "((")), 3000),
    "BPFProgram.filter": (lambda e: (e["prog"].filter(FRAME), e["prog"].filter(b"")), 50000),
    "BPFProgram.get_bpf": (lambda e: e["prog"].get_bpf(), 20000),
    "Pkthdr.getts": (lambda e: e["header"].getts(), 50000),
    "Pkthdr.getcaplen": (lambda e: e["header"].getcaplen(1), 50000),
    "Pkthdr.getlen": (lambda e: e["header"].getlen(), 50000),
    "Pkthdr.getts_ns": (lambda e: e["header"].getts_ns(), 50000),
    "open_offline_with_tstamp_precision": (lambda e: (wirelet.open_offline_with_tstamp_precision(SAMPLE, 1).close(),
                                                      expect(wirelet.PcapError, wirelet.open_offline_with_tstamp_precision,
                                                             SAMPLE, 7)), 3000),
    "tstamp_type_name_to_val": (lambda e: (wirelet.tstamp_type_name_to_val("adapter"),
                                           expect(wirelet.PcapError, wirelet.tstamp_type_name_to_val, "x")), 20000),
    "tstamp_type_val_to_name": (lambda e: (wirelet.tstamp_type_val_to_name(3),
                                           wirelet.tstamp_type_val_to_name(99)), 20000),
    "tstamp_type_val_to_description": (lambda e: wirelet.tstamp_type_val_to_description(3), 20000),
    "Reader.set_tstamp_precision": (lambda e: created(e).set_tstamp_precision(1), 20000),
    "Reader.set_tstamp_type": (lambda e: created(e).set_tstamp_type(0), 20000),
    "Reader.get_tstamp_precision": (lambda e: query(e).get_tstamp_precision(), 20000),
    "Reader.list_tstamp_types": (lambda e: created(e).list_tstamp_types(), 20000),
    "Reader.next": (lambda e: kept(e, "nx", lambda: reading(e)).next(), 30000),
    "Reader.loop": (lambda e: reading(e).loop(-1, lambda h, d: None), 3),
    "Reader.dispatch": (lambda e: reading(e).dispatch(-1, lambda h, d: None), 3),
    "Reader.__iter__": (lambda e: [d for h, d in wirelet.open_offline(SAMPLE)], 1000),
    "Reader.__next__": (lambda e: next(kept(e, "it", lambda: reading(e))), 10000),
    "Reader.breakloop": (lambda e: (kept(e, "bl", lambda: reading(e)).breakloop(), e["bl"].dispatch(1, print)),
                         20000),
    "Reader.setfilter": (lambda e: (kept(e, "sf", lambda: reading(e)).setfilter("udp port 53"),
                                    expect(wirelet.PcapError, e["sf"].setfilter, "udp port")), 3000),
    "Reader.getnet": (lambda e: query(e).getnet(), 20000),
    "Reader.getmask": (lambda e: query(e).getmask(1), 20000),
    "Reader.datalink": (lambda e: query(e).datalink(), 20000),
    "Reader.getnonblock": (lambda e: query(e).getnonblock(), 20000),
    "Reader.setnonblock": (lambda e: expect(wirelet.PcapError, query(e).setnonblock, 1), 10000),
    "Reader.setdirection": (lambda e: expect(wirelet.PcapError, query(e).setdirection, 1), 10000),
    "Reader.sendpacket": (lambda e: expect(wirelet.PcapError, query(e).sendpacket, FRAME), 10000),
    "Reader.stats": (lambda e: expect(wirelet.PcapError, query(e).stats), 10000),
    "Reader.getfd": (lambda e: query(e).getfd(), 20000),
    "Reader.dump_open": (lambda e: (query(e).dump_open(str(e["tmp"] / "d.pcap")).close(),
                                    expect(wirelet.PcapError, query(e).dump_open, "/nonexistent/x.pcap")), 2000),
    "Reader.close": (lambda e: reading(e).close(), 3000),
    "Reader.__enter__": (lambda e: reading(e).__enter__(), 3000),
    "Reader.__exit__": (lambda e: reading(e).__exit__(None, None, None), 3000),
    "Reader.set_snaplen": (lambda e: created(e).set_snaplen(100), 20000),
    "Reader.set_promisc": (lambda e: created(e).set_promisc(0), 20000),
    "Reader.set_timeout": (lambda e: created(e).set_timeout(10), 20000),
    "Reader.set_buffer_size": (lambda e: created(e).set_buffer_size(1 << 20), 20000),
    "Reader.set_rfmon": (lambda e: created(e).set_rfmon(0), 20000),
    "Reader.set_immediate_mode": (lambda e: created(e).set_immediate_mode(1), 20000),
    "Reader.list_datalinks": (lambda e: (query(e).list_datalinks(),
                                         expect(wirelet.PcapError, created(e).list_datalinks)), 20000),
    "Reader.set_datalink": (lambda e: (query(e).set_datalink(1),
                                       expect(wirelet.PcapError, query(e).set_datalink, 276)), 20000),
    "Reader.activate": (lambda e: created(e, "failed", "nosuchdev0").activate(), 20000),
    "Dumper.dump": (lambda e: kept(e, "sink", lambda: Sink(e["tmp"] / "sink.pcap")).d.dump(e["header"], e["data"]), 50000),
    "open_dead": (lambda e: wirelet.open_dead(1, 65535).close(), 3000),
    "open_dead_with_tstamp_precision": (lambda e: wirelet.open_dead_with_tstamp_precision(1, 65535, 1).close(), 3000),
    "Reader.dump_open_append": (lambda e: (query(e).dump_open_append(str(e["tmp"] / "a.pcap")).close(),
                                           expect(wirelet.PcapError, wirelet.open_dead(1, 9).dump_open_append,
                                                  str(e["tmp"] / "a.pcap"))), 1000),
    "Reader.dump_fopen": (lambda e: (kept(e, "fopen warm", lambda: [Sink.fopen(e) for _ in range(6000)]),
                                     Sink.fopen(e)), 6000),
    "Dumper.flush": (lambda e: (kept(e, "sink", lambda: Sink(e["tmp"] / "sink.pcap")).d.flush(),
                                kept(e, "discard", lambda: query(e).dump_fopen(Discarding())).dump(e["header"], e["data"]),
                                e["discard"].flush(),
                                expect(wirelet.PcapError, full(e).flush)), 5000),
    "Dumper.ftell": (lambda e: kept(e, "sink", lambda: Sink(e["tmp"] / "sink.pcap")).d.ftell(), 20000),
    "Dumper.close": (lambda e: (query(e).dump_open(str(e["tmp"] / "c.pcap")).close(1),
                                expect(wirelet.PcapError, full(e).close)), 2000),
}


def public_operations():
    names = {n for n in dir(wirelet) if callable(getattr(wirelet, n)) and not n.startswith("_")
             and not isinstance(getattr(wirelet, n), type) or n == "BPFProgram"}
    r = wirelet.open_offline(SAMPLE)
    h, _ = r.next()
    samples = {"Reader": r, "Pkthdr": h, "Dumper": r.dump_open("/dev/null"),
               "BPFProgram": wirelet.BPFProgram("tcp")}
    for type_name, obj in samples.items():
        names |= {f"{type_name}.{m}" for m in dir(type(obj)) if m not in dir(object) or m in ("__enter__", "__exit__")}
    r.close()
    return names - {"PcapError", "BPFError"}


def test_every_public_operation_has_a_leak_check():
    assert public_operations() == set(CHECKS)


@pytest.mark.parametrize("name", sorted(CHECKS))
def test_no_leak(env, name):
    operation, times = CHECKS[name]
    assert_flat(lambda: operation(env), times)


def test_callable_and_packets_are_released_by_every_capture_path(env):
    def callback(h, d):
        pass
    before = sys.getrefcount(callback), sys.getrefcount(env["header"]), sys.getrefcount(env["data"])
    for _ in range(3):
        reading(env).loop(-1, callback)
        reading(env).dispatch(100, callback)
    r = reading(env)
    d = r.dump_open(os.devnull)
    for _ in range(5000):
        d.dump(env["header"], env["data"])
    assert (sys.getrefcount(callback), sys.getrefcount(env["header"]), sys.getrefcount(env["data"])) == before


def test_matrix_tests_call_every_public_operation():
    """The other interpreters run only the matrix tests: between them they call
    every function and method, counted by name (close for Reader and Dumper alike)."""
    called = set()
    for name in MATRIX_TESTS:
        with open(os.path.join(os.path.dirname(__file__), name)) as f:
            called |= {node.attr for node in ast.walk(ast.parse(f.read())) if isinstance(node, ast.Attribute)}
    assert {op for op in public_operations() if op.rsplit(".", 1)[-1] not in called} == set()
