"""Broken capture files: each one read in a child process, so that a crash
fails one case, and compared with what tcpdump (the same libpcap) makes of it."""
import glob
import json
import os
import subprocess
import sys
import threading

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = sorted(glob.glob(os.path.join(HERE, "corpus", "*.pcap*")))

PROBE = r"""
import json, sys, wirelet
path, how, copy = sys.argv[1:4]
out = {"packets": 0, "error": None, "copied": None, "dump_error": None}
try:
    r = wirelet.open_offline(path)
except wirelet.PcapError as exc:
    out["error"] = str(exc)
else:
    try:
        d = r.dump_open(copy)
    except wirelet.PcapError as exc:
        out["dump_error"] = str(exc)
        d = None
    def take(h, data):
        assert len(data) == h.getcaplen()
        if d is not None:
            d.dump(h, data)
        out["packets"] += 1
    try:
        if how == "next":
            while True:
                h, data = r.next()
                if h is None:
                    break
                take(h, data)
        elif how == "loop":
            r.loop(-1, take)
        else:
            while r.dispatch(2, take):
                pass
    except wirelet.PcapError as exc:
        out["error"] = str(exc)
    r.close()
    if d is not None:
        d.close()
        out["copied"] = wirelet.open_offline(copy).dispatch(-1, lambda h, data: None)
print(json.dumps(out))
"""


def probe(path, how, tmp_path):
    proc = subprocess.run([sys.executable, "-c", PROBE, path, how, str(tmp_path / f"copy-{how}.pcap")],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, f"reader died: {proc.returncode}\n{proc.stderr[-2000:]}"
    return json.loads(proc.stdout)


def tcpdump(path):
    proc = subprocess.run(["tcpdump", "-n", "-r", path], capture_output=True, text=True, timeout=60)
    lines = [l for l in proc.stdout.splitlines() if not l[:1].isspace()]
    return len(lines), proc.stderr


def test_corpus_is_present():
    assert len(CORPUS) >= 25


@pytest.mark.parametrize("path", CORPUS, ids=os.path.basename)
@pytest.mark.parametrize("how", ["next", "loop", "dispatch"])
def test_malformed_file_reads_as_libpcap_decides(path, how, tmp_path):
    got = probe(path, how, tmp_path)
    packets, stderr = tcpdump(path)
    if "unknown data link type" in stderr:
        # tcpdump refuses to print a link type it does not know; libpcap reads
        # the file, but cannot write that link type to a new one.
        assert got == {"packets": 1, "error": None, "copied": None,
                       "dump_error": got["dump_error"]} and "isn't supported" in got["dump_error"]
        return
    assert got["packets"] == packets
    if got["error"] is None:
        assert "tcpdump: " not in stderr
        assert got["copied"] == packets
    else:
        assert got["error"] and got["error"] in stderr


def test_directory_and_fifo(tmp_path):
    got = probe(str(tmp_path), "next", tmp_path)
    assert got["error"] in tcpdump(str(tmp_path))[1]

    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    with open(os.path.join(HERE, "corpus", "short-record-data.pcap"), "rb") as f:
        blob = f.read()

    def feed():
        with open(fifo, "wb") as w:
            w.write(blob)
    t = threading.Thread(target=feed)
    t.start()
    got = probe(fifo, "loop", tmp_path)
    t.join()
    assert got["packets"] == 1 and "truncated dump file" in got["error"]
