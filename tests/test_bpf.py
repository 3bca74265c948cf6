"""BPF programs compiled without a device: the BPFProgram constructor,
compile(), filter() and get_bpf(), with tcpdump (and so libpcap itself) as
the oracle for both the instructions and the packets they select."""
import ctypes
import ctypes.util
import functools
import gc
import json
import os
import random
import re
import resource
import runpy
import shutil
import socket
import struct
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

import pcapfile
import wirelet
from conftest import SANITIZED

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, os.pardir, "examples")
SAMPLE = os.path.join(EXAMPLES, "loopback.pcap")
needs_tcpdump = pytest.mark.skipif(shutil.which("tcpdump") is None, reason="tcpdump missing")

# Numeric addresses only: a host name would make libpcap resolve it.
CORPUS = [
    "", "ip", "ip6", "arp", "tcp", "udp", "icmp", "icmp6", "not ip",
    "tcp port 80", "udp dst port 53", "src port 1024 or dst portrange 6000-6010", "portrange 1000-2000",
    "host 10.0.0.1", "src net 192.168.0.0/16", "dst host 127.0.0.1 and tcp", "net 10.0.0.0 mask 255.0.0.0",
    "ip6 host ::1", "ip6 net 2001:db8::/32", "ip6 and tcp port 443", "ip6 proto 58", "ip proto 47",
    "tcp[tcpflags] & (tcp-syn|tcp-ack) == tcp-syn", "icmp[icmptype] == icmp-echo",
    "ip[2:2] > 576", "ip[6:2] & 0x1fff != 0", "ip[0] & 0xf > 5", "ip and udp[8:4] = 0x71717171",
    "tcp[((tcp[12:1] & 0xf0) >> 2):4] = 0x47455420", "ip[2:2] - 20 > 100 and ip[8] * 2 / 4 % 7 ^ 1 != 3",
    "greater 100", "less 64", "len >= 60 and len <= 1500",
    "ip broadcast", "ip multicast", "ip6 multicast", "ether broadcast", "ether multicast",
    "ether host 02:00:00:00:00:01", "ether[12:2] = 0x0806", "vlan", "vlan 100 and udp", "mpls",
    "not tcp and not udp", "(tcp or udp) and not port 22", "tcp and (port 80 or port 443) and host 10.1.2.3",
]
LINKTYPES = {"EN10MB": wirelet.DLT_EN10MB, "RAW": wirelet.DLT_RAW,
             "NULL": wirelet.DLT_NULL, "LINUX_SLL": wirelet.DLT_LINUX_SLL}
# tcpdump's snapshot length when -s is missing or 0.
TCPDUMP_SNAPLEN = 262144


def tcpdump(*args):
    r = subprocess.run(["tcpdump", "-n", *args], capture_output=True, text=True, timeout=30)
    error = r.stderr.strip().splitlines()[-1].removeprefix("tcpdump: ") if r.returncode else None
    return error, r.stdout


def tcpdump_dd(linktype, expr, snaplen, optimize):
    """tcpdump -dd: the compiled instructions, or libpcap's diagnostic."""
    error, out = tcpdump("-dd", "-y", linktype, *(["-s", str(snaplen)] if snaplen is not None else []),
                         *([] if optimize else ["-O"]), expr)
    return error or [tuple(int(v, 0) for v in m) for m in re.findall(r"\{ (\w+), (\w+), (\w+), (\w+) \}", out)]


def compiled(linktype, snaplen, expr, optimize, netmask=0):
    try:
        return wirelet.compile(linktype, snaplen, expr, optimize, netmask).get_bpf()
    except wirelet.PcapError as e:
        return str(e)


# ---------------------------------------------------------------------------
# compile() against tcpdump -dd.
#
# How tcpdump's settings map onto compile(linktype, snaplen, filter, optimize,
# netmask), found by running it: with -d and no -i or -r it compiles on a dead
# handle (it opens no file, device or socket);
#   -y NAME  -> linktype, the DLT_ value of that name;
#   -s N     -> snaplen N, and no -s or -s 0 -> 262144;
#   default  -> optimize 1, and -O -> optimize 0;
#   netmask  -> 0: "ip broadcast" compiles to the test for an all-zeros or
#               all-ones address, where PCAP_NETMASK_UNKNOWN would be refused.

@needs_tcpdump
@pytest.mark.parametrize("name", LINKTYPES)
@pytest.mark.parametrize("snaplen, optimize", [(None, True), (0, False), (96, True), (65535, False)])
def test_compile_matches_tcpdump_dd(name, snaplen, optimize):
    mismatches = []
    for expr in CORPUS:
        want = tcpdump_dd(name, expr, snaplen, optimize)
        got = compiled(LINKTYPES[name], snaplen or TCPDUMP_SNAPLEN, expr, int(optimize))
        if got != want:
            mismatches.append((expr, got, want))
    assert mismatches == []


@needs_tcpdump
def test_netmask_tcpdump_passes_zero_and_compile_passes_any():
    assert compiled(1, TCPDUMP_SNAPLEN, "ip broadcast", 1, 0) == tcpdump_dd("EN10MB", "ip broadcast", None, True)
    unknown = "netmask not known, so 'ip broadcast' not supported"
    # PCAP_NETMASK_UNKNOWN is all ones; -1 is taken modulo 2**32 to the same.
    assert compiled(1, 100, "ip broadcast", 1, 0xFFFFFFFF) == compiled(1, 100, "ip broadcast", 1, -1) == unknown
    to_subnet_broadcast = frame(1, 0x0800, ip4(17, udp(1, 2), dst="10.0.0.255"))
    assert wirelet.compile(1, 100, "ip broadcast", 1, 0xFFFFFF00).filter(to_subnet_broadcast) == 100
    assert wirelet.compile(1, 100, "ip broadcast", 1, 0).filter(to_subnet_broadcast) == 0


# Expressions of hundreds to thousands of primitives, which the module
# compiles on a stack of its own.
LONG = [" or ".join(f"tcp port {i}" for i in range(300)),
        " and ".join(f"(udp port {i} or not host 192.0.2.{i})" for i in range(200)),
        " and ".join(["udp"] * 3000)]


@needs_tcpdump
def test_long_expressions_compile_as_tcpdump_compiles_them():
    for expr, optimize in ((LONG[0], True), (LONG[0], False), (LONG[1], False), (LONG[2], True)):
        assert compiled(1, TCPDUMP_SNAPLEN, expr, int(optimize)) == tcpdump_dd("EN10MB", expr, None, optimize)
    assert wirelet.BPFProgram(LONG[1]).get_bpf() == tcpdump_dd("EN10MB", LONG[1], 65536, False)


# ---------------------------------------------------------------------------
# BPFProgram(expr, linktype) against tcpdump -r on capture files.

MAC_A, MAC_B = bytes.fromhex("020000000001"), bytes.fromhex("020000000002")


def ip4(proto, payload, src="10.0.0.1", dst="192.168.1.2", frag=0, options=b""):
    ihl = 5 + len(options) // 4
    return struct.pack("!BBHHHBBH4s4s", 0x40 | ihl, 0, 4 * ihl + len(payload), 1, frag, 64, proto, 0,
                       socket.inet_aton(src), socket.inet_aton(dst)) + options + payload


def ip6(nh, payload, src="2001:db8::1", dst="::1"):
    return struct.pack("!IHBB16s16s", 6 << 28, len(payload), nh, 64, socket.inet_pton(socket.AF_INET6, src),
                       socket.inet_pton(socket.AF_INET6, dst)) + payload


def tcp(sport, dport, flags=0x02, payload=b""):
    return struct.pack("!HHIIBBHHH", sport, dport, 1, 0, 5 << 4, flags, 65535, 0, 0) + payload


def udp(sport, dport, payload=b"q"):
    return struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload


def icmp(kind):
    return struct.pack("!BBHI", kind, 0, 0, 0)


ARP = struct.pack("!HHBBH6s4s6s4s", 1, 0x0800, 6, 4, 1, MAC_A, socket.inet_aton("10.0.0.1"),
                  bytes(6), socket.inet_aton("10.0.0.2"))
# (ethertype, network-layer packet): varied protocols, then packets cut short.
PACKETS = [
    (0x0800, ip4(6, tcp(40000, 80))),
    (0x0800, ip4(6, tcp(80, 40000, 0x12), src="192.168.1.2", dst="10.0.0.1")),
    (0x0800, ip4(6, tcp(40000, 80, 0x18, b"GET / HTTP/1.1\r\n"))),
    (0x0800, ip4(6, tcp(1024, 443, 0x10), src="10.1.2.3", dst="127.0.0.1")),
    (0x0800, ip4(17, udp(5353, 53, b"q" * 30))),
    (0x0800, ip4(17, udp(1024, 6005, b"z" * 1400), dst="255.255.255.255")),
    (0x0800, ip4(17, udp(1500, 1500), src="0.0.0.0", dst="224.0.0.251")),
    (0x0800, ip4(1, icmp(8))),
    (0x0800, ip4(1, icmp(0), src="192.168.1.2", dst="10.0.0.1")),
    (0x0800, ip4(6, tcp(22, 2222, 0x10), frag=0x2000)),
    (0x0800, ip4(17, b"rest of a datagram", frag=0x00B9)),
    (0x0800, ip4(6, tcp(40000, 22), options=b"\x01\x01\x01\x00")),
    (0x0800, ip4(47, b"\x00\x00\x08\x00")),
    (0x86DD, ip6(6, tcp(40000, 443))),
    (0x86DD, ip6(17, udp(1024, 53), src="fe80::1", dst="ff02::1")),
    (0x86DD, ip6(58, icmp(128), src="::1")),
    (0x0806, ARP),
    (0x0800, ip4(6, tcp(40000, 80))[:30]),
    (0x0800, ip4(17, udp(1, 2))[:12]),
    (0x86DD, ip6(17, udp(1, 2))[:20]),
    (0x0800, b""),
]


def frame(linktype, ethertype, packet, vlan=None):
    if linktype == wirelet.DLT_EN10MB:
        tag = struct.pack("!HH", 0x8100, vlan) if vlan is not None else b""
        dst = b"\xff" * 6 if ethertype == 0x0806 else MAC_B
        return dst + MAC_A + tag + struct.pack("!H", ethertype) + packet
    if linktype == wirelet.DLT_LINUX_SLL:
        return struct.pack("!HHH8sH", 0, 1, 6, MAC_A, ethertype) + packet
    if linktype == wirelet.DLT_NULL:  # AF_INET, in the writer's byte order
        return struct.pack("=I", 2) + packet
    return packet


def frames(linktype):
    """Frames of PACKETS for the link type, none of them empty (tcpdump prints
    no timestamp for an empty record). DLT_NULL carries no ARP, and no IPv6
    here: a program for a capture file accepts the AF_INET6 values of every
    BSD, while one compiled without a file accepts this host's value only."""
    kept = {wirelet.DLT_EN10MB: (0x0800, 0x86DD, 0x0806), wirelet.DLT_LINUX_SLL: (0x0800, 0x86DD, 0x0806),
            wirelet.DLT_RAW: (0x0800, 0x86DD), wirelet.DLT_NULL: (0x0800,)}[linktype]
    out = [frame(linktype, et, p) for et, p in PACKETS if et in kept and frame(linktype, et, p)]
    if linktype == wirelet.DLT_EN10MB:
        out += [frame(linktype, 0x0800, ip4(17, udp(9, 53)), vlan=100),
                frame(linktype, 0x86DD, ip6(6, tcp(1, 80)), vlan=200),
                b"\x01\x00\x5e\x00\x00\xfb" + MAC_A + b"\x08\x00" + ip4(17, udp(1, 2), dst="224.0.0.251"),
                MAC_B + MAC_A[:4]]
    return out


def matches(path, program):
    stamps = []
    with wirelet.open_offline(path) as reader:
        while True:
            header, data = reader.next()
            if header is None:
                return stamps
            if program.filter(data):
                stamps.append("%d.%06d" % header.getts())


# BPFProgram does not optimise, so it is held against tcpdump -O, which then
# runs the very same program; compile() with optimisation on is held against
# tcpdump's default. The two differ on packets cut short (see the property
# test below). Records are written whole (captured length = wire length):
# filter() sees only the bytes, so "len" and "greater" read their count, where
# tcpdump reads the wire length of the record.
@needs_tcpdump
@pytest.mark.parametrize("optimize", [False, True], ids=["constructor", "optimised"])
@pytest.mark.parametrize("linktype", [*LINKTYPES.values(), "sample"])
def test_programs_select_what_tcpdump_selects(tmp_path, linktype, optimize):
    if linktype == "sample":
        path, linktype = SAMPLE, wirelet.DLT_EN10MB
    else:
        file_linktype = 101 if linktype == wirelet.DLT_RAW else linktype  # LINKTYPE_RAW in files
        path = pcapfile.write(tmp_path / "f.pcap", frames(linktype), linktype=file_linktype)
    assert len(matches(path, wirelet.BPFProgram("", linktype))) > 10
    mismatches = []
    for expr in CORPUS:
        error, out = tcpdump("-tt", "-q", *([] if optimize else ["-O"]), "-r", path, expr)
        want = error or [line.split()[0] for line in out.splitlines()]
        try:
            if optimize:
                program = wirelet.compile(linktype, TCPDUMP_SNAPLEN, expr, 1, 0)
            else:
                program = wirelet.BPFProgram(expr, linktype)
            got = matches(path, program)
        except wirelet.PcapError as e:
            got = str(e)
        except wirelet.BPFError as e:
            got = error if error and str(e) == "Couldn't compile BPF program" else repr(e)
        if got != want:
            mismatches.append((expr, got, want))
    assert mismatches == []


# ---------------------------------------------------------------------------
# Properties over arbitrary bytes.

MAX_EXAMPLES = int(os.environ.get("WIRELET_HYPOTHESIS_EXAMPLES", "150"))
PROPERTY_CORPUS = [e for e in CORPUS if "broadcast" not in e]
SAMPLE_FRAMES = frames(wirelet.DLT_EN10MB)


def furthest_absolute_load(program):
    sizes = {0x20: 4, 0x28: 2, 0x30: 1, 0xB1: 1}  # ld, ldh, ldb, ldxb 4*([k]&0xf)
    return max((k + sizes[code] for code, _, _, k in program.get_bpf() if code in sizes), default=0)


@functools.lru_cache(maxsize=None)
def program_pair(expr):
    return wirelet.BPFProgram(expr), wirelet.compile(wirelet.DLT_EN10MB, 65536, expr, 1, 0)


@st.composite
def packet_bytes(draw):
    kind = draw(st.sampled_from(["short", "long", "frame"]))
    if kind == "short":
        return draw(st.binary(max_size=200))
    if kind == "long":
        return random.Random(draw(st.integers(0, 2**32))).randbytes(draw(st.integers(0, 70_000)))
    base = bytearray(draw(st.sampled_from(SAMPLE_FRAMES)))
    for pos, value in draw(st.lists(st.tuples(st.integers(0, len(base) - 1), st.integers(0, 255)), max_size=4)):
        base[pos] = value
    cut = draw(st.integers(0, len(base)))
    return bytes(base[:cut]) + bytes(draw(st.sampled_from([0, 0, 1, 70_000 - cut])))


@settings(max_examples=MAX_EXAMPLES, deadline=None)
@given(expr=st.sampled_from(PROPERTY_CORPUS), packet=packet_bytes())
def test_optimised_and_plain_programs_agree_on_any_bytes(expr, packet):
    plain, optimised = program_pair(expr)
    result, optimised_result = plain.filter(packet), optimised.filter(packet)
    assert result in (0, 65536) and optimised_result in (0, 65536)
    if result != optimised_result:
        # libpcap's optimiser drops loads whose value cannot matter (the words
        # that "ip6 net 2001:db8::/32" masks off), so only the plain program
        # runs past the end of a short packet, which makes it reject.
        assert (result, optimised_result) == (0, 65536) and len(packet) < furthest_absolute_load(plain)


# ---------------------------------------------------------------------------
# The objects and their arguments.

def test_constructor_settings_and_arguments():
    ip_udp = pcapfile.udp_frame()
    p = wirelet.BPFProgram("udp")
    assert type(p) is wirelet.BPFProgram and p is not wirelet.BPFProgram("udp")
    assert p.get_bpf() == wirelet.compile(1, 65536, "udp", 0, 0).get_bpf()
    assert p.filter(ip_udp) == 65536 and p.filter(ip_udp[:20]) == 0 and p.filter(b"") == 0
    raw = wirelet.compile(12, 65536, "tcp", 0, 0).get_bpf()
    assert wirelet.BPFProgram("tcp", 12).get_bpf() == raw
    # A keyword argument is ignored, not refused.
    assert wirelet.BPFProgram("tcp", linktype=12).get_bpf() == wirelet.BPFProgram("tcp").get_bpf() != raw
    for args in ((), (1,), ("tcp", "1"), ("tcp", 1, 2), ("tcp", 2**31)):
        with pytest.raises((TypeError, OverflowError)):
            wirelet.BPFProgram(*args)
    with pytest.raises(TypeError, match="bytes-like object is required, not 'str'"):
        p.filter("text")
    with pytest.raises(TypeError, match=r"^filter\(\) takes exactly 1 argument \(2 given\)$"):
        p.filter(b"a", b"b")
    with pytest.raises(TypeError, match="read-only bytes-like object"):
        p.filter(bytearray(b"a"))
    with pytest.raises(TypeError):
        p.get_bpf(1)


def test_accept_value_is_the_snapshot_length_listed_unsigned_returned_signed():
    program = wirelet.compile(1, -1, "ip[2:2] - 20 > 100", 0, 0).get_bpf()
    assert all(type(insn) is tuple and len(insn) == 4 and all(type(v) is int and v >= 0 for v in insn)
               for insn in program)
    assert program[-2:] == [(0x06, 0, 0, 0xFFFFFFFF), (0x06, 0, 0, 0)]
    ip_udp = pcapfile.udp_frame()
    for snaplen in (1, 65535, 2**31 - 1, -1, -2**31):
        assert wirelet.compile(1, snaplen, "udp", 1, 0).filter(ip_udp) == snaplen
    with pytest.raises(OverflowError):
        wirelet.compile(1, 2**31, "udp", 1, 0)


def test_compile_arguments_and_type_shape():
    for args in ((1, 100, "tcp", 0), (1, 100, "tcp", 0, 0, 0), (1, 100, b"tcp", 0, 0), (2**31, 100, "tcp", 0, 0)):
        with pytest.raises((TypeError, OverflowError)):
            wirelet.compile(*args)
    with pytest.raises(TypeError):
        wirelet.compile(1, 100, "tcp", 0, netmask=0)
    assert wirelet.compile.__doc__ == (
        "compile(linktype, snaplen, filter, optimize, netmask) creates a bpfprogram object")
    T = wirelet.BPFProgram
    assert T.__name__ == "BPFProgram" and T.__doc__ == "BPF Program Wrapper" and T.__itemsize__ == 0
    assert T.filter.__doc__ == "filter(packet) applies the filter to the packet, returns 0 if there's no match"
    assert T.get_bpf.__doc__ == "return packet-matching code as decimal numbers"
    with pytest.raises(TypeError):
        class Sub(T):
            pass
    p = T("tcp")
    with pytest.raises(AttributeError):
        p.bpf = 1
    with pytest.raises(AttributeError):
        p.no_such_method


@needs_tcpdump
@pytest.mark.parametrize("expr, linktype", [("tcp port 99999", "EN10MB"), ("vlan", "RAW"), ("ip and (", "EN10MB"),
                                            ("ether host 02:00:00:00:00:01", "NULL"), ("ip6 host 10.0.0.1", "EN10MB")])
def test_compile_failures(expr, linktype):
    diagnostic = tcpdump_dd(linktype, expr, None, True)
    assert isinstance(diagnostic, str)
    with pytest.raises(wirelet.PcapError) as info:
        wirelet.compile(LINKTYPES[linktype], TCPDUMP_SNAPLEN, expr, 1, 0)
    assert str(info.value) == diagnostic
    with pytest.raises(wirelet.BPFError, match="^Couldn't compile BPF program$"):
        wirelet.BPFProgram(expr, LINKTYPES[linktype])


def test_compile_refuses_an_unknown_link_type():
    with pytest.raises(wirelet.PcapError, match="unknown data link type"):
        wirelet.compile(99999, 100, "ip", 0, 0)
    with pytest.raises(wirelet.BPFError):
        wirelet.BPFProgram("ip", 99999)


class NativeProgram(ctypes.Structure):
    _fields_ = [("bf_len", ctypes.c_uint), ("bf_insns", ctypes.c_void_p)]


@pytest.mark.skipif(shutil.which("nm") is None, reason="binutils missing")
def test_new_bpfobject_adopts_a_program_compiled_natively():
    out = subprocess.run(["nm", "-D", "--defined-only", wirelet.__file__], capture_output=True, text=True).stdout
    symbol = next(line.split()[-1] for line in out.splitlines() if "new_bpfobject" in line)
    demangled = subprocess.run(["c++filt", symbol], capture_output=True, text=True).stdout.strip()
    assert demangled == "new_bpfobject(bpf_program const&)"
    new_bpfobject = ctypes.PyDLL(wirelet.__file__)[symbol]
    new_bpfobject.restype, new_bpfobject.argtypes = ctypes.py_object, [ctypes.POINTER(NativeProgram)]
    record = NativeProgram()
    pcap = ctypes.CDLL(ctypes.util.find_library("pcap"))
    assert pcap.pcap_compile_nopcap(96, 1, ctypes.byref(record), b"udp", 1, 0) == 0
    program = new_bpfobject(ctypes.byref(record))  # takes the instructions over; freed with the object
    assert type(program) is wirelet.BPFProgram
    assert program.get_bpf() == wirelet.compile(1, 96, "udp", 1, 0).get_bpf()


def heap_in_use():
    class MallInfo2(ctypes.Structure):
        _fields_ = [(n, ctypes.c_size_t) for n in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                                                   "fsmblks", "uordblks", "fordblks", "keepcost")]
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2
    gc.collect()
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


@pytest.mark.skipif(not hasattr(ctypes.CDLL(None), "mallinfo2"), reason="needs glibc's mallinfo2")
def test_programs_free_their_instructions_and_keep_no_references():
    packet = bytes(pcapfile.udp_frame(b"x" * 100))
    refs = sys.getrefcount(packet)
    expr = " or ".join(f"udp port {1000 + i}" for i in range(20))  # a few hundred instructions

    def churn():
        for _ in range(300):
            for p in (wirelet.BPFProgram(expr), wirelet.compile(1, 100, expr, 0, 0)):
                p.filter(packet)
                p.get_bpf()
    churn()
    before = heap_in_use()
    churn()
    assert heap_in_use() - before < 200_000  # a leak would be 300 * 2 * several kB
    assert sys.getrefcount(packet) == refs


# ---------------------------------------------------------------------------
# Faults forced in a child process: pcap_open_dead yielding no handle, and a
# BPFProgram that cannot be allocated after its program was compiled.

SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>
int fail_open_dead, freecode_calls;
void *pcap_open_dead(int linktype, int snaplen)
{
    void *(*real)(int, int) = (void *(*)(int, int))dlsym(RTLD_NEXT, "pcap_open_dead");
    return fail_open_dead ? NULL : real(linktype, snaplen);
}
void pcap_freecode(void *program)
{
    void (*real)(void *) = (void (*)(void *))dlsym(RTLD_NEXT, "pcap_freecode");
    freecode_calls++;
    real(program);
}
"""

CHILD = r"""
import ctypes, ctypes.util
ctypes.CDLL(ctypes.util.find_library("pcap"), mode=ctypes.RTLD_GLOBAL)  # found by the shim's RTLD_NEXT
import _testcapi, wirelet
shim = ctypes.CDLL(None)
fail_open_dead = ctypes.c_int.in_dll(shim, "fail_open_dead")
freed = ctypes.c_int.in_dll(shim, "freecode_calls")
fail_open_dead.value = 1
try:
    wirelet.compile(1, 100, "tcp", 0, 0)
except wirelet.PcapError as e:
    print("open_dead:", e)
fail_open_dead.value = 0
for make, args in ((wirelet.compile, (1, 100, "tcp", 0, 0)), (wirelet.BPFProgram, ("tcp",))):
    before = freed.value
    _testcapi.set_nomemory(0, 1)  # the object is the call's first allocation
    try:
        make(*args)
    except wirelet.BPFError as e:
        _testcapi.remove_mem_hooks()
        print(make.__name__, e, freed.value - before)
"""


@pytest.mark.skipif(shutil.which("cc") is None, reason="needs a C compiler")
def test_failed_construction_frees_the_program_and_a_missing_handle_raises(tmp_path):
    pytest.importorskip("_testcapi")
    subprocess.run(["cc", "-shared", "-fPIC", "-o", tmp_path / "shim.so", "-x", "c", "-", "-ldl"],
                   input=SHIM, text=True, check=True)
    r = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=60,
                       env={**os.environ, "LD_PRELOAD": " ".join(  # after a sanitizer's runtime
                           filter(None, (os.environ.get("LD_PRELOAD"), str(tmp_path / "shim.so"))))})
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "open_dead: Couldn't create a pcap handle to compile the filter with",
        "compile Failed to create object 1",
        "BPFProgram Failed to create object 1",
    ]


# ---------------------------------------------------------------------------
# Expressions that need more stack than the calling thread has: libpcap's
# compiler recurses once per block of the program. In a child process whose
# main thread has 256 KiB of stack, the same calls on that thread, on a thread
# with as little and on one with plenty give the same results, for a deep
# expression and for megabytes; with no address space left for the stack that
# a long expression needs, the call is a MemoryError and the next one works.

DEEP_CHILD = r"""
import json, resource, sys, threading, wirelet
entry, path, sanitized = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
expressions = ["&&".join(["l1"] * 150),  # 600 bytes; 380 kB of stack in libpcap 1.10.3
               "udp" + " " * 2**21, "not " * 2**18 + "udp"]  # megabytes; the parser refuses the second


def compile(expression):
    try:
        if entry == "BPFProgram":
            return wirelet.BPFProgram(expression, 127).get_bpf()
        if entry == "compile":
            return wirelet.compile(127, 65536, expression, 0, 0).get_bpf()
        with wirelet.open_offline(path) as reader:
            return reader.setfilter(expression)
    except (wirelet.BPFError, wirelet.PcapError) as e:
        return str(e)


results = {"main": [compile(e) for e in expressions]}
for name, size in (("small", 256 << 10), ("large", 64 << 20)):
    threading.stack_size(size)
    thread = threading.Thread(target=lambda: results.__setitem__(name, [compile(e) for e in expressions]))
    thread.start()
    thread.join()
assert results["main"] == results["small"] == results["large"]
print(json.dumps(results["main"]))
if not sanitized:  # the sanitizer's shadow memory needs all the address space
    with open("/proc/self/status") as f:
        size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (size + (1 << 30), resource.RLIM_INFINITY))
    try:
        compile(expressions[1])
    except MemoryError:
        print("MemoryError")
    print(json.dumps(compile("udp")))
"""


@pytest.mark.parametrize("entry", ["BPFProgram", "compile", "setfilter"])
def test_deep_and_huge_expressions_compile_on_any_stack(tmp_path, entry):
    path = pcapfile.write(tmp_path / "radio.pcap", [], linktype=127)  # DLT_IEEE802_11_RADIO
    r = subprocess.run([sys.executable, "-c", DEEP_CHILD, entry, path, str(int(SANITIZED))],
                       capture_output=True, text=True, timeout=100,
                       preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_STACK, (256 << 10, 256 << 10)))
    assert r.returncode == 0, r.stderr[-2000:]

    def program(expression):
        if entry == "setfilter":
            return None
        return [list(insn) for insn in wirelet.compile(127, 65536, expression, 0, 0).get_bpf()]
    refused = "can't parse filter expression: memory exhausted"
    if entry == "BPFProgram":
        refused = "Couldn't compile BPF program"
    lines = r.stdout.splitlines()
    assert json.loads(lines[0]) == [program("&&".join(["l1"] * 150)), program("udp"), refused]
    assert lines[1:] == ([] if SANITIZED else ["MemoryError", json.dumps(program("udp"))])


# A long compile releases the lock: another thread runs beside it. Ctrl-C ends
# a Reader's compile at once, leaving its filter as it was; the compile goes
# on in the background, the handle refuses other operations until it ends,
# and a close() meanwhile waits for it. A stack limit lowered after a first
# compile is the one that counts.

LONG_COMPILE_CHILD = r"""
import os, resource, signal, sys, threading, time, wirelet
hosts = lambda n: " or ".join(f"host 10.{i // 250}.{i % 250}.{i % 7 + 1}" for i in range(n))
compiling = threading.Thread(target=wirelet.BPFProgram, args=(hosts(500),))
compiling.start()
beside = 0
while compiling.is_alive():
    beside += 1
    time.sleep(0.001)
print(beside > 20, flush=True)

r = wirelet.open_offline(sys.argv[1])


def meanwhile():
    try:
        r.next()
    except wirelet.PcapError as e:
        print(e, flush=True)
    r.close()


threading.Timer(0.05, meanwhile).start()
try:
    r.setfilter(hosts(300))
except ValueError as e:
    print(e, flush=True)


def interrupt(*args):
    raise KeyboardInterrupt


signal.signal(signal.SIGALRM, interrupt)
r = wirelet.open_offline(sys.argv[1])
r.setfilter("udp")
for close in (False, True):
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    try:
        r.setfilter(hosts(300))
        print("not interrupted")
    except KeyboardInterrupt:
        pass
    if close:
        r.close()
        break
    try:
        r.next()
    except wirelet.PcapError as e:
        print(e, flush=True)
    while True:
        try:
            header, data = r.next()  # the old filter, once the compile is over
            break
        except wirelet.PcapError:
            time.sleep(0.02)
    print(header is not None and data[23] == 17)
while len(os.listdir("/proc/self/task")) > 1:  # the compile closes the handle
    time.sleep(0.02)
wirelet.BPFProgram("tcp")
resource.setrlimit(resource.RLIMIT_STACK, (256 << 10, resource.getrlimit(resource.RLIMIT_STACK)[1]))
print(len(wirelet.BPFProgram("&&".join(["l1"] * 127), 127).get_bpf()))
"""


def test_long_compiles_release_the_lock_and_end_on_ctrl_c():
    r = subprocess.run([sys.executable, "-c", LONG_COMPILE_CHILD, SAMPLE], capture_output=True, text=True,
                       timeout=120)
    assert r.returncode == 0, r.stderr[-2000:]
    expected = len(wirelet.BPFProgram("&&".join(["l1"] * 127), 127).get_bpf())
    busy = "a filter is being compiled for this Reader"
    assert r.stdout.splitlines() == ["True", busy, "pcap is closed", busy, "True", str(expected)]


def test_filter_refuses_4_gib_or_more():
    # bpf_filter counts in 32 bits: 2**32 + 100 bytes would be filtered as 100.
    packet = bytes(2**32 + 100)  # calloc: only touched pages cost memory
    with pytest.raises(wirelet.BPFError, match="too long to filter"):
        wirelet.BPFProgram("greater 200").filter(packet)


# ---------------------------------------------------------------------------
# The example.

@needs_tcpdump
def test_example_lists_programs_as_tcpdump_d_does():
    listing = runpy.run_path(os.path.join(EXAMPLES, "bpf.py"))["listing"]
    for i, expr in enumerate(CORPUS):
        name = list(LINKTYPES)[i % 4]
        error, want = tcpdump("-d", "-O", "-y", name, expr)
        if not error:
            program = wirelet.compile(LINKTYPES[name], TCPDUMP_SNAPLEN, expr, 0, 0)
            assert listing(program) == want.splitlines(), expr


@needs_tcpdump
def test_example_command_line():
    script = os.path.join(EXAMPLES, "bpf.py")
    run = functools.partial(subprocess.run, capture_output=True, text=True, timeout=60)
    r = run([sys.executable, script, "-y", "RAW", "-s", "96", "-O", "tcp", "port", "80"])
    assert r.stdout.splitlines() == tcpdump("-d", "-y", "RAW", "-s", "96", "-O", "tcp port 80")[1].splitlines()
    r = run([sys.executable, script, "-r", SAMPLE, "udp or icmp"])
    selected = len(tcpdump("-r", SAMPLE, "udp or icmp")[1].splitlines())
    total = len(tcpdump("-r", SAMPLE)[1].splitlines())
    assert r.stdout == f"{selected} of {total} packets match\n" and 0 < selected < total
    r = run([sys.executable, script, "tcp port 99999"])
    assert r.returncode != 0 and r.stderr == "bpf.py: illegal port number 99999 > 65535\n"
