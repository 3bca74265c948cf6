#!/usr/bin/env python3
"""Compile a filter expression without any device and show what it became.

    bpf.py EXPR                     list the program for Ethernet
    bpf.py EXPR -y RAW -s 96 -O     another link type, snapshot length, no optimiser
    bpf.py EXPR -r FILE             count the packets of a capture file that match

The listing has one instruction a line, with the mnemonics of libpcap's own
disassembler. Matching runs the program in user space over each packet's
captured bytes, so the captured length also stands in for the wire length.
"""
from __future__ import annotations

import argparse
import sys

import wirelet

# Opcode -> (mnemonic, operand). In the operand, {d} is the constant as a
# signed decimal, {x} the constant in hex and {target} a jump's destination.
OPS = {
    0x06: ("ret", "#{d}"), 0x16: ("ret", ""),
    0x00: ("ld", "#0x{x}"), 0x01: ("ldx", "#0x{x}"), 0x80: ("ld", "#pktlen"),
    0x60: ("ld", "M[{d}]"), 0x61: ("ldx", "M[{d}]"), 0x02: ("st", "M[{d}]"), 0x03: ("stx", "M[{d}]"),
    0xB1: ("ldxb", "4*([{d}]&0xf)"), 0x05: ("ja", "{target}"),
    0x84: ("neg", ""), 0x07: ("tax", ""), 0x87: ("txa", ""),
}
for size, suffix in ((0x00, ""), (0x08, "h"), (0x10, "b")):
    OPS[0x20 | size] = ("ld" + suffix, "[{d}]")
    OPS[0x40 | size] = ("ld" + suffix, "[x + {d}]")
for i, name in enumerate(("jeq", "jgt", "jge", "jset"), 1):
    OPS[0x05 | i << 4] = (name, "#0x{x}")
    OPS[0x0D | i << 4] = (name, "x")
for i, alu in enumerate(("add", "sub", "mul", "div", "or", "and", "lsh", "rsh", "", "mod", "xor")):
    if alu:
        OPS[0x04 | i << 4] = (alu, "#0x{x}" if alu in ("or", "and", "xor") else "#{d}")
        OPS[0x0C | i << 4] = (alu, "x")


def listing(program: wirelet.BPFProgram) -> list[str]:
    """The program's instructions as text, one line each."""
    lines = []
    for n, (code, jt, jf, k) in enumerate(program.get_bpf()):
        op, operand = OPS.get(code, ("unimp", f"0x{code:x}"))
        operand = operand.format(d=k - (k >> 31 << 32), x=f"{k:x}", target=n + 1 + k)
        if code & 0x07 == 0x05 and code != 0x05:  # conditional jump
            lines.append(f"({n:03d}) {op:<8} {operand:<16} jt {n + 1 + jt}\tjf {n + 1 + jf}")
        else:
            lines.append(f"({n:03d}) {op:<8} {operand}")
    return lines


def link_type(name: str) -> int:
    if name.isdigit():
        return int(name)
    value = getattr(wirelet, "DLT_" + name.upper(), None)
    if not isinstance(value, int):
        raise argparse.ArgumentTypeError(f"unknown link type {name!r}")
    return value


def count_matches(program: wirelet.BPFProgram, path: str) -> tuple[int, int]:
    matched = total = 0
    with wirelet.open_offline(path) as reader:
        while True:
            header, data = reader.next()
            if header is None:
                return matched, total
            total += 1
            matched += program.filter(data) != 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Compile a filter and list it, or match a capture file.")
    parser.add_argument("expression", nargs="*", help="filter expression; several words are joined")
    parser.add_argument("-y", dest="linktype", type=link_type, default=wirelet.DLT_EN10MB,
                        help="link type: a name such as EN10MB, RAW, NULL, LINUX_SLL, or a number")
    parser.add_argument("-s", dest="snaplen", type=int, default=262144, help="snapshot length")
    parser.add_argument("-O", dest="optimize", action="store_false", help="do not run the optimiser")
    parser.add_argument("-r", dest="file", help="count the packets of FILE that match (give its link type with -y)")
    args = parser.parse_args(argv)

    program = wirelet.compile(args.linktype, args.snaplen, " ".join(args.expression), int(args.optimize), 0)
    if args.file is None:
        print("\n".join(listing(program)))
    else:
        matched, total = count_matches(program, args.file)
        print(f"{matched} of {total} packets match")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except wirelet.PcapError as exc:
        sys.exit(f"bpf.py: {exc}")
