"""Device settings, queries and injection on real devices (root only): the
loopback device, and a veth pair in a network namespace of the test's own."""
import re
import select
import socket
import subprocess
import sys
import time

import pytest

import wirelet
from conftest import ETHERTYPE, MAC_A, MAC_B, LoTraffic, in_netns, needs_root

pytestmark = needs_root

ACTIVATED = -4  # PCAP_ERROR_ACTIVATED
SETTERS = ("set_snaplen", "set_promisc", "set_timeout", "set_buffer_size", "set_rfmon")


def collect(reader, count, deadline=5.0):
    """Up to count (header, data) pairs, read within deadline seconds."""
    got = []
    end = time.monotonic() + deadline
    while len(got) < count and time.monotonic() < end:
        if reader.dispatch(count - len(got), lambda h, d: got.append((h, d))) == 0:
            time.sleep(0.01)
    return got


def quiet_port():
    """A bound UDP socket on lo that nothing sends to, unless the test does."""
    sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sink.bind(("127.0.0.1", 0))
    return sink, sink.getsockname()[1]


def test_create_configure_and_activate_lo():
    with LoTraffic(payload=b"s" * 200) as traffic, wirelet.create("lo") as r:
        assert [r.set_snaplen(60), r.set_promisc(0), r.set_timeout(50), r.set_buffer_size(1 << 20),
                r.set_rfmon(0)] == [0] * 5
        assert r.setnonblock(1) is None  # kept by libpcap until activation
        assert r.activate() == 0
        assert [getattr(r, name)(1) for name in SETTERS] == [ACTIVATED] * 5
        assert r.activate() == ACTIVATED
        assert r.getnonblock() == 1
        assert (r.getnet(), r.getmask(), r.datalink()) == ("127.0.0.0", "255.0.0.0", wirelet.DLT_EN10MB)
        r.setfilter(f"udp dst port {traffic.port}")
        [(header, data)] = collect(r, 1)
        assert header.getcaplen() == len(data) == 60 and header.getlen() == 14 + 20 + 8 + 200


@pytest.mark.timeout(20)
def test_nonblocking_reads_return_at_once_when_nothing_waits():
    sink, port = quiet_port()
    # Blocking, this handle would wait for good: TPACKET_V3 never hands over
    # an empty block.
    with sink, wirelet.open_live("lo", 65535, 0, 1000) as r:
        r.setfilter(f"udp dst port {port}")
        assert r.getnonblock() == 0
        r.setnonblock(1)
        assert r.getnonblock() == r.getnonblock("ignored") == 1
        assert r.dispatch(-1, lambda h, d: pytest.fail("nothing was sent")) == 0
        assert r.next() == (None, b"")
        r.setnonblock(0)
        assert r.getnonblock() == 0


def test_selectable_fd_turns_readable_when_a_packet_arrives():
    traffic = LoTraffic()  # bound now, sending only inside the with block
    with wirelet.open_live("lo", 65535, 0, 50) as r:
        r.setfilter(f"udp dst port {traffic.port}")
        r.setnonblock(1)
        fd = r.getfd()
        assert fd >= 0 and r.getfd(1, 2) == fd
        assert select.select([fd], [], [], 0.3)[0] == []
        with traffic:
            assert select.select([fd], [], [], 5)[0] == [fd]
            assert r.dispatch(-1, lambda h, d: None) > 0


def test_stats_count_the_packets_sent():
    sink, port = quiet_port()
    with sink, wirelet.open_live("lo", 65535, 0, 50) as r, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as tx:
        r.setfilter(f"udp dst port {port}")
        recv0, drop0, ifdrop0 = r.stats()
        for _ in range(25):
            tx.sendto(b"counted", ("127.0.0.1", port))
        assert len(collect(r, 25)) == 25
        recv, drop, ifdrop = r.stats()
        # The kernel counts what passed the filter, and on lo it sees each
        # datagram twice (sent and received); libpcap delivers one copy.
        assert 25 <= recv - recv0 <= 50
        assert (drop, ifdrop) == (drop0, ifdrop0) == (0, 0)
        assert r.stats.__doc__ == "returns capture statistics"


def test_failed_activation_on_lo_and_a_fresh_create():
    out = subprocess.run([sys.executable, "-c", """if True:
        import wirelet
        r = wirelet.create("lo")
        r.set_rfmon(1)
        print(r.activate(), r.activate())
        r.close()
        # A closed handle's memory is soon reused; what was remembered about
        # the failed one must not stick to its successor.
        statuses = set()
        for _ in range(20):
            bad = wirelet.create("nosuchdev0")
            bad.activate()
            bad.close()
            r = wirelet.create("lo")
            statuses.add(r.activate())
            r.close()
        print(statuses)
        """], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    first, rest = out.stdout.splitlines()
    a, b = map(int, first.split())
    assert a == b == -6  # PCAP_ERROR_RFMON_NOTSUP
    assert rest == "{0}"


def device_names(tcpdump_d):
    return [re.match(r"\d+\.(\S+)", line).group(1) for line in tcpdump_d.splitlines()]


def test_findalldevs_matches_tcpdump_and_lookupdev_picks_one():
    for _ in range(3):  # devices may come and go between the two listings
        names = wirelet.findalldevs()
        oracle = device_names(subprocess.run(["tcpdump", "-D"], capture_output=True, text=True,
                                             check=True, timeout=30).stdout)
        if names == oracle:
            break
    assert names == oracle
    device = wirelet.lookupdev()
    assert type(device) is str and device in names


# ---------------------------------------------------------------------------
# The veth pair of conftest's netns fixture.

def test_network_and_mask_of_the_veth_addresses(netns):
    got = in_netns(netns, """if True:
        import json, wirelet
        with wirelet.open_live("wla", 65535, 0, 50) as a, wirelet.create("wlb") as b:
            print(json.dumps([a.getnet(), a.getmask(), b.getnet(), b.getmask()]))
        """)
    assert got == ["192.0.2.0", "255.255.255.0", "192.0.2.128", "255.255.255.128"]


def test_sent_frames_arrive_intact_and_direction_selects_them(netns):
    got = in_netns(netns, f"""if True:
        import json, time, wirelet
        IN, OUT = wirelet.PCAP_D_IN, wirelet.PCAP_D_OUT
        readers = {{}}
        for name, device, direction in (("a", "wla", None), ("a_in", "wla", IN), ("a_out", "wla", OUT),
                                        ("b", "wlb", None), ("b_in", "wlb", IN), ("b_out", "wlb", OUT)):
            r = wirelet.open_live(device, 65535, 0, 50)
            r.setfilter("ether proto {ETHERTYPE:#x}")
            if direction is not None:
                r.setdirection(direction)
            r.setnonblock(1)
            readers[name] = (r, [])
        head = bytes.fromhex("{MAC_B.replace(':', '')}{MAC_A.replace(':', '')}{ETHERTYPE:04x}")
        frames = [head + (b"wirelet %d " % n + bytes(range(256)) * 6)[:n] for n in (46, 301, 1500)]
        with wirelet.open_live("wla", 65535, 0, 50) as tx:
            for frame in frames:
                tx.sendpacket(frame)
        # Read until the frames are in, then a little longer for strays.
        end, settle = time.monotonic() + 5, None
        while time.monotonic() < end and (settle is None or time.monotonic() < settle):
            for r, seen in readers.values():
                r.dispatch(-1, lambda h, d, seen=seen: seen.append(d.hex()))
            if settle is None and all(len(readers[k][1]) >= 3 for k in ("a", "a_out", "b", "b_in")):
                settle = time.monotonic() + 0.3
            time.sleep(0.01)
        print(json.dumps({{"frames": [f.hex() for f in frames],
                          **{{k: seen for k, (r, seen) in readers.items()}}}}))
        """)
    frames = got.pop("frames")
    assert [len(f) // 2 for f in frames] == [60, 315, 1514]
    assert got == {"a": frames, "a_out": frames, "a_in": [], "b": frames, "b_in": frames, "b_out": []}
