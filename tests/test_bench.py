"""The benchmark's own inputs and wirelet methods, on a small generated file:
tcpdump must agree with what the generator says it wrote, and every method
must see exactly that (all packets, or those the filter matches) and copy it
record for record, so that `make bench` times work that is really done."""
import os
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "bench"))
import gen  # noqa: E402
import methods  # noqa: E402
import run  # noqa: E402


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    return gen.write(str(tmp_path_factory.mktemp("bench")), "small", 3000, (60, 100), (), seed=0)


@pytest.mark.parametrize("expr, key", [("", "all"), (gen.FILTER, "filter")])
def test_generated_file_reads_the_same_in_tcpdump(small, expr, key):
    out = subprocess.run(["tcpdump", "-n", "-q", "-r", small["path"], *([expr] if expr else [])],
                         capture_output=True, text=True, check=True).stdout
    assert len(out.splitlines()) == small["expect"][key]["n"]


@pytest.mark.parametrize("name", [n for n, m in methods.METHODS.items()
                                  if m.env == "wirelet" and m.input == "small"])
def test_method_sees_and_copies_every_packet(small, name, tmp_path):
    method = methods.METHODS[name]
    lacking = set(method.needs) - set(methods.probe(small["path"]))
    if lacking:
        pytest.skip(f"not in this build: {', '.join(sorted(lacking))}")
    out = str(tmp_path / "copy.pcap")
    _, n, total, last = method.run(small["path"], gen.FILTER, out)
    saw = methods.seen(out) if method.seen_in_output else {"n": n, "len": total, "last": last}
    assert saw == small["expect"][method.check]
    if method.writes:
        assert run.same_records(out, small["path"])
