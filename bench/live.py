"""The live scenario: per-packet cost of reading a device, wirelet against
pypcap, on a veth pair between two network namespaces that it creates and
removes (root only; nothing leaves the namespaces).

The reader opens the receiving end with a 64 MiB buffer and says it is ready;
a small C sender (flood.c, built here) then fills the ring with N frames
while nobody reads, and only then does the reader drain exactly N packets,
timed. Every method touches each packet as the file methods do and reports
what it saw, checked against what the sender sent. Instructions per packet
are callgrind's count with N = 100,000 less that with N = 50,000, over
50,000, as for the file methods.

    python bench/live.py [--rounds N] [--no-callgrind] [--only REGEX]
    python bench/live.py --profile METHOD...     where the instructions go
    python bench/live.py --method NAME DEVICE N  one reader (used by the above)
"""
import argparse
import contextlib
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
from time import perf_counter_ns

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

ETHERTYPE_FILTER = "ether proto 0x88b5"
RING = 64 << 20
SNAPLEN = 128
SMALL, LARGE = 50_000, 100_000


def expected(n):
    """What a reader that touches every frame flood.c sent sees."""
    return {"n": n, "len": sum(60 + i % 41 for i in range(n)), "last": sum(i % 256 for i in range(n))}


# --- readers: each opens, says "ready", waits for a line, drains n packets ----------

def ready():
    print("ready", flush=True)
    sys.stdin.readline()


def w_open(device):
    import wirelet
    r = wirelet.create(device)
    r.set_buffer_size(RING)
    r.set_snaplen(SNAPLEN)
    r.set_timeout(100)
    if r.activate() != 0:
        raise SystemExit(f"cannot capture on {device}")
    r.setfilter(ETHERTYPE_FILTER)
    return r


def p_open(device):
    import pcap
    p = pcap.pcap(name=device, snaplen=SNAPLEN, promisc=False, timeout_ms=100, buffer_size=RING)
    p.setfilter(ETHERTYPE_FILTER)
    return p


def lw_next(device, count):
    r = w_open(device)
    ready()
    n = total = last = 0
    start = perf_counter_ns()
    # The shape of the file methods' loop: CPython 3.11 specialises a loop
    # whose back edge is a plain jump, and never one that only tests its
    # condition at the bottom ("while n < count"), which costs about 1,300
    # instructions per packet in the interpreter whatever the loop calls.
    while True:
        hdr, pkt = r.next()
        if hdr is None:
            continue
        n += 1
        total += len(pkt)
        last += pkt[-1]
        if n == count:
            break
    return perf_counter_ns() - start, n, total, last


def lw_iter(device, count):
    r = w_open(device)
    ready()
    n = total = last = 0
    start = perf_counter_ns()
    for hdr, pkt in r:
        n += 1
        total += len(pkt)
        last += pkt[-1]
        if n == count:
            break
    return perf_counter_ns() - start, n, total, last


def callback_reader(opener, dispatch):
    def run(device, count):
        r = opener(device)
        ready()
        n = total = last = 0

        def touch(hdr, pkt):
            nonlocal n, total, last
            n += 1
            total += len(pkt)
            last += pkt[-1]

        start = perf_counter_ns()
        if dispatch:
            while n < count:
                r.dispatch(count - n, touch)
        else:
            r.loop(count, touch)
        return perf_counter_ns() - start, n, total, last
    return run


def lp_iter(device, count):
    p = p_open(device)
    ready()
    n = total = last = 0
    start = perf_counter_ns()
    for ts, pkt in p:
        n += 1
        total += len(pkt)
        last += pkt[-1]
        if n == count:
            break
    return perf_counter_ns() - start, n, total, last


# name: (label, env, run, instruction targets as in methods.py)
METHODS = {
    "lw_next": ("wirelet next() while loop", "wirelet", lw_next, (("x", "lp_iter", 1.0),)),
    "lw_loop": ("wirelet loop()", "wirelet", callback_reader(w_open, False), (("x", "lp_dispatch", 0.85),)),
    "lw_dispatch": ("wirelet dispatch()", "wirelet", callback_reader(w_open, True), (("x", "lp_dispatch", 0.85),)),
    "lw_iter": ("wirelet for h, d in reader", "wirelet", lw_iter, (("x", "lp_iter", 0.88),)),
    "lp_iter": ("pypcap iteration", "peers", lp_iter, ()),
    "lp_dispatch": ("pypcap dispatch", "peers", callback_reader(p_open, True), ()),
}


# --- the namespaces, the sender and one run -------------------------------------------

def ip(*args):
    subprocess.run(["ip", *args], check=True, capture_output=True, timeout=30)


@contextlib.contextmanager
def veth_pair():
    """(sending namespace, receiving namespace): wltx in the first, wlrx in
    the second, the two ends of one veth pair, up and without addresses."""
    tx, rx = f"wlbench-{os.getpid()}-tx", f"wlbench-{os.getpid()}-rx"
    try:
        ip("netns", "add", tx)
        ip("netns", "add", rx)
        ip("-n", tx, "link", "add", "wltx", "address", "02:00:00:00:00:0a", "type", "veth",
           "peer", "name", "wlrx", "address", "02:00:00:00:00:0b", "netns", rx)
        for ns, dev in ((tx, "wltx"), (rx, "wlrx")):
            # No addresses and no IPv6 on the pair: nothing but the flood.
            subprocess.run(["ip", "netns", "exec", ns, "sysctl", "-q", "-w",
                            f"net.ipv6.conf.{dev}.disable_ipv6=1"], capture_output=True, timeout=30)
            ip("-n", ns, "link", "set", dev, "up")
        yield tx, rx
    finally:
        # The pair goes with the namespaces.
        for ns in (tx, rx):
            subprocess.run(["ip", "netns", "del", ns], capture_output=True, timeout=30)


def flood_program(cache):
    source = os.path.join(HERE, "flood.c")
    program = os.path.join(cache, f"flood-{int(os.path.getmtime(source))}")
    if not os.path.exists(program):
        subprocess.run(["cc", "-O2", "-o", program, source], check=True)
    return program


def run_reader(name, count, pythons, pair, flood, wrap=(), env=None, timeout=120):
    """Runs one reader over a ring filled with count frames; returns its
    JSON result, checked."""
    tx, rx = pair
    python = pythons.get(METHODS[name][1])
    argv = ["ip", "netns", "exec", rx, *wrap, python, os.path.abspath(__file__), "--method", name, "wlrx",
            str(count)]
    reader = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True, env=env)
    try:
        line = reader.stdout.readline()
        if line != "ready\n":
            raise RuntimeError(f"{name}: {line!r} {reader.stderr.read()}")
        subprocess.run(["ip", "netns", "exec", tx, flood, "wltx", str(count)], check=True, timeout=timeout)
        time.sleep(0.3)  # the kernel hands the last block over after its timeout
        out, err = reader.communicate("go\n", timeout=timeout)
    finally:
        if reader.poll() is None:
            reader.kill()
            reader.wait()
    if reader.returncode != 0:
        raise RuntimeError(f"{name}: exit {reader.returncode}: {err.strip()[-500:]}")
    result = json.loads(out.strip().splitlines()[-1])
    saw = {k: result[k] for k in ("n", "len", "last")}
    if saw != expected(count):
        raise RuntimeError(f"{name}: saw {saw}, expected {expected(count)}")
    return result


def instructions(name, pythons, pair, flood, workdir, env=None, annotate=None):
    """Instructions per packet of one method (and, with annotate, the
    per-function difference it computes from each run's output)."""
    import callgrind
    total, costs = 0, {}
    for count, sign in ((LARGE, 1), (SMALL, -1)):
        outfile = os.path.join(workdir, f"{name}.{count}.out")
        wrap = ["valgrind", "--tool=callgrind", "-q", f"--callgrind-out-file={outfile}"]
        run_env = dict(env or os.environ, PYTHONHASHSEED="0")
        run_reader(name, count, pythons, pair, flood, wrap=wrap, env=run_env, timeout=600)
        with open(outfile) as f:
            total += sign * next(int(line.split()[1]) for line in f if line.startswith(("summary:", "totals:")))
        if annotate:
            for key, inclusive in (("incl", True), ("excl", False)):
                for fn, ir in callgrind.annotate(outfile, inclusive).items():
                    costs.setdefault(key, {})
                    costs[key][fn] = costs[key].get(fn, 0) + sign * ir
    return total / (LARGE - SMALL), costs


def verdicts(targets, name, counts):
    parts = []
    for kind, ref, limit in targets:
        if name not in counts or ref not in counts:
            parts.append(f"<= {limit:g}x {METHODS[ref][0]}: n/a")
            continue
        ratio = counts[name] / counts[ref]
        parts.append(f"<= {limit:g}x {METHODS[ref][0]}: {ratio:.2f}x {'ok' if ratio <= limit else 'MISS'}")
    return "; ".join(parts)


def table(pythons, cache, rounds=3, with_callgrind=True, only=None, log=print):
    """The live table as text, or the reason it was skipped."""
    if os.geteuid() != 0:
        return "live scenario skipped: it needs root (network namespaces)"
    names = [n for n in METHODS if (not only or re.search(only, n)) and METHODS[n][1] in pythons]
    if not names:
        return "live scenario: no method to run"
    flood = flood_program(cache)
    times = {n: [] for n in names}
    counts = {}
    with veth_pair() as pair, tempfile.TemporaryDirectory(prefix="wirelet-live-") as workdir:
        for r in range(rounds):
            log(f"live round {r + 1}/{rounds}")
            for n in names[r % len(names):] + names[:r % len(names)]:
                times[n].append(run_reader(n, LARGE, pythons, pair, flood)["ns"] / LARGE)
        if with_callgrind:
            log(f"counting instructions of {len(names)} live methods under callgrind")
            for n in names:
                counts[n] = instructions(n, pythons, pair, flood, workdir)[0]
    width = max(len(METHODS[n][0]) for n in names) + 2
    lines = [f"live: a 64 MiB ring on one end of a veth pair filled with {LARGE:,} frames of 60-100 bytes, "
             "then drained",
             f"{'method':<{width}}{'ns/pkt':>8}{'instr/pkt':>11}  target (instructions)"]
    for n in names:
        ir = f"{counts[n]:11.0f}" if n in counts else f"{'':>11}"
        lines.append(f"{METHODS[n][0]:<{width}}{statistics.median(times[n]):8.1f}{ir}  "
                     f"{verdicts(METHODS[n][3], n, counts)}".rstrip())
    return "\n".join(lines)


def profile(names, pythons, cache, top):
    import callgrind
    module_dir = callgrind.profile_module(cache)
    env = dict(os.environ, PYTHONPATH=module_dir)
    flood = flood_program(cache)
    scale = LARGE - SMALL
    with veth_pair() as pair, tempfile.TemporaryDirectory(prefix="wirelet-live-") as workdir:
        for name in names:
            total, costs = instructions(name, pythons, pair, flood, workdir, env=env, annotate=True)
            print(f"\n{METHODS[name][0]} ({name}, live): {total:.0f} instructions per packet")
            for title, key in (("inclusive", "incl"), ("self", "excl")):
                print(f"  top functions, {title} instructions per packet:")
                ranked = [kv for kv in sorted(costs[key].items(), key=lambda kv: -kv[1])
                          if kv[1] < 0.9 * total * scale]
                for fn, ir in ranked[:top]:
                    if ir / scale < 1:
                        break
                    print(f"    {ir / scale:9.1f}  {fn}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--method", nargs=3, metavar=("NAME", "DEVICE", "N"), help=argparse.SUPPRESS)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--no-callgrind", action="store_true")
    parser.add_argument("--only")
    parser.add_argument("--profile", nargs="+", metavar="METHOD")
    parser.add_argument("--top", type=int, default=25)
    args = parser.parse_args()
    if args.method:
        name, device, count = args.method
        ns, n, total, last = METHODS[name][2](device, int(count))
        print(json.dumps({"ns": ns, "n": n, "len": total, "last": last}))
        return 0
    import callgrind
    import gen
    cache = os.path.dirname(gen.ensure()["inputs"]["small"]["path"])
    pythons = callgrind.pythons_here(cache)
    if args.profile:
        profile(args.profile, pythons, cache, args.top)
        return 0
    print(table(pythons, cache, args.rounds, not args.no_callgrind, args.only,
                log=lambda *a: print(*a, file=sys.stderr, flush=True)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
