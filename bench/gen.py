"""Writes the benchmark's input capture files, once, into a cache directory,
and builds the C floor program there.

Plain struct packing, no capture library involved, so the input does not
depend on any of the readers being measured. Deterministic: the same seed
gives the same bytes on every machine. Besides the files it writes
inputs.json with what every reader must see (packet count, sum of captured
lengths, sum of last bytes), for all packets and for those that the
benchmark's filter expression matches.

    python3 bench/gen.py [CACHE_DIR]
"""
import hashlib
import json
import os
import random
import struct
import subprocess
import sys

# Bump when the layout of the files changes, so cached inputs are rewritten.
VERSION = 2
FILTER = "udp dst port 53"

# name -> (packet count, frame length range, prefixes kept for instruction counts)
INPUTS = {
    "small": (1_000_000, (60, 100), (50_000, 100_000)),
    "large": (200_000, (1500, 1500), ()),
}

FILE_HEADER = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1)  # Ethernet
RECORD = struct.Struct("<IIII")
ETH_IP_UDP = struct.Struct("!6s6sH" "BBHHHBBH4s4s" "HHHH")
SRC_MAC = bytes.fromhex("020000000001")
DST_MAC = bytes.fromhex("020000000002")
# 192.0.2.0/24 and 198.51.100.0/24: documentation ranges, never routed.
NETS = (bytes([192, 0, 2]), bytes([198, 51, 100]))


def cache_dir():
    base = os.environ.get("XDG_CACHE_HOME") or "/tmp"
    return os.path.join(base, "wirelet-bench")


def ip_checksum(header):
    total = sum(struct.unpack("!10H", header))
    total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def frames(count, sizes, seed):
    """Yields (sec, usec, frame, to_dns) for count Ethernet/IPv4/UDP frames."""
    rnd = random.Random(seed)
    sec, usec = 1_700_000_000, 0
    for i in range(count):
        length = rnd.randint(*sizes)
        a, b = rnd.sample(NETS, 2)
        src = a + bytes([rnd.randint(1, 254)])
        dst = b + bytes([rnd.randint(1, 254)])
        to_dns = i % 8 == 0
        dport = 53 if to_dns else rnd.randint(1024, 65535)
        sport = rnd.randint(1024, 65535)
        ip_len = length - 14
        ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, ip_len, i & 0xFFFF, 0, 64, 17, 0, src, dst)
        head = ETH_IP_UDP.pack(DST_MAC, SRC_MAC, 0x0800,
                               0x45, 0, ip_len, i & 0xFFFF, 0, 64, 17, ip_checksum(ip), src, dst,
                               sport, dport, ip_len - 20, 0)
        usec += rnd.randint(1, 40)
        if usec >= 1_000_000:
            sec, usec = sec + 1, usec - 1_000_000
        yield sec, usec, head + rnd.randbytes(length - len(head)), to_dns


def write(directory, name, count, sizes, prefixes, seed):
    paths = {count: os.path.join(directory, f"{name}.pcap")}
    for n in prefixes:
        paths[n] = os.path.join(directory, f"{name}-{n // 1000}k.pcap")
    files = {n: open(p + ".tmp", "wb") for n, p in paths.items()}
    seen = {"all": [0, 0, 0], "filter": [0, 0, 0]}
    try:
        for f in files.values():
            f.write(FILE_HEADER)
        chunk = []
        for i, (sec, usec, frame, to_dns) in enumerate(frames(count, sizes, seed)):
            record = RECORD.pack(sec, usec, len(frame), len(frame)) + frame
            for n, f in files.items():
                if i < n and n != count:
                    f.write(record)
            chunk.append(record)
            if len(chunk) == 4096:
                files[count].write(b"".join(chunk))
                chunk.clear()
            for key in ("all", "filter") if to_dns else ("all",):
                seen[key][0] += 1
                seen[key][1] += len(frame)
                seen[key][2] += frame[-1]
        files[count].write(b"".join(chunk))
    finally:
        for f in files.values():
            f.close()
    for p in paths.values():
        os.replace(p + ".tmp", p)
    return {"path": paths[count], "packets": count,
            "prefixes": {str(n): paths[n] for n in prefixes},
            "expect": {k: dict(zip(("n", "len", "last"), v)) for k, v in seen.items()}}


def ensure(directory=None):
    """Returns the description of the inputs, writing them first if needed."""
    directory = directory or cache_dir()
    os.makedirs(directory, exist_ok=True)
    index = os.path.join(directory, "inputs.json")
    try:
        with open(index) as f:
            described = json.load(f)
        if described.get("version") == VERSION and all(
                os.path.exists(i["path"]) for i in described["inputs"].values()):
            return described
    except (OSError, ValueError, KeyError):
        pass
    described = {"version": VERSION, "filter": FILTER, "inputs": {}}
    for seed, (name, (count, sizes, prefixes)) in enumerate(INPUTS.items()):
        print(f"writing {count} packets of {sizes[0]}-{sizes[1]} bytes to {directory}", file=sys.stderr)
        described["inputs"][name] = write(directory, name, count, sizes, prefixes, seed)
    with open(index + ".tmp", "w") as f:
        json.dump(described, f, indent=1)
    os.replace(index + ".tmp", index)
    return described


def floor_program(directory=None):
    """Path of the C floor program, compiled on first use. The binary is named
    after its source's hash, so trees with different versions of floor.c can
    share one cache directory."""
    directory = directory or cache_dir()
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "floor.c")
    with open(source, "rb") as f:
        digest = hashlib.sha1(f.read()).hexdigest()[:12]
    binary = os.path.join(directory, f"floor-{digest}")
    if not os.path.exists(binary):
        os.makedirs(directory, exist_ok=True)
        subprocess.run([os.environ.get("CC", "cc"), "-O2", "-Wall", "-Wextra", "-o", binary + ".tmp", source,
                        "-lpcap"], check=True)
        os.replace(binary + ".tmp", binary)
    return binary


if __name__ == "__main__":
    print(json.dumps(ensure(sys.argv[1] if len(sys.argv) > 1 else None), indent=1))
