#!/usr/bin/env python3
"""Writes the malformed capture files of this directory (run it to renew them).

Each file is broken in one way that a capture file from anywhere may be
broken; a few are unusual but valid. The directory and FIFO cases are made by
the tests themselves.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
FRAME = bytes.fromhex("020000000002020000000001080045000020000000004011000" "0c0000201c633640204d20035000c0000") + b"abcd"


def ghdr(magic=0xA1B2C3D4, major=2, minor=4, snaplen=65535, linktype=1, endian="<"):
    return struct.pack(endian + "IHHiIII", magic, major, minor, 0, 0, snaplen, linktype)


def rec(data, caplen=None, wirelen=None, ts=(1, 0), endian="<"):
    caplen = len(data) if caplen is None else caplen
    return struct.pack(endian + "IIII", ts[0], ts[1], caplen, len(data) if wirelen is None else wirelen) + data


def block(btype, body, endian="<", length=None):
    body += b"\0" * (-len(body) % 4)
    total = 12 + len(body) if length is None else length
    return struct.pack(endian + "II", btype, total) + body + struct.pack(endian + "I", total)


SHB = block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1))
IDB = block(1, struct.pack("<HHI", 1, 0, 65535))


def epb(data, iface=0, caplen=None):
    caplen = len(data) if caplen is None else caplen
    return block(6, struct.pack("<IIIII", iface, 0, 1, caplen, len(data)) + data)


FILES = {
    "empty.pcap": b"",
    "bad-magic.pcap": b"\xde\xad\xbe\xef" + ghdr()[4:] + rec(FRAME),
    "short-global-header.pcap": ghdr()[:10],
    "unsupported-version.pcap": ghdr(major=9) + rec(FRAME),
    "short-record-header.pcap": ghdr() + rec(FRAME) + rec(FRAME)[:5],
    "short-record-data.pcap": ghdr() + rec(FRAME) + rec(FRAME)[:16 + 10],
    "caplen-over-snaplen.pcap": ghdr(snaplen=32) + rec(FRAME) + rec(FRAME, ts=(2, 0)),
    "caplen-max.pcap": ghdr() + rec(FRAME) + struct.pack("<IIII", 2, 0, 0xFFFFFFFF, 0xFFFFFFFF) + FRAME,
    "caplen-huge-plausible.pcap": ghdr(snaplen=0x7FFFFFFF) + struct.pack("<IIII", 1, 0, 300000, 300000) + FRAME,
    "snaplen-zero.pcap": ghdr(snaplen=0) + rec(FRAME),
    "snaplen-max.pcap": ghdr(snaplen=0xFFFFFFFF) + rec(FRAME),
    "unknown-linktype.pcap": ghdr(linktype=0xFFF0) + rec(FRAME),
    "zero-caplen-records.pcap": ghdr() + rec(b"") * 3,
    "big-endian.pcap": ghdr(endian=">") + rec(FRAME, endian=">") * 2,
    "nanoseconds.pcap": ghdr(magic=0xA1B23C4D) + rec(FRAME, ts=(1, 999_999_999)),
    "trailing-garbage.pcap": ghdr() + rec(FRAME) + b"\x01\x02\x03",
    "pcapng-valid.pcapng": SHB + IDB + epb(FRAME) + epb(FRAME),
    "pcapng-short-shb.pcapng": SHB[:20],
    "pcapng-bad-shb-length.pcapng": block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1), length=7) + IDB,
    "pcapng-bad-byte-order.pcapng": block(0x0A0D0D0A, struct.pack("<IHHq", 0x11223344, 1, 0, -1)) + IDB,
    "pcapng-no-idb.pcapng": SHB + epb(FRAME),
    "pcapng-bad-interface.pcapng": SHB + IDB + epb(FRAME) + epb(FRAME, iface=7),
    "pcapng-truncated-block.pcapng": SHB + IDB + epb(FRAME) + epb(FRAME)[:30],
    "pcapng-caplen-over-block.pcapng": SHB + IDB + epb(FRAME, caplen=5000),
    "pcapng-huge-block.pcapng": SHB + IDB + struct.pack("<II", 6, 0x7FFFFFF0) + b"\0" * 40,
    "pcapng-zero-length-block.pcapng": SHB + IDB + struct.pack("<II", 6, 0) + b"\0" * 16,
    "pcapng-unknown-blocks.pcapng": SHB + IDB + block(0x0BAD, b"x" * 9) + epb(FRAME),
}


def main():
    for name, blob in FILES.items():
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(blob)
    print(f"wrote {len(FILES)} files to {HERE}")


if __name__ == "__main__":
    main()
