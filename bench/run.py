"""The benchmark: per-packet cost of every reading, filtering and writing path
of wirelet against libpcap's own speed in C and against other Python packet
libraries, all measured in one run.

Every method runs in a fresh process; rounds are interleaved (each round runs
every method once, in a rotated order) so that a slow spell of the machine
spreads over all methods instead of landing on one. The table gives the
minimum and the median of the rounds in nanoseconds per packet, and the ratio
of the median to that of the C floor method of the same kind measured in the
same run. Every method's view of the packets (count, sum of lengths, sum of
last bytes) is checked against what the generator wrote, and every written
file against the input, so that a method that skips work fails the run.

    python bench/run.py [--rounds N] [--quick] [--only REGEX] [--no-callgrind] [--record]

--record writes the results into bench/README.md. As root, the run ends with
the live scenario of live.py (a veth pair between two network namespaces of
its own), with the same rounds; without root that table says it was skipped.
"""
import argparse
import datetime
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import callgrind  # noqa: E402
import gen  # noqa: E402
import live  # noqa: E402
from methods import METHODS, seen  # noqa: E402

# Versions of the peers, fixed so that runs on different days compare.
PEERS = ("pypcap==1.3.0", "dpkt==1.9.8", "scapy==2.8.0")
GROUPS = {"c": "C floor (libpcap)", "w": "wirelet", "p": "pypcap", "d": "dpkt", "s": "scapy"}
RSS_FLAT_KIB = 1024


class Failed(Exception):
    pass


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def ensure_peers(cache):
    """Python of the peers' own environment, made on first use; None and the
    reason when it cannot be made."""
    env_dir = os.path.join(cache, "peers")
    python = os.path.join(env_dir, "bin", "python")
    marker = os.path.join(env_dir, ".installed")
    want = f"Python {platform.python_version()}: {' '.join(PEERS)}"
    try:
        with open(marker) as f:
            if f.read() == want:
                return python, None
    except OSError:
        pass
    log(f"installing the peers into {env_dir}: {' '.join(PEERS)}")
    base = getattr(sys, "_base_executable", sys.executable)
    try:
        subprocess.run([base, "-m", "venv", "--clear", env_dir], check=True)
        subprocess.run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check", *PEERS],
                       check=True)
    except (OSError, subprocess.CalledProcessError) as e:
        return None, f"peers not installed ({e})"
    with open(marker, "w") as f:
        f.write(want)
    return python, None


def same_records(written, original):
    """Whether a written capture file holds exactly the input's records (the
    file headers may differ in snapshot length)."""
    with open(written, "rb") as a, open(original, "rb") as b:
        a.seek(24)
        b.seek(24)
        while True:
            x, y = a.read(1 << 20), b.read(1 << 20)
            if x != y:
                return False
            if not x:
                return True


def run_once(name, inputs, pythons, floor, outdir):
    """ns per packet of one run of one method, checked."""
    method = METHODS[name]
    source = inputs["inputs"][method.input]
    out = os.path.join(outdir, name + ".pcap") if method.writes else None
    argv = callgrind.command(name, source["path"], inputs["filter"], out, pythons, floor)
    try:
        done = subprocess.run(argv, capture_output=True, text=True, timeout=600)
    except subprocess.TimeoutExpired:
        raise Failed("timed out")
    if done.returncode != 0:
        raise Failed(f"exit {done.returncode}: {done.stderr.strip().splitlines()[-1:]}")
    result = json.loads(done.stdout.strip().splitlines()[-1])
    expect = source["expect"][method.check]
    saw = seen(out) if method.seen_in_output else {k: result[k] for k in expect}
    if saw != expect:
        raise Failed(f"saw {saw}, expected {expect}")
    if out is not None:
        ok = same_records(out, source["path"])
        os.remove(out)
        if not ok:
            raise Failed("the written file differs from the input")
    return result["ns"] / source["packets"]


def resident_memory(pythons, inputs, features, outdir):
    """Growth of resident memory while streaming the whole small input, for
    the wirelet paths present: {path: KiB}."""
    growth = {}
    for path, needs in (("next", ()), ("loop", ("loop",)), ("dump", ("dump_open",))):
        if not set(needs) <= features:
            continue
        out = os.path.join(outdir, "rss.pcap")
        done = subprocess.run([pythons["wirelet"], os.path.join(HERE, "methods.py"), "--rss", path,
                               inputs["inputs"]["small"]["path"], out],
                              capture_output=True, text=True)
        if os.path.exists(out):
            os.remove(out)
        if done.returncode != 0:
            growth[path] = None
            continue
        samples = json.loads(done.stdout)
        growth[path] = max(samples) - samples[0]
    return growth


def verdicts(targets, name, figures):
    """Text for each target of a method: 'what: value ok|MISS'. figures are
    the medians or the instruction counts, by method."""
    parts = []
    fig = figures.get(name)
    for kind, ref, limit in targets:
        if fig is None or (ref is not None and figures.get(ref) is None):
            parts.append(f"{describe(kind, ref, limit)}: n/a")
            continue
        if kind == "x":
            ok = fig <= limit * figures[ref]
            shown = f"{fig / figures[ref]:.2f}x"
        elif kind == "n":
            ok = fig <= limit
            shown = f"{fig:.0f}"
        else:
            ok = figures[ref] >= limit * fig
            shown = f"{figures[ref] / fig:.1f}x"
        parts.append(f"{describe(kind, ref, limit)}: {shown} {'ok' if ok else 'MISS'}")
    return "; ".join(parts)


def describe(kind, ref, limit):
    if kind == "x":
        return f"<= {limit:g}x {METHODS[ref].label}"
    if kind == "n":
        return f"<= {limit:g}"
    return f">= {limit:g}x faster than {METHODS[ref].label}"


def group_of(name):
    if METHODS[name].input == "large":
        return "1500-byte packets"
    return GROUPS[name[0]]


def table(names, times, missing):
    medians = {n: statistics.median(t) for n, t in times.items() if t}
    width = max(len(METHODS[n].label) for n in names) + 2
    lines = [f"{'method':<{width}}{'min':>8}{'median':>9}{'x C':>8}  target (median)",
             f"{'':<{width}}{'ns/pkt':>8}{'ns/pkt':>9}"]
    group = None
    for n in names:
        if group_of(n) != group:
            group = group_of(n)
            lines.append(f"-- {group}")
        label = METHODS[n].label
        if n in missing or n not in medians:
            lines.append(f"{label:<{width}}{'n/a':>8}{'':>9}{'':>8}  {missing.get(n, 'no result')}")
            continue
        floor = METHODS[n].floor
        ratio = f"{medians[n] / medians[floor]:.2f}" if floor in medians else ""
        lines.append(f"{label:<{width}}{min(times[n]):8.1f}{medians[n]:9.1f}{ratio:>8}  "
                     f"{verdicts(METHODS[n].target, n, medians)}".rstrip())
    return "\n".join(lines), medians


def ir_table(names, counts):
    width = max(len(METHODS[n].label) for n in names) + 2
    lines = [f"{'method':<{width}}{'instr/pkt':>10}{'x C':>8}  target (instructions)"]
    for n in names:
        if n not in counts:
            continue
        floor = METHODS[n].floor
        ratio = f"{counts[n] / counts[floor]:.2f}" if floor in counts else ""
        lines.append(f"{METHODS[n].label:<{width}}{counts[n]:10.0f}{ratio:>8}  "
                     f"{verdicts(METHODS[n].ir_target, n, counts)}".rstrip())
    return "\n".join(lines)


def machine():
    model = platform.processor() or "unknown processor"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} cores"


def record(text):
    """Puts text between the results markers of bench/README.md."""
    path = os.path.join(HERE, "README.md")
    with open(path) as f:
        readme = f.read()
    block = f"<!-- results:begin -->\n```\n{text}\n```\n<!-- results:end -->"
    readme, count = re.subn(r"<!-- results:begin -->.*?<!-- results:end -->", lambda _: block, readme,
                            flags=re.S)
    if count != 1:
        raise SystemExit("bench/README.md has no results markers")
    with open(path, "w") as f:
        f.write(readme)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, help="rounds of the wall-clock table (default 5, or 3 with --quick)")
    parser.add_argument("--quick", action="store_true", help="3 rounds unless --rounds says otherwise, "
                        "no instruction counts")
    parser.add_argument("--only", help="run only the methods whose name matches this regular expression")
    parser.add_argument("--no-callgrind", action="store_true", help="skip the instruction counts")
    parser.add_argument("--record", action="store_true", help="write the results into bench/README.md")
    args = parser.parse_args()
    rounds = args.rounds or (3 if args.quick else 5)

    inputs = gen.ensure()
    cache = os.path.dirname(inputs["inputs"]["small"]["path"])
    floor = gen.floor_program(cache)
    libpcap = subprocess.run([floor, "version"], capture_output=True, text=True).stdout.strip()
    pythons = {"wirelet": sys.executable}
    missing = {}
    peers, why = ensure_peers(cache)
    if peers:
        pythons["peers"] = peers
    probe = subprocess.run([sys.executable, os.path.join(HERE, "methods.py"), "--probe",
                            inputs["inputs"]["small"]["prefixes"]["50000"]],
                           capture_output=True, text=True)
    if probe.returncode != 0:
        raise SystemExit(f"cannot import wirelet with {sys.executable}:\n{probe.stderr}")
    features = set(json.loads(probe.stdout))

    names = [n for n in METHODS if not args.only or re.search(args.only, n)]
    for n in names:
        method = METHODS[n]
        if method.env == "peers" and not peers:
            missing[n] = why
        lacking = [f for f in method.needs if f not in features]
        if lacking:
            missing[n] = f"n/a: {', '.join(lacking)} not in this build"
    runnable = [n for n in names if n not in missing]

    scratch = "/dev/shm" if os.access("/dev/shm", os.W_OK) else cache
    outdir = tempfile.mkdtemp(prefix="wirelet-bench-", dir=scratch)
    times = {n: [] for n in runnable}
    failed = False
    try:
        for r in range(rounds):
            shift = r % len(runnable) if runnable else 0
            log(f"round {r + 1}/{rounds}")
            for n in runnable[shift:] + runnable[:shift]:
                if n in missing:
                    continue
                try:
                    times[n].append(run_once(n, inputs, pythons, floor, outdir))
                except Failed as e:
                    missing[n] = f"FAILED: {e}"
                    failed = True
                    log(f"  {n}: {missing[n]}")
        growth = resident_memory(pythons, inputs, features, outdir) if not args.only else {}
    finally:
        shutil.rmtree(outdir, ignore_errors=True)

    small, large = inputs["inputs"]["small"], inputs["inputs"]["large"]
    head = (f"{datetime.date.today().isoformat()}, {machine()}, Python {platform.python_version()}, "
            f"{libpcap}\n{small['packets']:,} packets of 60-100 bytes and {large['packets']:,} of 1500 bytes; "
            f"{rounds} rounds, each method in a fresh process")
    text, medians = table(names, times, missing)
    out = [head, "", text]
    if growth:
        shown = ", ".join(f"{p} {'failed' if g is None else f'+{g} KiB'}" for p, g in growth.items())
        flat = all(g is not None and g <= RSS_FLAT_KIB for g in growth.values())
        out += ["", f"resident memory while streaming {small['packets']:,} packets (growth after the first "
                f"65,536): {shown}: {'flat' if flat else 'GROWS'}"]
    print("\n".join(out), flush=True)

    if not (args.quick or args.no_callgrind):
        if shutil.which("valgrind") is None:
            out += ["", "instruction counts skipped: valgrind is not installed"]
        else:
            counted = [n for n in runnable if METHODS[n].input == "small"
                       and not n.startswith(("d_", "s_")) and n not in missing]
            log(f"counting instructions of {len(counted)} methods under callgrind")
            counts = callgrind.per_packet(counted, inputs, pythons, floor)
            extra = ["", "instructions per packet under callgrind, (Ir of 100,000 packets - Ir of 50,000) / 50,000",
                     ir_table(counted, counts)]
            print("\n".join(extra))
            out += extra

    live_names = [n for n in live.METHODS if not args.only or re.search(args.only, n)]
    if live_names:
        text = live.table(pythons, cache, rounds, not (args.quick or args.no_callgrind), args.only, log)
        print("\n" + text, flush=True)
        out += ["", text]

    with open(os.path.join(cache, "last-run.txt"), "w") as f:
        f.write("\n".join(out) + "\n")
    if args.record:
        record("\n".join(out))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
