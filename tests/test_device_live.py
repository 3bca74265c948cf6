"""Device settings, queries and injection on real devices (root only): the
loopback device, and a veth pair in a network namespace of the test's own."""
import ipaddress
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


def test_immediate_mode_hands_a_packet_over_as_it_arrives():
    sink, port = quiet_port()
    with sink, wirelet.create("lo") as r, socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as tx:
        assert r.set_timeout(5000) == r.set_immediate_mode(1) == r.activate() == 0
        r.setfilter(f"udp dst port {port}")
        began = time.monotonic()
        tx.sendto(b"at once", ("127.0.0.1", port))
        header, data = r.next()
        # Without immediate mode the kernel's block holds it for about 5 s.
        assert data.endswith(b"at once") and time.monotonic() - began < 1.5


def tcpdump_flags(flags):
    """The words tcpdump -D prints for flags, or None where it prints none."""
    if flags == 0:
        return None
    words = {word for word, bit in (("Up", wirelet.PCAP_IF_UP), ("Running", wirelet.PCAP_IF_RUNNING),
                                    ("Loopback", wirelet.PCAP_IF_LOOPBACK), ("Wireless", wirelet.PCAP_IF_WIRELESS))
             if flags & bit} or {"none"}
    wireless = flags & wirelet.PCAP_IF_WIRELESS
    words.add({wirelet.PCAP_IF_CONNECTION_STATUS_UNKNOWN: ("Association" if wireless else "Connection")
               + " status unknown",
               wirelet.PCAP_IF_CONNECTION_STATUS_CONNECTED: "Associated" if wireless else "Connected",
               wirelet.PCAP_IF_CONNECTION_STATUS_DISCONNECTED: "Not associated" if wireless else "Disconnected",
               wirelet.PCAP_IF_CONNECTION_STATUS_NOT_APPLICABLE: "none"}[flags & wirelet.PCAP_IF_CONNECTION_STATUS])
    return words - {"none"} or {"none"}


def test_devices_agree_with_findalldevs_and_tcpdump():
    for _ in range(3):  # devices may come and go between the listings
        devices, names = wirelet.devices(), wirelet.findalldevs()
        lines = subprocess.run(["tcpdump", "-D"], capture_output=True, text=True, check=True, timeout=30).stdout
        oracle = [(name, description, words and set(words.split(", "))) for name, description, words in
                  re.findall(r"^\d+\.(\S+)(?: \((.*)\))?(?: \[(.*)\])?$", lines, re.M)]
        ours = [(d.name, d.description or "", tcpdump_flags(d.flags) or "") for d in devices]
        if ours == oracle:
            break
    assert [d.name for d in devices] == names
    assert ours == oracle


def test_devices_list_the_addresses_that_ip_shows(netns):
    for command in (["link", "set", "lo", "up"], ["addr", "add", "2001:db8::1/64", "dev", "wla", "nodad"]):
        subprocess.run(["ip", "-n", netns, *command], check=True, timeout=30)
    got = in_netns(netns, """if True:
        import json, subprocess, time, wirelet
        def ip():
            return json.loads(subprocess.run(["ip", "-j", "addr"], capture_output=True, check=True).stdout)
        for _ in range(10):  # until the link-local addresses have settled
            before, devices, after = ip(), wirelet.devices(), ip()
            if before == after:
                break
            time.sleep(0.3)
        print(json.dumps({"ip": after, "devices": devices, "names": wirelet.findalldevs()}))
        """)
    assert [d[0] for d in got["devices"]] == got["names"]
    ours = {name: addresses for name, _, _, addresses in got["devices"]}
    shown = {link["ifname"]: link for link in got["ip"]}
    prefix = {socket.AF_INET: lambda m: ipaddress.ip_network(f"0.0.0.0/{m}").prefixlen,
              socket.AF_INET6: lambda m: bin(int(ipaddress.IPv6Address(m))).count("1"),
              socket.AF_PACKET: lambda m: m}
    for name, mac in (("lo", "00:00:00:00:00:00"), ("wla", MAC_A)):
        expected = {(socket.AF_PACKET, shown[name]["address"], None)} | {
            (socket.AF_INET if a["family"] == "inet" else socket.AF_INET6, a["local"], a["prefixlen"])
            for a in shown[name]["addr_info"]}
        assert {(family, addr, prefix[family](mask)) for family, addr, mask, _, _ in ours[name]} == expected
        assert (socket.AF_PACKET, mac, None) in expected
    assert {(socket.AF_INET6, "2001:db8::1", 64), (socket.AF_INET, "192.0.2.1", 24)} < expected


def test_any_offers_both_cooked_headers_and_sll2_changes_the_bytes(netns, tmp_path):
    listing = subprocess.run(["ip", "netns", "exec", netns, "tcpdump", "-n", "-L", "-i", "any"],
                             capture_output=True, text=True, check=True, timeout=30).stderr
    path = str(tmp_path / "sll2.pcap")
    got = in_netns(netns, f"""if True:
        import json, subprocess, time, wirelet
        r = wirelet.create("any")
        r.set_timeout(50)
        r.activate()
        offered = r.list_datalinks()
        r.set_datalink(276)
        r.setfilter("ether proto {ETHERTYPE:#x}")
        dumper = r.dump_open({path!r})
        seen = []
        with wirelet.open_live("wla", 65535, 0, 50) as tx:
            tx.sendpacket(bytes.fromhex("{MAC_B.replace(':', '')}{MAC_A.replace(':', '')}{ETHERTYPE:04x}") + b"sll2" * 20)
        end = time.monotonic() + 5
        while len(seen) < 2 and time.monotonic() < end:
            r.dispatch(-1, lambda h, d: (seen.append(d.hex()), dumper.dump(h, d)))
        dumper.close()
        links = json.loads(subprocess.run(["ip", "-j", "link"], capture_output=True, check=True).stdout)
        print(json.dumps({{"offered": offered, "datalink": r.datalink(), "seen": seen,
                          "index": {{l["ifname"]: l["ifindex"] for l in links}}}}))
        """)
    names = re.findall(r"^  (\S+) \(", listing, re.M)
    assert got["offered"] == [wirelet.datalink_name_to_val(n) for n in names] == [113, 276]
    assert got["datalink"] == 276
    # SLL2: protocol, 2 reserved bytes, interface index, ..., then the payload at 20.
    assert sorted(bytes.fromhex(d)[:2] + bytes.fromhex(d)[20:] for d in got["seen"]) == [
        b"\x88\xb5" + b"sll2" * 20] * 2
    decoded = subprocess.run(["tshark", "-n", "-r", path, "-T", "fields", "-e", "sll.ifindex", "-e", "sll.etype"],
                             capture_output=True, text=True, check=True, timeout=60).stdout.split()
    index = got["index"]
    assert sorted(decoded) == sorted([str(index["wla"]), str(index["wlb"]), f"{ETHERTYPE:#06x}", f"{ETHERTYPE:#06x}"])
