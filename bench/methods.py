"""The benchmark's methods: one way of reading (or filtering, or copying) a
capture file each, every one touching each packet it is given the same way
(its length and its last byte).

The table METHODS describes them all, C floor included; run.py reads it. A
method of Python code runs in a process of its own:

    python bench/methods.py NAME INPUT FILTER [OUTPUT]

and prints one JSON line: the nanoseconds of the timed part and what the
method saw (packet count, sum of lengths, sum of last bytes). Loading that is
not part of the measured path (the packet list of the filter methods) happens
before the clock starts; with --setup-only the method does only that, so that
an instruction count can take it off again.

    python bench/methods.py --probe              which wirelet methods exist
    python bench/methods.py --rss NAME INPUT     resident memory while streaming
"""
import json
import struct
import sys
from time import perf_counter_ns
from typing import Callable, NamedTuple, Optional, Tuple


class Method(NamedTuple):
    label: str
    env: str                  # "c" (the floor program), "wirelet" or "peers"
    input: str = "small"      # which generated file
    check: str = "all"        # what it must see: "all" packets or the "filter" matches
    floor: Optional[str] = None   # the C method its median is divided by
    target: Tuple = ()        # on the wall medians: (kind, reference, limit); see run.py
    ir_target: Tuple = ()     # the same on instructions per packet under callgrind
    needs: Tuple[str, ...] = ()   # wirelet features it uses
    writes: bool = False      # writes a capture file that must equal the input
    in_memory: bool = False   # works on packets loaded before the clock starts
    seen_in_output: bool = False  # what it saw is what it wrote (no Python code touches the packets)
    floor_args: Tuple[str, ...] = ()  # for env "c": the floor program's arguments
    run: Optional[Callable] = None


def seen(path):
    """What a reader that touches every packet of the file would report."""
    packets = load_packets(path)
    return {"n": len(packets), "len": sum(map(len, packets)), "last": sum(p[-1] for p in packets)}


def load_packets(path):
    """The packet bytes of a capture file, parsed here so that every filter
    method gets the same kind of list, whatever library it measures."""
    with open(path, "rb") as f:
        data = f.read()
    packets, offset, end, record = [], 24, len(data), struct.Struct("<8xII")
    while offset < end:
        caplen, _ = record.unpack_from(data, offset)
        packets.append(data[offset + 16:offset + 16 + caplen])
        offset += 16 + caplen
    return packets


# --- wirelet ----------------------------------------------------------------

def w_next(path, expr, out):
    import wirelet
    n = total = last = 0
    start = perf_counter_ns()
    r = wirelet.open_offline(path)
    while True:
        hdr, pkt = r.next()
        if hdr is None:
            break
        n += 1
        total += len(pkt)
        last += pkt[-1]
    r.close()
    return perf_counter_ns() - start, n, total, last


def w_next_bound(path, expr, out):
    import wirelet
    n = total = last = 0
    start = perf_counter_ns()
    r = wirelet.open_offline(path)
    next_packet = r.next
    while True:
        hdr, pkt = next_packet()
        if hdr is None:
            break
        n += 1
        total += len(pkt)
        last += pkt[-1]
    r.close()
    return perf_counter_ns() - start, n, total, last


def w_iter(path, expr, out):
    import wirelet
    n = total = last = 0
    start = perf_counter_ns()
    r = wirelet.open_offline(path)
    for hdr, pkt in r:
        n += 1
        total += len(pkt)
        last += pkt[-1]
    r.close()
    return perf_counter_ns() - start, n, total, last


def w_loop(path, expr, out):
    import wirelet
    n = total = last = 0

    def touch(hdr, pkt):
        nonlocal n, total, last
        n += 1
        total += len(pkt)
        last += pkt[-1]

    start = perf_counter_ns()
    r = wirelet.open_offline(path)
    r.loop(-1, touch)
    r.close()
    return perf_counter_ns() - start, n, total, last


def w_dispatch(path, expr, out):
    import wirelet
    n = total = last = 0

    def touch(hdr, pkt):
        nonlocal n, total, last
        n += 1
        total += len(pkt)
        last += pkt[-1]

    start = perf_counter_ns()
    r = wirelet.open_offline(path)
    while r.dispatch(-1, touch) > 0:
        pass
    r.close()
    return perf_counter_ns() - start, n, total, last


def w_dump(path, expr, out):
    import wirelet
    n = total = last = 0
    start = perf_counter_ns()
    r = wirelet.open_offline(path)
    d = r.dump_open(out)
    while True:
        hdr, pkt = r.next()
        if hdr is None:
            break
        n += 1
        total += len(pkt)
        last += pkt[-1]
        d.dump(hdr, pkt)
    d.close()
    r.close()
    return perf_counter_ns() - start, n, total, last


def w_loop_dump(path, expr, out):
    import wirelet
    start = perf_counter_ns()
    r = wirelet.open_offline(path)
    d = r.dump_open(out)
    r.loop(-1, d.dump)
    d.close()
    r.close()
    # No Python code sees the packets on the way: what counts as seen is what
    # was written, which the runner reads back (see seen_in_output).
    return perf_counter_ns() - start, None, None, None


def w_setfilter(path, expr, out):
    import wirelet
    n = total = last = 0
    start = perf_counter_ns()
    r = wirelet.open_offline(path)
    r.setfilter(expr)
    while True:
        hdr, pkt = r.next()
        if hdr is None:
            break
        n += 1
        total += len(pkt)
        last += pkt[-1]
    r.close()
    return perf_counter_ns() - start, n, total, last


def filter_list(prog, packets):
    n = total = last = 0
    start = perf_counter_ns()
    for pkt in packets:
        if prog.filter(pkt):
            n += 1
            total += len(pkt)
            last += pkt[-1]
    return perf_counter_ns() - start, n, total, last


def w_filter(path, expr, out, setup_only=False):
    import wirelet
    packets = load_packets(path)
    if setup_only:
        return 0, 0, 0, 0
    # The constructor's program: unoptimised, as the C floor's "bpf ... 0".
    return filter_list(wirelet.BPFProgram(expr), packets)


def w_compile_filter(path, expr, out, setup_only=False):
    import wirelet
    packets = load_packets(path)
    if setup_only:
        return 0, 0, 0, 0
    return filter_list(wirelet.compile(wirelet.DLT_EN10MB, 65535, expr, 1, 0), packets)


# --- pypcap -------------------------------------------------------------------

def p_iter(path, expr, out):
    import pcap
    n = total = last = 0
    start = perf_counter_ns()
    p = pcap.pcap(path)
    for ts, pkt in p:
        n += 1
        total += len(pkt)
        last += pkt[-1]
    p.close()
    return perf_counter_ns() - start, n, total, last


def p_callback(method):
    def run(path, expr, out):
        import pcap
        n = total = last = 0

        def touch(ts, pkt):
            nonlocal n, total, last
            n += 1
            total += len(pkt)
            last += pkt[-1]

        start = perf_counter_ns()
        p = pcap.pcap(path)
        if method == "loop":
            p.loop(-1, touch)
        else:
            while p.dispatch(-1, touch) > 0:
                pass
        p.close()
        return perf_counter_ns() - start, n, total, last
    return run


def p_setfilter(path, expr, out):
    import pcap
    n = total = last = 0
    start = perf_counter_ns()
    p = pcap.pcap(path)
    p.setfilter(expr)
    for ts, pkt in p:
        n += 1
        total += len(pkt)
        last += pkt[-1]
    p.close()
    return perf_counter_ns() - start, n, total, last


def p_bpf(path, expr, out, setup_only=False):
    import pcap
    packets = load_packets(path)
    if setup_only:
        return 0, 0, 0, 0
    return filter_list(pcap.bpf(expr.encode(), pcap.DLT_EN10MB), packets)


# --- dpkt and scapy -----------------------------------------------------------

def d_read(path, expr, out):
    import dpkt
    n = total = last = 0
    start = perf_counter_ns()
    with open(path, "rb") as f:
        for ts, pkt in dpkt.pcap.Reader(f):
            n += 1
            total += len(pkt)
            last += pkt[-1]
    return perf_counter_ns() - start, n, total, last


def d_rw(path, expr, out):
    import dpkt
    n = total = last = 0
    start = perf_counter_ns()
    with open(path, "rb") as f, open(out, "wb") as g:
        w = dpkt.pcap.Writer(g, snaplen=65535)
        for ts, pkt in dpkt.pcap.Reader(f):
            n += 1
            total += len(pkt)
            last += pkt[-1]
            w.writepkt(pkt, ts)
        w.close()
    return perf_counter_ns() - start, n, total, last


def s_read(path, expr, out):
    from scapy.utils import RawPcapReader
    n = total = last = 0
    start = perf_counter_ns()
    with RawPcapReader(path) as r:
        for pkt, meta in r:
            n += 1
            total += len(pkt)
            last += pkt[-1]
    return perf_counter_ns() - start, n, total, last


def s_rw(path, expr, out):
    from scapy.utils import RawPcapReader, RawPcapWriter
    n = total = last = 0
    start = perf_counter_ns()
    with RawPcapReader(path) as r, RawPcapWriter(out, linktype=1) as w:
        w.write_header(None)  # write_packet, which keeps the timestamps, writes none
        for pkt, meta in r:
            n += 1
            total += len(pkt)
            last += pkt[-1]
            w.write_packet(pkt, sec=meta.sec, usec=meta.usec,
                           caplen=meta.caplen, wirelen=meta.wirelen)
    return perf_counter_ns() - start, n, total, last


# --- the table ----------------------------------------------------------------
# Targets: ("x", REF, LIMIT) at most LIMIT times REF's figure; ("faster", REF,
# LIMIT) REF's figure at least LIMIT times this one's; ("n", None, LIMIT) at
# most LIMIT (instructions). Absolute times are no target: they do not carry
# from one machine to another.

METHODS = {
    "c_next": Method("C pcap_next_ex", "c", floor_args=("next",)),
    "c_loop": Method("C pcap_loop", "c", floor_args=("loop",)),
    "c_dump": Method("C read + pcap_dump", "c", floor_args=("dump",), writes=True),
    "c_setfilter": Method("C setfilter + pcap_next_ex", "c", check="filter",
                          floor_args=("setfilter",)),
    "c_bpf_opt": Method("C bpf_filter, optimised", "c", check="filter",
                        floor_args=("bpf", "1"), in_memory=True),
    "c_bpf": Method("C bpf_filter, unoptimised", "c", check="filter",
                    floor_args=("bpf", "0"), in_memory=True),

    "w_next": Method("wirelet next() while loop", "wirelet", floor="c_next",
                     target=(("x", "p_iter", 1.0),), ir_target=(("x", "p_iter", 1.0),), run=w_next),
    "w_next_bound": Method("wirelet next() bound once", "wirelet", floor="c_next",
                           run=w_next_bound),
    "w_iter": Method("wirelet for h, d in reader", "wirelet", floor="c_next",
                     target=(("x", "p_iter", 0.88),), ir_target=(("x", "p_iter", 0.88),), needs=("iteration",),
                     run=w_iter),
    "w_loop": Method("wirelet loop()", "wirelet", floor="c_loop", target=(("x", "p_dispatch", 0.95),),
                     ir_target=(("x", "p_dispatch", 0.95),), needs=("loop",), run=w_loop),
    "w_dispatch": Method("wirelet dispatch()", "wirelet", floor="c_loop", target=(("x", "p_dispatch", 0.95),),
                         ir_target=(("x", "p_dispatch", 0.95),), needs=("dispatch",), run=w_dispatch),
    "w_dump": Method("wirelet next() + Dumper.dump", "wirelet", floor="c_dump", writes=True,
                     target=(("x", "c_dump", 2.0), ("faster", "d_rw", 5.0), ("faster", "s_rw", 5.0)),
                     ir_target=(("n", None, 3100),), needs=("dump_open",), run=w_dump),
    "w_loop_dump": Method("wirelet loop(-1, Dumper.dump)", "wirelet", floor="c_dump", writes=True,
                          seen_in_output=True,
                          target=(("x", "c_dump", 2.0), ("faster", "d_rw", 5.0), ("faster", "s_rw", 5.0)),
                          ir_target=(("n", None, 1500),), needs=("loop", "dump_open"), run=w_loop_dump),
    "w_setfilter": Method("wirelet setfilter + next()", "wirelet", check="filter",
                          floor="c_setfilter", needs=("setfilter",), run=w_setfilter),
    "w_filter": Method("wirelet BPFProgram.filter", "wirelet", check="filter", floor="c_bpf",
                       target=(("x", "p_bpf", 1.05),), ir_target=(("x", "p_bpf", 1.05),),
                       needs=("BPFProgram.filter",), in_memory=True, run=w_filter),
    "w_compile_filter": Method("wirelet compile + filter", "wirelet", check="filter",
                               floor="c_bpf_opt", target=(("x", "p_bpf", 1.05),),
                               ir_target=(("x", "p_bpf", 1.05),), needs=("compile", "BPFProgram.filter"),
                               in_memory=True, run=w_compile_filter),

    "p_iter": Method("pypcap iteration", "peers", floor="c_next", run=p_iter),
    "p_dispatch": Method("pypcap dispatch", "peers", floor="c_loop", run=p_callback("dispatch")),
    "p_loop": Method("pypcap loop", "peers", floor="c_loop", run=p_callback("loop")),
    "p_setfilter": Method("pypcap setfilter + iteration", "peers", check="filter",
                          floor="c_setfilter", run=p_setfilter),
    "p_bpf": Method("pypcap bpf.filter", "peers", check="filter", floor="c_bpf_opt",
                    in_memory=True, run=p_bpf),
    "d_read": Method("dpkt pcap.Reader", "peers", floor="c_next", run=d_read),
    "d_rw": Method("dpkt Reader -> Writer", "peers", floor="c_dump", writes=True, run=d_rw),
    "s_read": Method("scapy RawPcapReader", "peers", floor="c_next", run=s_read),
    "s_rw": Method("scapy RawPcapReader -> RawPcapWriter", "peers", floor="c_dump",
                   writes=True, run=s_rw),

    "c_next_large": Method("C pcap_next_ex, 1500 B", "c", input="large", floor_args=("next",)),
    "w_next_large": Method("wirelet next(), 1500 B", "wirelet", input="large",
                           floor="c_next_large", target=(("x", "c_next_large", 1.6),), run=w_next),
    "p_iter_large": Method("pypcap iteration, 1500 B", "peers", input="large",
                           floor="c_next_large", run=p_iter),
}


# --- feature probe and resident memory -------------------------------------------

def probe(path):
    """The wirelet features present in the installed module."""
    import wirelet
    found = []
    r = wirelet.open_offline(path)
    for name in ("loop", "dispatch", "dump_open", "setfilter"):
        if hasattr(r, name):
            found.append(name)
    if hasattr(type(r), "__next__"):
        found.append("iteration")
    r.close()
    if hasattr(wirelet, "compile"):
        found.append("compile")
    if hasattr(getattr(wirelet, "BPFProgram", None), "filter"):
        found.append("BPFProgram.filter")
    return found


def resident_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


def rss(name, path, out):
    """Streams the whole file with one wirelet path, sampling resident memory
    every 65536 packets; returns the samples in KiB."""
    import wirelet
    samples = []
    r = wirelet.open_offline(path)
    d = r.dump_open(out) if name == "dump" else None
    count = 0

    def seen(hdr, pkt):
        nonlocal count
        count += 1
        if d is not None:
            d.dump(hdr, pkt)
        if count % 65536 == 0:
            samples.append(resident_kib())

    if name == "loop":
        r.loop(-1, seen)
    else:
        while True:
            hdr, pkt = r.next()
            if hdr is None:
                break
            seen(hdr, pkt)
    if d is not None:
        d.close()
    r.close()
    return samples


def main(argv):
    if argv[:1] == ["--probe"]:
        print(json.dumps(probe(argv[1])))
        return 0
    if argv[:1] == ["--rss"]:
        print(json.dumps(rss(*argv[1:4])))
        return 0
    setup_only = argv[:1] == ["--setup-only"]
    if setup_only:
        argv = argv[1:]
    name, path, expr = argv[:3]
    out = argv[3] if len(argv) > 3 else None
    method = METHODS[name]
    if setup_only:
        ns, n, total, last = method.run(path, expr, out, setup_only=True)
    else:
        ns, n, total, last = method.run(path, expr, out)
    print(json.dumps({"ns": ns, "n": n, "len": total, "last": last}))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
