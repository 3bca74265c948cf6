#!/usr/bin/env python3
"""Read packets from a device inside an asyncio program, without a thread.

    async_reader.py -i lo               print packets until Ctrl-C (root)
    async_reader.py -i lo -c 10 udp     ten UDP packets, then stop
    async_reader.py -i lo -t 5          stop after five seconds

The handle goes into non-blocking mode and the event loop watches its
selectable descriptor (getfd()); whenever that is readable, dispatch() hands
over the packets that are waiting and returns at once. A second coroutine
reports the kernel's counters (stats()) every second, to show that nothing
blocks the loop.
"""
from __future__ import annotations

import argparse
import asyncio
import sys
from typing import TYPE_CHECKING

import wirelet
from wiretap import format_packet

if TYPE_CHECKING:
    from wirelet import Pkthdr, Reader


async def report(reader: Reader) -> None:
    while True:
        await asyncio.sleep(1)
        received, dropped, _ = reader.stats()
        print(f"-- {received} received, {dropped} dropped", file=sys.stderr)


async def read(reader: Reader, count: int) -> None:
    """Prints packets as they come, until count of them have (0: forever)."""
    queue: asyncio.Queue[tuple[Pkthdr, bytes]] = asyncio.Queue()

    def readable() -> None:
        # Never blocks: in non-blocking mode dispatch() returns 0 at once
        # when nothing is waiting.
        reader.dispatch(-1, lambda header, data: queue.put_nowait((header, data)))

    linktype = reader.datalink()
    loop = asyncio.get_running_loop()
    fd = reader.getfd()
    loop.add_reader(fd, readable)
    seen = 0
    try:
        while count <= 0 or seen < count:
            header, data = await queue.get()
            print(format_packet(linktype, header, data), flush=True)
            seen += 1
    finally:
        loop.remove_reader(fd)


async def run(args: argparse.Namespace) -> None:
    # With a timeout of 100 ms the kernel hands packets over at least that
    # often, even when too few arrive to fill a buffer.
    with wirelet.open_live(args.device, args.snaplen, 0, 100) as reader:
        if args.expression:
            reader.setfilter(" ".join(args.expression))
        reader.setnonblock(1)
        print(f"listening on {args.device}", file=sys.stderr, flush=True)
        reporter = asyncio.create_task(report(reader))
        try:
            await asyncio.wait_for(read(reader, args.count), args.time or None)
        except asyncio.TimeoutError:
            pass
        finally:
            reporter.cancel()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Print packets from a device, read by an asyncio event loop.")
    parser.add_argument("-i", dest="device", required=True, help="capture live on DEVICE")
    parser.add_argument("-c", dest="count", type=int, default=0, help="stop after COUNT packets")
    parser.add_argument("-t", dest="time", type=float, default=0, help="stop after TIME seconds")
    parser.add_argument("-s", dest="snaplen", type=int, default=262144, help="snapshot length")
    parser.add_argument("expression", nargs="*", help="filter expression (numeric addresses only)")
    args = parser.parse_args(argv)
    try:
        asyncio.run(run(args))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BrokenPipeError:
        sys.exit(0)
    except wirelet.PcapError as exc:
        sys.exit(f"async_reader: {exc}")
