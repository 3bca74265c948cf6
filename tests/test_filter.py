"""setfilter on capture files, cross-checked packet for packet against tcpdump."""
import subprocess

import pytest

import pcapfile
import wirelet
from conftest import SAMPLE

EXPRESSIONS = [
    "udp", "tcp", "icmp", "ip6", "arp", "vlan",
    "host 192.0.2.1", "src host 198.51.100.2 and tcp", "net 198.51.100.0/24",
    "port 53", "dst port 443 or src portrange 40000-40010", "udp port 53 and not src net 192.0.2.0/24",
    "greater 100", "less 60", "len > 80 and len < 200",
    "ip[8] < 10", "tcp[tcpflags] & (tcp-syn|tcp-ack) == tcp-syn", "ether[0] & 1 = 1",
    "not ip", "ip and not udp and not tcp", "udp[8:2] = 0x7171",
    " or ".join(["port 53"] * 300),  # compiled on a stack of the module's own
]


def timestamps_tcpdump(path, expression):
    out = subprocess.run(["tcpdump", "-n", "-tt", "-r", path, expression],
                         capture_output=True, text=True, check=True).stdout
    # Continuation lines (hex dumps of undecodable frames) are indented.
    return [line.split()[0] for line in out.splitlines() if line[:1].isdigit()]


def timestamps_wirelet(path, expression):
    seen = []
    with wirelet.open_offline(path) as r:
        r.setfilter(expression)
        r.loop(-1, lambda h, d: seen.append("%d.%06d" % h.getts()))
    return seen


@pytest.fixture(scope="module")
def mixed(tmp_path_factory):
    frames = pcapfile.mixed_frames()
    path = tmp_path_factory.mktemp("filter") / "mixed.pcap"
    return pcapfile.write(path, [((1000 + i, i), f) for i, f in enumerate(frames)])


@pytest.mark.parametrize("expression", EXPRESSIONS)
def test_setfilter_selects_what_tcpdump_selects(mixed, expression):
    for path in (mixed, SAMPLE):
        expected = timestamps_tcpdump(path, expression)
        assert timestamps_wirelet(path, expression) == expected
    assert timestamps_tcpdump(mixed, expression), "expression selects nothing: a weak check"


def test_filter_applies_to_next_and_dispatch_too(mixed):
    expected = timestamps_tcpdump(mixed, "udp")
    with wirelet.open_offline(mixed) as r:
        r.setfilter("udp")
        first = r.next()[0]
        seen = ["%d.%06d" % first.getts()]
        assert r.dispatch(-1, lambda h, d: seen.append("%d.%06d" % h.getts())) == len(expected) - 1
    assert seen == expected


def test_second_filter_replaces_the_first_and_empty_matches_all(mixed):
    with wirelet.open_offline(mixed) as r:
        assert r.setfilter("tcp") is None
        assert r.setfilter("") is None
        assert r.dispatch(-1, lambda h, d: None) == len(pcapfile.mixed_frames())


def test_setfilter_errors(mixed):
    r = wirelet.open_offline(mixed)
    with pytest.raises(wirelet.PcapError, match="syntax error"):
        r.setfilter("tcp and and")
    with pytest.raises(wirelet.PcapError, match="unknown"):
        r.setfilter("ether proto nosuchproto")
    with pytest.raises(TypeError, match="setfilter"):
        r.setfilter(b"tcp")
    with pytest.raises(TypeError, match="setfilter"):
        r.setfilter()
    with pytest.raises(TypeError):
        r.setfilter(expr="tcp")
    with pytest.raises(ValueError):
        r.setfilter("tcp\0")
    # A failed compilation leaves the previous filter in force.
    r.setfilter("icmp")
    with pytest.raises(wirelet.PcapError):
        r.setfilter("(")
    assert r.dispatch(-1, lambda h, d: None) == 2
    r.close()
    with pytest.raises(ValueError, match="pcap is closed"):
        r.setfilter(1, 2)
