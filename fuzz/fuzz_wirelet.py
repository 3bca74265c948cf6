#!/usr/bin/env python3
"""Coverage-guided fuzzing of wirelet with atheris (libFuzzer).

    fuzz_wirelet.py capture [libFuzzer options] CORPUS_DIR...
    fuzz_wirelet.py bpf     [libFuzzer options] CORPUS_DIR...

capture: the input is a capture file; it is opened, read with next(), loop()
and dispatch(), copied through a Dumper and read back, and what comes back
must be what went in; read from a file object that hands it over in small
pieces, with no data now and then, it must read the same. bpf: the input picks a filter expression (mostly from
filter-language tokens) and packet bytes; the expression is compiled with the
BPFProgram constructor and with compile() for several link types, and each
program is run over the bytes.

Run it through `make fuzz`, which builds the module with coverage
instrumentation and preloads the sanitizer runtime. The bpf target must run
without a network (make fuzz uses `unshare -n`): a host name in an
expression makes libpcap look it up.
"""
import os
import sys
import tempfile

import atheris

with atheris.instrument_imports():
    import wirelet

WORK = tempfile.mkdtemp(prefix="wirelet-fuzz-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
INPUT = os.path.join(WORK, "input.pcap")
COPY = os.path.join(WORK, "copy.pcap")


def read_all(reader, how):
    out = []

    def take(h, data):
        assert len(data) == h.getcaplen(), (len(data), h.getcaplen())
        out.append((h.getts(), h.getcaplen(), h.getlen(), data, h))
    try:
        if how == 0:
            for _ in range(10000):
                h, data = reader.next()
                if h is None:
                    assert data == b""
                    break
                take(h, data)
        elif how == 1:
            reader.loop(-1, take)
        else:
            while reader.dispatch(3, take) > 0:
                pass
    except wirelet.PcapError:
        pass
    return out


class Trickle:
    """The input in pieces of 1 to 97 bytes; once open, no data (None) every third call."""

    def __init__(self, data):
        self.data, self.at, self.calls, self.opened = data, 0, 0, False

    def readinto(self, view):
        self.calls += 1
        if self.opened and self.calls % 3 == 0:
            return None
        size = min(len(view), 1 + (self.calls * 31 + len(self.data)) % 97, len(self.data) - self.at)
        view[:size] = self.data[self.at:self.at + size]
        self.at += size
        return size


def read_trickled(data):
    source = Trickle(data)
    try:
        reader = wirelet.fopen_offline(source)
    except wirelet.PcapError:
        return None
    source.opened = True
    out = []
    with reader:
        try:
            while True:
                h, payload = reader.next()
                if h is not None:
                    out.append((h.getts(), h.getcaplen(), h.getlen(), payload, h))
                elif source.at == len(data) and source.calls % 3 != 0:
                    break  # the end, not a None
        except wirelet.PcapError:
            pass
    return out


def fuzz_capture(data):
    with open(INPUT, "wb") as f:
        f.write(data)
    try:
        reader = wirelet.open_offline(INPUT)
    except wirelet.PcapError:
        return
    with reader:
        packets = read_all(reader, len(data) % 3)
    trickled = read_trickled(data)
    assert trickled is not None and [p[:4] for p in trickled] == [p[:4] for p in packets]
    with wirelet.open_offline(INPUT) as reader:
        try:
            dumper = reader.dump_open(COPY)
        except wirelet.PcapError:
            return  # a link type that cannot be written
    kept = []
    for packet in packets:
        *_, payload, header = packet
        try:
            dumper.dump(header, payload)
        except wirelet.PcapError:
            continue  # a timestamp a pcap file cannot hold: nothing of it is written
        kept.append(packet)
    dumper.close()
    with wirelet.open_offline(COPY) as copy:
        again = read_all(copy, 0)
    assert [record(p) for p in again] == [record(p) for p in kept]


def as_int32(value):
    return (value + 2**31) % 2**32 - 2**31


def record(packet):
    # A file stores 32-bit timestamp fields, which libpcap reads as signed
    # from a file in host byte order and as unsigned from a byte-swapped one.
    (sec, usec), caplen, wirelen, data, _ = packet
    return as_int32(sec), as_int32(usec), caplen, wirelen, data


TOKENS = ["tcp", "udp", "icmp", "icmp6", "ip", "ip6", "arp", "rarp", "vlan", "mpls", "pppoed", "pppoes",
          "geneve", "and", "or", "not", "(", ")", "host", "net", "port", "portrange", "src", "dst",
          "ether", "proto", "len", "greater", "less", "broadcast", "multicast", "gateway", "mask",
          "192.0.2.1", "198.51.100.0/24", "10.0.0.0", "255.255.0.0", "2001:db8::1", "2001:db8::/32",
          "02:00:00:00:00:01", "53", "80", "1-1024", "0", "1", "65535", "4294967295", "-1",
          "[", "]", ":", "2", "4", "&", "|", "^", "+", "-", "*", "/", "%", "<<", ">>", "=", "!=", "<",
          ">", "<=", ">=", "tcpflags", "tcp-syn", "icmptype", "icmp-echo", "inbound", "outbound",
          "ifname", "on", "reason", "action", "wlan", "type", "subtype", "mgt", "data", "ra", "ta",
          "atalk", "decnet", "iso", "clnp", "esis", "isis", "l1", "stp", "ipx", "netbeui", "sca"]
LINKTYPES = [0, 1, 6, 8, 9, 10, 12, 50, 104, 105, 108, 113, 114, 127, 147, 228, 276]


def fuzz_bpf(data):
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeBool():
        expr = " ".join(fdp.PickValueInList(TOKENS) for _ in range(fdp.ConsumeIntInRange(0, 14)))
    else:
        expr = fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 80))
    linktype = fdp.PickValueInList(LINKTYPES)
    snaplen = fdp.ConsumeIntInRange(-2, 300000)
    optimize = fdp.ConsumeIntInRange(0, 1)
    netmask = fdp.ConsumeIntInRange(0, 2**32 - 1)
    packet = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 2000))
    programs = []
    try:
        programs.append(wirelet.BPFProgram(expr, linktype))
    except (wirelet.BPFError, ValueError):
        pass
    try:
        programs.append(wirelet.compile(linktype, snaplen, expr, optimize, netmask))
    except (wirelet.PcapError, ValueError):
        pass
    for program in programs:
        insns = program.get_bpf()
        assert insns and all(len(i) == 4 and all(0 <= v < 2**32 for v in i) for i in insns)
        program.filter(packet)
        program.filter(packet[: len(packet) // 2])


def main():
    target = sys.argv.pop(1) if len(sys.argv) > 1 else ""
    func = {"capture": fuzz_capture, "bpf": fuzz_bpf}.get(target)
    if func is None:
        sys.exit("usage: fuzz_wirelet.py capture|bpf [libFuzzer options] [CORPUS_DIR...]")
    atheris.Setup(sys.argv, func)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
