#!/usr/bin/env python3
"""Split a capture file into several, or merge several into one.

    split_merge.py split -c 100 in.pcap out     out-000.pcap, out-001.pcap, ...: 100 packets each
    split_merge.py split -t 60 in.pcap out      one file per minute of capture time
    split_merge.py split -f 'tcp port 80' in.pcap out
                                                out-match.pcap and out-rest.pcap
    split_merge.py merge all.pcap a.pcap b.pcap merge files in timestamp order

Packets keep their timestamps and lengths. A written file takes its link type
and snapshot length from the file it was read from; a merged one from the
first input, so put the one with the largest snapshot length first. Files
whose names end in .gz are read and written through gzip; split -z writes
PREFIX-NNN.pcap.gz.
"""
from __future__ import annotations

import argparse
import gzip
import heapq
import sys
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING

import wirelet

if TYPE_CHECKING:
    from wirelet import Pkthdr, Reader


def open_capture(path: str) -> Reader:
    """A Reader over the capture file at path, compressed with gzip or not."""
    if path.endswith(".gz"):
        # The Reader keeps the gzip file, which closes once both are dropped.
        return wirelet.fopen_offline(gzip.open(path))
    return wirelet.open_offline(path)


class Output:
    """A capture file being written, compressed with gzip when its name ends in .gz."""

    def __init__(self, reader: Reader, path: str) -> None:
        # The Dumper writes into the gzip file and never closes it: close() does.
        self.packed = gzip.open(path, "wb") if path.endswith(".gz") else None
        self.dumper = reader.dump_fopen(self.packed) if self.packed else reader.dump_open(path)
        self.dump = self.dumper.dump

    def close(self) -> None:
        self.dumper.close()
        if self.packed is not None:
            self.packed.close()


def packets(reader: Reader) -> Iterator[tuple[Pkthdr, bytes]]:
    """The packets of a capture file, in file order."""
    while True:
        header, data = reader.next()
        if header is None:  # end of the file
            return
        yield header, data


def microseconds(header: Pkthdr) -> int:
    sec, usec = header.getts()
    return sec * 1_000_000 + usec


def split(reader: Reader, prefix: str, part: Callable[[int, Pkthdr], int], suffix: str = ".pcap") -> list[str]:
    """Writes the n-th packet to the file numbered part(n, header); a new file
    begins whenever that number changes."""
    names: list[str] = []
    dumper: Output | None = None
    current = -1
    for n, (header, data) in enumerate(packets(reader)):
        number = part(n, header)
        if dumper is None or number != current:
            if dumper is not None:
                dumper.close()
            names.append(f"{prefix}-{number:03d}{suffix}")
            dumper = Output(reader, names[-1])
            current = number
        dumper.dump(header, data)
    if dumper is not None:
        dumper.close()
    return names


def by_count(count: int) -> Callable[[int, Pkthdr], int]:
    return lambda n, header: n // count


def by_time(seconds: float) -> Callable[[int, Pkthdr], int]:
    """Intervals of capture time, counted from the first packet's."""
    step = max(1, round(seconds * 1_000_000))
    start: list[int] = []

    def part(n: int, header: Pkthdr) -> int:
        if not start:
            start.append(microseconds(header))
        return (microseconds(header) - start[0]) // step
    return part


def split_by_filter(path: str, expression: str, prefix: str, suffix: str = ".pcap") -> list[str]:
    """Two files: the packets that match the filter and those that do not."""
    names = []
    for part, selection in (("match", expression), ("rest", f"not ({expression})")):
        with open_capture(path) as reader:
            reader.setfilter(selection)
            names.append(f"{prefix}-{part}{suffix}")
            dumper = Output(reader, names[-1])
            for header, data in packets(reader):
                dumper.dump(header, data)
            dumper.close()
    return names


def merge(output: str, inputs: list[str]) -> int:
    readers = [open_capture(path) for path in inputs]
    try:
        linktypes = {reader.datalink() for reader in readers}
        if len(linktypes) > 1:
            raise SystemExit(f"merge: the inputs have different link types {sorted(linktypes)}")
        dumper = Output(readers[0], output)
        written = 0
        # heapq.merge keeps the order of equal timestamps: first file first.
        for header, data in heapq.merge(*map(packets, readers), key=lambda packet: microseconds(packet[0])):
            dumper.dump(header, data)
            written += 1
        dumper.close()
        return written
    finally:
        for reader in readers:
            reader.close()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Split a capture file, or merge capture files.")
    commands = parser.add_subparsers(dest="command", required=True)
    splitter = commands.add_parser("split", help="split one file into several")
    how = splitter.add_mutually_exclusive_group(required=True)
    how.add_argument("-c", dest="count", type=int, help="COUNT packets per file")
    how.add_argument("-t", dest="seconds", type=float, help="SECONDS of capture time per file")
    how.add_argument("-f", dest="filter", help="packets that match FILTER, and the others")
    splitter.add_argument("-z", dest="gzip", action="store_true", help="compress the output files with gzip")
    splitter.add_argument("input")
    splitter.add_argument("prefix", help="output files are PREFIX-NNN.pcap (PREFIX-match/-rest.pcap for -f)")
    merger = commands.add_parser("merge", help="merge several files into one, in timestamp order")
    merger.add_argument("output")
    merger.add_argument("inputs", nargs="+")
    args = parser.parse_args(argv)

    if args.command == "merge":
        written = merge(args.output, args.inputs)
        print(f"{written} packets written to {args.output}")
        return 0
    suffix = ".pcap.gz" if args.gzip else ".pcap"
    if args.filter is not None:
        names = split_by_filter(args.input, args.filter, args.prefix, suffix)
    else:
        if (args.count if args.seconds is None else args.seconds) <= 0:
            parser.error("the count or the time must be positive")
        with open_capture(args.input) as reader:
            part = by_count(args.count) if args.count else by_time(args.seconds)
            names = split(reader, args.prefix, part, suffix)
    print("\n".join(names))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except wirelet.PcapError as exc:
        sys.exit(f"split_merge: {exc}")
