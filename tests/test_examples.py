"""The example programs, run as a user would run them."""
import os
import subprocess
import sys

from conftest import SAMPLE

EXAMPLES = os.path.join(os.path.dirname(__file__), os.pardir, "examples")


def run(name, *args):
    return subprocess.run([sys.executable, os.path.join(EXAMPLES, name), *args],
                          capture_output=True, text=True, check=True, timeout=60)


def tcpdump_count(path, *expr):
    out = subprocess.run(["tcpdump", "-n", "-r", path, *expr], capture_output=True, text=True, check=True)
    return len(out.stdout.splitlines())


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
