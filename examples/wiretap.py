#!/usr/bin/env python3
"""A small tcpdump-like packet printer built on wirelet.

    wiretap.py                      print the capture that ships with wirelet
    wiretap.py -r FILE udp port 53  print the packets of a file that match a filter
    wiretap.py -i DEVICE -c 10      print ten packets captured live (root)
    wiretap.py -i DEVICE --immediate
                                    print each packet as it arrives, not a block at a time
    wiretap.py -r FILE -w OUT tcp   copy the matching packets to another file

One line per packet: timestamp, captured and wire length, and a short decode
of the Ethernet, IPv4/IPv6 and TCP/UDP/ICMP headers. The trailing arguments
form a filter expression, as tcpdump takes them. The other examples borrow
its decoders, protocol() and format_packet().
"""
from __future__ import annotations

import argparse
import os
import socket
import struct
import sys
import threading
import time
from typing import TYPE_CHECKING

import wirelet

if TYPE_CHECKING:
    from wirelet import Pkthdr

SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "loopback.pcap")

TCP_FLAGS = "FSRPAUEC"
ICMP_TYPES = {0: "echo reply", 3: "unreachable", 8: "echo request", 11: "time exceeded"}
ICMP6_TYPES = {1: "unreachable", 3: "time exceeded", 128: "echo request", 129: "echo reply",
               135: "neighbor solicitation", 136: "neighbor advertisement"}


def decode_transport(proto: int, src: str, dst: str, seg: bytes) -> str:
    if proto == 6 and len(seg) >= 20:
        sport, dport, seq, ack, off, flags = struct.unpack_from("!HHIIBB", seg)
        names = "".join(TCP_FLAGS[i] for i in range(8) if flags & (1 << i)) or "."
        payload = len(seg) - (off >> 4) * 4
        return f"{src}.{sport} > {dst}.{dport}: TCP [{names}] seq {seq} ack {ack} length {payload}"
    if proto == 17 and len(seg) >= 8:
        sport, dport, length = struct.unpack_from("!HHH", seg)
        return f"{src}.{sport} > {dst}.{dport}: UDP length {length - 8}"
    if proto == 1 and len(seg) >= 2:
        kind = ICMP_TYPES.get(seg[0], f"type {seg[0]}")
        return f"{src} > {dst}: ICMP {kind} code {seg[1]}"
    if proto == 58 and len(seg) >= 2:
        kind = ICMP6_TYPES.get(seg[0], f"type {seg[0]}")
        return f"{src} > {dst}: ICMP6 {kind} code {seg[1]}"
    return f"{src} > {dst}: protocol {proto}"


def decode_ip(data: bytes) -> str:
    if len(data) >= 20 and data[0] >> 4 == 4:
        ihl = (data[0] & 15) * 4
        proto = data[9]
        src = socket.inet_ntop(socket.AF_INET, data[12:16])
        dst = socket.inet_ntop(socket.AF_INET, data[16:20])
        return "IP " + decode_transport(proto, src, dst, data[ihl:])
    if len(data) >= 40 and data[0] >> 4 == 6:
        src = socket.inet_ntop(socket.AF_INET6, data[8:24])
        dst = socket.inet_ntop(socket.AF_INET6, data[24:40])
        return "IP6 " + decode_transport(data[6], src, dst, data[40:])
    return f"truncated IP ({len(data)} bytes)"


def decode(linktype: int, data: bytes) -> str:
    if linktype == wirelet.DLT_EN10MB:
        if len(data) < 14:
            return "truncated Ethernet"
        ethertype = struct.unpack_from("!H", data, 12)[0]
        if ethertype in (0x0800, 0x86DD):
            return decode_ip(data[14:])
        if ethertype == 0x0806:
            return "ARP"
        return f"ethertype 0x{ethertype:04x}"
    if linktype == wirelet.DLT_RAW:
        return decode_ip(data)
    return f"link type {linktype}"


# The protocols that filter expressions name, by IP protocol number.
IPV4_PROTOCOLS = {1: "icmp", 6: "tcp", 17: "udp"}
IPV6_PROTOCOLS = {6: "tcp", 17: "udp", 58: "icmp6"}


def protocol(linktype: int, data: bytes) -> str:
    """The packet's protocol in a word, as a filter expression names it: tcp,
    udp, icmp, icmp6 or arp; ip or ip6 for another protocol over IP; other
    for the rest. The header right after IP decides: extension headers are not
    followed."""
    if linktype == wirelet.DLT_EN10MB:
        start, ethertype = 14, data[12:14]
    elif linktype == wirelet.DLT_LINUX_SLL:
        start, ethertype = 16, data[14:16]
    elif linktype == wirelet.DLT_RAW:
        start, ethertype = 0, b""
    else:
        return "other"
    if ethertype == b"\x08\x06":
        return "arp"
    version = data[start] >> 4 if len(data) > start else 0
    if version == 4 and ethertype in (b"", b"\x08\x00") and len(data) >= start + 20:
        return IPV4_PROTOCOLS.get(data[start + 9], "ip")
    if version == 6 and ethertype in (b"", b"\x86\xdd") and len(data) >= start + 40:
        return IPV6_PROTOCOLS.get(data[start + 6], "ip6")
    return "other"


def format_packet(linktype: int, header: Pkthdr, data: bytes) -> str:
    sec, usec = header.getts()
    stamp = time.strftime("%H:%M:%S", time.gmtime(sec)) + f".{usec:06d}"
    return f"{stamp} {header.getcaplen()}/{header.getlen()} {decode(linktype, data)}"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Print packets from a capture file or a device.")
    source = parser.add_mutually_exclusive_group()
    source.add_argument("-r", dest="file", help="read packets from FILE (default: the shipped sample)")
    source.add_argument("-i", dest="device", help="capture live on DEVICE")
    parser.add_argument("-c", dest="count", type=int, default=-1, help="stop after COUNT packets")
    parser.add_argument("-s", dest="snaplen", type=int, default=262144, help="snapshot length for -i")
    parser.add_argument("-w", dest="output", help="write the packets to OUTPUT instead of printing them")
    parser.add_argument("--immediate", action="store_true",
                        help="with -i: hand each packet over as it arrives (immediate mode)")
    parser.add_argument("expression", nargs="*", help="filter expression (numeric addresses only)")
    args = parser.parse_args(argv)

    if args.device and args.immediate:
        reader = wirelet.create(args.device)
        for status in (reader.set_snaplen(args.snaplen), reader.set_timeout(100), reader.set_immediate_mode(1),
                       reader.activate()):
            if status < 0:
                reader.close()
                sys.exit(f"wiretap: cannot capture on {args.device}: libpcap status {status}")
    elif args.device:
        reader = wirelet.open_live(args.device, args.snaplen, 0, 100)
    else:
        reader = wirelet.open_offline(args.file or SAMPLE)
    with reader:
        if args.expression:
            reader.setfilter(" ".join(args.expression))
        linktype = reader.datalink()
        seen = 0
        if args.output:
            dumper = reader.dump_open(args.output)

            def handle(header: Pkthdr, data: bytes) -> None:
                nonlocal seen
                dumper.dump(header, data)
                seen += 1
        else:
            def handle(header: Pkthdr, data: bytes) -> None:
                nonlocal seen
                print(format_packet(linktype, header, data), flush=args.immediate)
                seen += 1

        if args.device:
            # The capture runs in a thread so that Ctrl-C, seen by this one,
            # can stop it at once by closing the reader.
            worker = threading.Thread(target=reader.loop, args=(args.count, handle), daemon=True)
            worker.start()
            try:
                while worker.is_alive():
                    worker.join(0.2)
            except KeyboardInterrupt:
                reader.close()
                worker.join()
        else:
            reader.loop(args.count, handle)
        if args.output:
            dumper.close()
            print(f"{seen} packets written to {args.output}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BrokenPipeError:
        sys.exit(0)
    except wirelet.PcapError as exc:
        sys.exit(f"wiretap: {exc}")
