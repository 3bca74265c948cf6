#!/usr/bin/env python3
"""Long run: millions of packets through every path, resident memory printed
at intervals. Not a test; run it by hand after changes to the hot paths.

    python bench/soak.py [--packets 10000000] [--every 1000000]

Each round reads a 100,000-packet file with next(), loop() and dispatch() in
turn, writes every packet through a Dumper, reads the copy back with a
filter installed, and runs BPFProgram.filter and a compiled program over the
packets. Resident memory must settle after the first rounds and stay flat.
"""
import argparse
import os
import random
import struct
import sys
import tempfile
import time

import wirelet


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def write_input(path, count):
    rng = random.Random(7)
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        for i in range(count):
            payload = bytes(rng.randrange(256) for _ in range(rng.randrange(18, 58)))
            udp = struct.pack("!HHHH", 1024 + i % 5000, 53 if i % 8 == 0 else 9000, 8 + len(payload), 0) + payload
            ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, 17, 0,
                             bytes([192, 0, 2, i % 256]), bytes([198, 51, 100, i % 251])) + udp
            frame = b"\x02\0\0\0\0\x02\x02\0\0\0\0\x01\x08\x00" + ip
            f.write(struct.pack("<IIII", 1_700_000_000 + i // 1000, i % 1000 * 1000, len(frame), len(frame)) + frame)


def one_round(path, copy, programs):
    seen = 0

    def count(h, d):
        nonlocal seen
        seen += 1
    with wirelet.open_offline(path) as r:
        dumper = r.dump_open(copy)
        while True:
            h, d = r.next()
            if h is None:
                break
            dumper.dump(h, d)
            h.getts(), h.getcaplen(), h.getlen()
            for p in programs:
                p.filter(d)
            seen += 1
        dumper.close()
    with wirelet.open_offline(path) as r:
        r.loop(-1, count)
    with wirelet.open_offline(copy) as r:
        r.setfilter("udp port 53")
        while r.dispatch(1000, count):
            pass
    return seen


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packets", type=int, default=10_000_000, help="packets to push through in all")
    parser.add_argument("--every", type=int, default=1_000_000, help="print resident memory this often")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="wirelet-soak-")
    path, copy = os.path.join(work, "in.pcap"), os.path.join(work, "copy.pcap")
    write_input(path, 100_000)
    programs = [wirelet.BPFProgram("udp port 53"), wirelet.compile(1, 65535, "ip and not icmp", 1, 0)]
    print(f"{'packets':>10} {'rss MB':>8} {'seconds':>8}")
    start, done, next_print = time.monotonic(), 0, 0
    first = None
    while done < args.packets:
        if done >= next_print:
            print(f"{done:>10} {rss_mb():8.1f} {time.monotonic() - start:8.1f}", flush=True)
            next_print += args.every
        done += one_round(path, copy, programs)
        if first is None:
            first = rss_mb()
    print(f"{done:>10} {rss_mb():8.1f} {time.monotonic() - start:8.1f}")
    print(f"resident memory: {first:.1f} MB after the first round, {rss_mb():.1f} MB at the end")
    os.remove(path)
    os.remove(copy)
    os.rmdir(work)


if __name__ == "__main__":
    sys.exit(main())
