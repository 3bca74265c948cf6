#!/usr/bin/env python3
"""Summarise many capture files at once, in a pool of processes.

    parallel.py                         the capture that ships with wirelet
    parallel.py FILE...                 any number of capture files
    parallel.py -j 4 -f tcp FILE...     four processes, TCP packets only

Each worker opens its own files (a Reader lives in the process that opened
it and cannot be sent to another), counts packets and bytes per protocol and
notes the first and last timestamps; the parent adds the summaries up. A file
that cannot be read to its end is reported; what was read of it still counts.
"""
from __future__ import annotations

import argparse
import multiprocessing
import os
import sys
import time
from collections import Counter
from dataclasses import dataclass, field
from functools import partial

import wirelet
from wiretap import protocol

SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "loopback.pcap")


@dataclass
class Summary:
    files: int = 0
    packets: Counter[str] = field(default_factory=Counter)
    sizes: Counter[str] = field(default_factory=Counter)  # bytes on the wire
    first: tuple[int, int] | None = None
    last: tuple[int, int] | None = None
    errors: list[str] = field(default_factory=list)

    def add(self, other: Summary) -> None:
        self.files += other.files
        self.packets += other.packets
        self.sizes += other.sizes
        self.errors += other.errors
        stamps = [s for s in (self.first, self.last, other.first, other.last) if s is not None]
        if stamps:
            self.first, self.last = min(stamps), max(stamps)


def summarise(path: str, expression: str | None) -> Summary:
    """Runs in a worker process: one file's summary."""
    summary = Summary()
    try:
        with wirelet.open_offline(path) as reader:
            if expression:
                reader.setfilter(expression)
            linktype = reader.datalink()
            while True:
                header, data = reader.next()
                if header is None:
                    break
                name = protocol(linktype, data)
                summary.packets[name] += 1
                summary.sizes[name] += header.getlen()
                stamp = header.getts()
                summary.first = min(summary.first or stamp, stamp)
                summary.last = max(summary.last or stamp, stamp)
    except wirelet.PcapError as exc:
        summary.errors.append(f"{path}: {exc}")
        return summary
    summary.files = 1
    return summary


def when(stamp: tuple[int, int] | None) -> str:
    if stamp is None:
        return "-"
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(stamp[0])) + f".{stamp[1]:06d}"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Count packets per protocol in many capture files at once.")
    parser.add_argument("files", nargs="*", help="capture files (default: the shipped sample)")
    parser.add_argument("-j", dest="jobs", type=int, default=os.cpu_count(), help="worker processes")
    parser.add_argument("-f", dest="filter", help="count only the packets that match FILTER")
    args = parser.parse_args(argv)

    total = Summary()
    with multiprocessing.Pool(args.jobs) as pool:
        for summary in pool.imap_unordered(partial(summarise, expression=args.filter), args.files or [SAMPLE]):
            total.add(summary)
    print(f"{sum(total.packets.values())} packets, {sum(total.sizes.values())} bytes, {total.files} file(s) read")
    print(f"from {when(total.first)} to {when(total.last)} UTC")
    for name, count in total.packets.most_common():
        print(f"{name:<8}{count:>10} packets{total.sizes[name]:>14} bytes")
    for error in total.errors:
        print(error, file=sys.stderr)
    return 1 if total.errors else 0


if __name__ == "__main__":
    sys.exit(main())
