"""The example programs and the README's code, run as a user would run them."""
import contextlib
import gzip
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import time
from collections import Counter

import pytest

import pcapfile
from conftest import REPO, SAMPLE, LoTraffic, needs_root

EXAMPLES = os.path.join(REPO, "examples")


def run(name, *args, check=True):
    return subprocess.run([sys.executable, os.path.join(EXAMPLES, name), *args],
                          capture_output=True, text=True, check=check, timeout=60)


def start(name, *args):
    """An example running in the background, once it says it is listening."""
    proc = subprocess.Popen([sys.executable, os.path.join(EXAMPLES, name), *args],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert proc.stderr.readline().startswith("listening on")
    return proc


def tcpdump(path, *expr, flags=()):
    out = subprocess.run(["tcpdump", "-n", *flags, "-r", path, *expr], capture_output=True, text=True, check=True)
    return out.stdout.splitlines()


def tcpdump_count(path, *expr):
    return len(tcpdump(path, *expr))


def send_udp(port, count, payload=b"meter"):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as tx:
        for _ in range(count):
            tx.sendto(payload, ("127.0.0.1", port))
            time.sleep(0.002)


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_wiretap_prints_the_shipped_capture_one_line_per_packet():
    lines = run("wiretap.py").stdout.splitlines()
    assert len(lines) == tcpdump_count(SAMPLE) > 10
    assert any(" IP6 ::1" in l for l in lines) and any("ICMP unreachable" in l for l in lines)
    assert all(l.split()[1].count("/") == 1 for l in lines)
    assert run("wiretap.py", "-c", "4").stdout.splitlines() == lines[:4]


def test_wiretap_filters_and_writes(tmp_path):
    expr = ["tcp", "and", "port", "9"]
    assert len(run("wiretap.py", "-r", SAMPLE, *expr).stdout.splitlines()) == tcpdump_count(SAMPLE, *expr)
    out = str(tmp_path / "out.pcap")
    proc = run("wiretap.py", "-w", out, "udp")
    assert tcpdump_count(out) == tcpdump_count(SAMPLE, "udp")
    assert "packets written" in proc.stderr


def test_split_then_merge_gives_back_the_original_packets(tmp_path):
    original = tcpdump(SAMPLE, flags=("-tt", "-xx"))
    stamps = [int(l.split()[0].replace(".", "")) for l in tcpdump(SAMPLE, flags=("-tt",))]
    # By count, by time (windows of 50 ms from the first packet), by filter.
    by_count = run("split_merge.py", "split", "-c", "8", SAMPLE, str(tmp_path / "c")).stdout.split()
    assert [tcpdump_count(p) for p in by_count] == [8, 8, len(stamps) - 16]
    by_time = run("split_merge.py", "split", "-t", "0.05", SAMPLE, str(tmp_path / "t")).stdout.split()
    windows = Counter((s - stamps[0]) // 50_000 for s in stamps)
    assert [tcpdump_count(p) for p in by_time] == [windows[w] for w in sorted(windows)]
    expr = "tcp port 9 or udp"
    match, rest = run("split_merge.py", "split", "-f", expr, SAMPLE, str(tmp_path / "f")).stdout.split()
    assert tcpdump(match, flags=("-tt", "-xx")) == tcpdump(SAMPLE, expr, flags=("-tt", "-xx"))
    # Written and merged through gzip as through plain files.
    packed = run("split_merge.py", "split", "-z", "-c", "8", SAMPLE, str(tmp_path / "z")).stdout.split()
    with gzip.open(packed[0]) as unpacked, open(by_count[0], "rb") as plain:
        assert unpacked.read() == plain.read()
    by_count[0] = packed[0]
    for n, parts in enumerate((by_count[::-1], by_time, [rest, match])):
        merged = str(tmp_path / f"m{n}.pcap")
        assert run("split_merge.py", "merge", merged, *parts).stdout.startswith(f"{len(stamps)} packets")
        assert tcpdump(merged, flags=("-tt", "-xx")) == original
    bad = run("split_merge.py", "merge", str(tmp_path / "x.pcap"), SAMPLE, "missing.pcap", check=False)
    assert bad.returncode == 1 and "missing.pcap" in bad.stderr


def protocol_totals(line):
    """{protocol: (packets, bytes)} from a meter line."""
    return {name: (int(p), int(b)) for name, p, b in re.findall(r"\b([a-z]+[0-9]?) (\d+)/(\d+)", line)}


def test_meter_counts_each_protocol_of_a_file_as_tcpdump_does():
    *lines, total = run("meter.py", "-r", SAMPLE, "-s", "0.05").stdout.splitlines()
    assert len(lines) == 3 and total.startswith("total")
    expected = {}
    for name in ("tcp", "udp", "icmp", "icmp6"):
        frames = tcpdump(SAMPLE, name, flags=("-e",))
        sizes = [int(re.search(r"length (\d+):", l).group(1)) for l in frames]
        expected[name] = (len(frames), sum(sizes))
    assert protocol_totals(total) == expected
    per_line = Counter()
    for line in lines:
        for name, (packets, _) in protocol_totals(line).items():
            per_line[name] += round(packets * 0.05)
    assert per_line == {name: packets for name, (packets, _) in expected.items()}


@needs_root
def test_meter_on_lo_counts_what_was_sent_and_stops_on_ctrl_c_or_by_itself():
    port = free_udp_port()
    frame = 14 + 20 + 8 + len(b"meter")
    proc = start("meter.py", "-i", "lo", "-s", "0.2", "udp", "port", str(port))
    send_udp(port, 40)
    time.sleep(0.6)  # the kernel hands over the last block after 100 ms
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=10)
    assert proc.returncode == 0, err
    *lines, total = out.splitlines()
    assert lines and all("dropped" in l for l in lines)
    assert protocol_totals(total) == {"udp": (40, 40 * frame)}
    proc = start("meter.py", "-i", "lo", "-s", "0.2", "-n", "2", "udp", "port", str(port))
    out, err = proc.communicate(timeout=10)
    assert proc.returncode == 0, err
    assert len(out.splitlines()) == 3 and out.splitlines()[-1].startswith("total")


@needs_root
def test_async_reader_prints_the_packets_sent_and_stops_by_count_or_time():
    port = free_udp_port()
    proc = start("async_reader.py", "-i", "lo", "-c", "10", "-t", "30", "udp", "port", str(port))
    send_udp(port, 10, b"asyncio")
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 0, err
    lines = out.splitlines()
    assert len(lines) == 10 and all(l.endswith(f"> 127.0.0.1.{port}: UDP length 7") for l in lines)
    began = time.monotonic()
    proc = start("async_reader.py", "-i", "lo", "-t", "0.5", "udp", "port", str(port))
    out, err = proc.communicate(timeout=10)
    assert proc.returncode == 0 and out == "" and time.monotonic() - began < 5


def test_parallel_adds_up_many_files_as_tcpdump_counts_them(tmp_path, capture):
    made = capture([pcapfile.udp_frame(b"u" * n) for n in range(5)])
    copy = shutil.copy(SAMPLE, tmp_path / "copy.pcap")
    broken = tmp_path / "broken.pcap"
    broken.write_bytes(b"not a capture file")
    files = [SAMPLE, str(copy), str(made), str(broken)]
    proc = run("parallel.py", "-j", "2", *files, check=False)
    assert proc.returncode == 1 and proc.stderr.strip().startswith(f"{broken}:")
    rows = {l.split()[0]: int(l.split()[1]) for l in proc.stdout.splitlines()[2:]}
    readable = files[:3]
    assert rows == {name: sum(tcpdump_count(f, name) for f in readable) for name in ("tcp", "udp", "icmp", "icmp6")}
    assert proc.stdout.startswith(f"{sum(map(tcpdump_count, readable))} packets")
    assert "3 file(s) read" in proc.stdout
    only_udp = run("parallel.py", "-f", "udp").stdout.splitlines()
    assert only_udp[0].startswith(f"{tcpdump_count(SAMPLE, 'udp')} packets") and only_udp[2].startswith("udp")


def test_bpf_example_counts_what_tcpdump_counts():
    out = run("bpf.py", "-r", SAMPLE, "udp").stdout
    assert out.strip() == f"{tcpdump_count(SAMPLE, 'udp')} of {tcpdump_count(SAMPLE)} packets match"


# ---------------------------------------------------------------------------
# The README: every block runs as written; the transcripts say what happens.

def readme_blocks():
    """(language, code, line) of each fenced block of the README."""
    blocks, language, lines = [], None, []
    with open(os.path.join(REPO, "README.md")) as readme:
        for n, line in enumerate(readme, 1):
            if line.startswith("```") and language is None:
                language, first, lines = line[3:].strip(), n + 1, []
            elif line.startswith("```"):
                blocks.append((language, "".join(lines), first))
                language = None
            elif language is not None:
                lines.append(line)
    return blocks


BLOCKS = readme_blocks()
PYTHON = [pytest.param(code, id=f"README.md:{line}") for language, code, line in BLOCKS if language == "python"]


def test_readme_opens_with_the_two_commands_and_labels_every_block():
    assert BLOCKS[0][0] == "sh" and [l.split("#")[0].strip() for l in BLOCKS[0][1].splitlines()] == [
        "make demo", "make test"]
    assert {language for language, _, _ in BLOCKS} == {"python", "sh", "console"}


@pytest.mark.parametrize("code", PYTHON)
def test_readme_python_block_runs(code):
    live = "open_live(" in code or "create(" in code
    if live and os.geteuid() != 0:
        pytest.skip("live capture needs root")
    with LoTraffic() if live else contextlib.nullcontext():
        proc = subprocess.run([sys.executable, "-c", code], cwd=REPO, capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout


def test_readme_transcripts_show_what_the_commands_print(tmp_path):
    for _, transcript, _ in (b for b in BLOCKS if b[0] == "console"):
        text = transcript.replace("/tmp/", f"{tmp_path}/")
        for command, expected in re.findall(r"^\$ (.*)\n((?:(?!\$ ).*\n)*)", text, re.M):
            argv = shlex.split(command)
            assert argv[0] == ".venv/bin/python"
            proc = subprocess.run([sys.executable, *argv[1:]], cwd=REPO, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True, timeout=60)
            assert proc.stdout == expected, command


@needs_root
def test_wiretap_in_immediate_mode_prints_each_packet():
    with LoTraffic() as traffic:
        lines = run("wiretap.py", "-i", "lo", "--immediate", "-c", "2", "udp", "dst", "port", str(traffic.port))
    pattern = rf" 54/54 IP 127\.0\.0\.1\.\d+ > 127\.0\.0\.1\.{traffic.port}: UDP length 12$"
    assert [bool(re.search(pattern, line)) for line in lines.stdout.splitlines()] == [True, True]
