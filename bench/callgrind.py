"""Instructions per packet under valgrind's callgrind: repeatable where
wall-clock time is not.

Each method runs on the first 100,000 and on the first 50,000 packets of the
small input; the difference of the two instruction counts over 50,000 is what
one packet costs, with start-up, imports and opening taken out. Methods that
work on packets loaded before their clock starts (the filter methods) also run
with --setup-only, and that difference is taken off as well.

    python bench/callgrind.py [METHOD...]            instructions per packet
    python bench/callgrind.py --profile METHOD...    where they go, per function

--profile builds a copy of the module with symbols (the installed one is
stripped) under the cache directory and runs against that; the counts of the
first form use the installed module itself.
"""
import argparse
import concurrent.futures
import glob
import hashlib
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import gen  # noqa: E402
from methods import METHODS  # noqa: E402

SMALL, LARGE = 50_000, 100_000


def command(name, path, expr, out, pythons, floor, setup_only=False):
    """The argv that runs one method once, or None when it cannot run here."""
    method = METHODS[name]
    if method.env == "c":
        mode = method.floor_args[0]
        if setup_only:
            return [floor, "bpfload", path]
        extra = {"dump": [out], "setfilter": [expr], "bpf": [expr, *method.floor_args[1:]]}
        return [floor, mode, path, *extra.get(mode, [])]
    python = pythons.get(method.env)
    if python is None:
        return None
    return [python, os.path.join(HERE, "methods.py"), *(["--setup-only"] if setup_only else []),
            name, path, expr, *([out] if out else [])]


def callgrind(argv, outfile, env=None):
    """Runs argv under callgrind; returns its total instruction count. A fixed
    hash seed makes the interpreter's dictionaries, and so the count, the same
    from run to run."""
    env = dict(os.environ if env is None else env, PYTHONHASHSEED="0")
    subprocess.run(["valgrind", "--tool=callgrind", "-q", f"--callgrind-out-file={outfile}", *argv],
                   check=True, stdout=subprocess.DEVNULL, env=env)
    with open(outfile) as f:
        for line in f:
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise RuntimeError(f"no instruction total in {outfile}")


def runs(name, inputs, pythons, floor, workdir):
    """The (outfile, argv) pairs whose counts make up one method's figure:
    each with a sign (+1 for the larger input, -1 for the smaller)."""
    prefixes = inputs["inputs"]["small"]["prefixes"]
    expr = inputs["filter"]
    plan = []
    for setup_only in (False, True) if METHODS[name].in_memory else (False,):
        for size, sign in ((LARGE, 1), (SMALL, -1)):
            sign = -sign if setup_only else sign
            tag = f"{name}.{size}{'.setup' if setup_only else ''}"
            out = os.path.join(workdir, tag + ".pcap") if METHODS[name].writes else None
            argv = command(name, prefixes[str(size)], expr, out, pythons, floor, setup_only)
            if argv is None:
                return None
            plan.append((sign, os.path.join(workdir, tag + ".out"), argv))
    return plan


def per_packet(names, inputs, pythons, floor, jobs=2, env=None):
    """{name: instructions per packet} for the methods that can run here."""
    with tempfile.TemporaryDirectory(prefix="wirelet-cg-") as workdir:
        plans = {n: runs(n, inputs, pythons, floor, workdir) for n in names}
        plans = {n: p for n, p in plans.items() if p is not None}
        with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
            counts = {(n, outfile): pool.submit(callgrind, argv, outfile, env)
                      for n, plan in plans.items() for _, outfile, argv in plan}
            return {n: sum(sign * counts[(n, outfile)].result() for sign, outfile, _ in plan) / (LARGE - SMALL)
                    for n, plan in plans.items()}


# --- per-function profile ---------------------------------------------------------

LINE = re.compile(r"^\s*([\d,]+)\s+(?:\([\s\d.]+%\)\s+)?(.*?)\s*$")


def annotate(outfile, inclusive):
    """{function: Ir} from callgrind_annotate, one entry per real function
    (inlined copies, shown without an object file, are left out)."""
    text = subprocess.run(["callgrind_annotate", f"--inclusive={'yes' if inclusive else 'no'}",
                           "--threshold=100", outfile], capture_output=True, text=True, check=True).stdout
    costs = {}
    body = text.split("file:function", 1)[-1]
    for line in body.splitlines():
        m = LINE.match(line)
        if not m or "[" not in m.group(2):
            continue
        where, obj = m.group(2).rsplit("[", 1)
        function = where.split(":", 1)[-1] if ":" in where else where
        key = f"{function.strip()} [{os.path.basename(obj.rstrip(']'))}]"
        costs[key] = costs.get(key, 0) + int(m.group(1).replace(",", ""))
    return costs


def profile_module(cache):
    """Builds the module with symbols (same flags as the installed one plus -g)
    into the cache directory; returns the directory holding it."""
    root = os.path.dirname(HERE)
    # One build directory per source tree: CMake refuses to reuse another's.
    build = os.path.join(cache, "profile-build-" + hashlib.sha1(root.encode()).hexdigest()[:8])
    bindir = os.path.dirname(sys.executable)
    cmake = os.path.join(bindir, "cmake") if os.path.exists(os.path.join(bindir, "cmake")) else "cmake"
    configure = [cmake, "-S", root, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_CXX_FLAGS=-g",
                 f"-DPython_EXECUTABLE={sys.executable}"]
    if os.path.exists(os.path.join(bindir, "ninja")):
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={os.path.join(bindir, 'ninja')}"]
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", build], check=True, stdout=subprocess.DEVNULL)
    found = glob.glob(os.path.join(build, "wirelet*.so"))
    if not found:
        raise RuntimeError("the profiling build made no module")
    return build


def profile(name, inputs, pythons, floor, top=25):
    """Prints, per packet, the inclusive and self instructions of the
    functions that cost most in one method."""
    module_dir = profile_module(os.path.dirname(inputs["inputs"]["small"]["path"]))
    env = dict(os.environ, PYTHONPATH=module_dir)
    with tempfile.TemporaryDirectory(prefix="wirelet-cg-") as workdir:
        plan = runs(name, inputs, pythons, floor, workdir)
        if plan is None:
            print(f"{name}: cannot run here")
            return
        total = 0
        incl, excl = {}, {}
        for sign, outfile, argv in plan:
            total += sign * callgrind(argv, outfile, env)
            for costs, inclusive in ((incl, True), (excl, False)):
                for fn, ir in annotate(outfile, inclusive).items():
                    costs[fn] = costs.get(fn, 0) + sign * ir
    scale = LARGE - SMALL
    print(f"\n{METHODS[name].label} ({name}): {total / scale:.0f} instructions per packet")
    for title, costs in (("inclusive", incl), ("self", excl)):
        print(f"  top functions, {title} instructions per packet:")
        # The call chain down to the measured loop holds everything: skip it.
        ranked = [kv for kv in sorted(costs.items(), key=lambda kv: -kv[1]) if kv[1] < 0.9 * total]
        for fn, ir in ranked[:top]:
            if ir / scale < 1:
                break
            print(f"    {ir / scale:9.1f}  {fn}")


def pythons_here(cache):
    found = {"wirelet": sys.executable}
    peers = os.path.join(cache, "peers", "bin", "python")
    if os.path.exists(peers):
        found["peers"] = peers
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--profile", action="store_true", help="per-function breakdown")
    parser.add_argument("--top", type=int, default=25)
    parser.add_argument("methods", nargs="*")
    args = parser.parse_args()
    inputs = gen.ensure()
    cache = os.path.dirname(inputs["inputs"]["small"]["path"])
    floor = gen.floor_program(cache)
    names = args.methods or [n for n, m in METHODS.items() if m.input == "small" and m.env != "peers"]
    pythons = pythons_here(cache)
    if args.profile:
        for name in names:
            profile(name, inputs, pythons, floor, args.top)
        return
    for name, ir in per_packet(names, inputs, pythons, floor).items():
        print(f"{ir:10.0f}  {METHODS[name].label}")


if __name__ == "__main__":
    main()
