#!/usr/bin/env python3
"""Traffic meter: packets and bytes per second for each protocol.

    meter.py -i lo                  a line a second until Ctrl-C (root)
    meter.py -i lo -s 5 tcp         every five seconds, TCP packets only
    meter.py -i lo -n 3             three lines, then the totals
    meter.py -i lo -t 10            stop after ten seconds
    meter.py -r FILE                a capture file, by its own clock

A line gives the end of its interval, the rates over all protocols, each
protocol's packets/s and bytes/s, and on a device the packets the kernel
dropped in that interval. The run ends with a line of totals.
"""
from __future__ import annotations

import argparse
import signal
import sys
import time
from typing import TYPE_CHECKING

import wirelet
from wiretap import protocol

if TYPE_CHECKING:
    from wirelet import Pkthdr

Counts = dict[str, list[int]]  # protocol -> [packets, bytes]

# Headers are all a meter looks at; getlen() still gives the whole length.
SNAPLEN = 128


class Tally:
    """Counts packets and bytes per protocol; take() hands them over and
    starts afresh."""

    def __init__(self, linktype: int) -> None:
        self.linktype = linktype
        self.counts: Counts = {}

    def __call__(self, header: Pkthdr, data: bytes) -> None:
        entry = self.counts.setdefault(protocol(self.linktype, data), [0, 0])
        entry[0] += 1
        entry[1] += header.getlen()

    def take(self) -> Counts:
        counts, self.counts = self.counts, {}
        return counts


def add(total: Counts, counts: Counts) -> None:
    for name, (packets, size) in counts.items():
        entry = total.setdefault(name, [0, 0])
        entry[0] += packets
        entry[1] += size


def rates(label: str, counts: Counts, seconds: float, dropped: int | None) -> str:
    parts = [label, f"{sum(c[0] for c in counts.values()) / seconds:.0f} pkt/s",
             f"{sum(c[1] for c in counts.values()) / seconds:.0f} B/s"]
    parts += [f"{name} {p / seconds:.0f}/{b / seconds:.0f}" for name, (p, b) in sorted(counts.items())]
    if dropped is not None:
        parts.append(f"dropped {dropped}")
    return "  ".join(parts)


def totals(counts: Counts, seconds: float, dropped: int | None) -> str:
    parts = [f"total {seconds:.1f} s", f"{sum(c[0] for c in counts.values())} packets",
             f"{sum(c[1] for c in counts.values())} bytes"]
    parts += [f"{name} {p}/{b}" for name, (p, b) in sorted(counts.items())]
    if dropped is not None:
        parts.append(f"dropped {dropped}")
    return "  ".join(parts)


def meter_device(args: argparse.Namespace) -> None:
    with wirelet.open_live(args.device, SNAPLEN, 0, 100) as reader:
        if args.expression:
            reader.setfilter(" ".join(args.expression))
        tally = Tally(reader.datalink())
        print(f"listening on {args.device}", file=sys.stderr, flush=True)
        total: Counts = {}
        start = time.monotonic()
        lines = dropped = 0
        # A timer ends the capture at the end of each interval: in between,
        # loop() hands every packet to the tally without coming back here.
        signal.signal(signal.SIGALRM, lambda signum, frame: reader.breakloop())
        signal.setitimer(signal.ITIMER_REAL, args.interval, args.interval)
        try:
            while True:
                reader.loop(-1, tally)    # until the timer's breakloop(); Ctrl-C ends it too
                if time.monotonic() < start + (lines + 1) * args.interval:
                    continue              # a tick that came between two loops
                counts = tally.take()
                drops = reader.stats()[1]
                print(rates(time.strftime("%H:%M:%S"), counts, args.interval, drops - dropped), flush=True)
                add(total, counts)
                dropped = drops
                lines += 1
                if lines == args.intervals or (args.time and lines * args.interval >= args.time):
                    break
        except KeyboardInterrupt:
            pass
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
        add(total, tally.take())
        print(totals(total, time.monotonic() - start, dropped))


def meter_file(args: argparse.Namespace) -> None:
    with wirelet.open_offline(args.file) as reader:
        if args.expression:
            reader.setfilter(" ".join(args.expression))
        tally = Tally(reader.datalink())
        total: Counts = {}
        step = round(args.interval * 1_000_000)  # microseconds
        first = end = -1

        def report() -> None:
            counts = tally.take()
            if counts:
                stamp = time.strftime("%H:%M:%S", time.gmtime(end // 1_000_000)) + f".{end % 1_000_000 // 1000:03d}"
                print(rates(stamp, counts, args.interval, None))
                add(total, counts)

        def count(header: Pkthdr, data: bytes) -> None:
            nonlocal first, end
            sec, usec = header.getts()
            now = sec * 1_000_000 + usec
            if first < 0:
                first, end = now, now + step
            if now >= end:
                report()
                end += (now - end) // step * step + step  # skips the empty intervals
            tally(header, data)

        reader.loop(-1, count)
        report()
        print(totals(total, max(0, end - first) / 1_000_000, None))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Packets and bytes per second for each protocol.")
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("-i", dest="device", help="capture live on DEVICE")
    source.add_argument("-r", dest="file", help="read FILE, by its packets' timestamps")
    parser.add_argument("-s", dest="interval", type=float, default=1.0, help="seconds per line (default 1)")
    parser.add_argument("-n", dest="intervals", type=int, default=0, help="stop after INTERVALS lines (with -i)")
    parser.add_argument("-t", dest="time", type=float, default=0, help="stop after TIME seconds (with -i)")
    parser.add_argument("expression", nargs="*", help="filter expression (numeric addresses only)")
    args = parser.parse_args(argv)
    if args.interval <= 0:
        parser.error("the interval must be positive")
    if args.device:
        meter_device(args)
    else:
        meter_file(args)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BrokenPipeError:
        sys.exit(0)
    except wirelet.PcapError as exc:
        sys.exit(f"meter: {exc}")
