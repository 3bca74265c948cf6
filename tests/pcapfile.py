"""Writes classic capture files byte by byte, independently of the module."""
import struct

MAGIC_USEC = 0xA1B2C3D4


def global_header(linktype=1, snaplen=65535, magic=MAGIC_USEC, endian="<"):
    return struct.pack(endian + "IHHiIII", magic, 2, 4, 0, 0, snaplen, linktype)


def record(data, ts=(0, 0), caplen=None, wirelen=None, endian="<"):
    caplen = len(data) if caplen is None else caplen
    wirelen = caplen if wirelen is None else wirelen
    return struct.pack(endian + "IIII", ts[0], ts[1], caplen, wirelen) + data


def write(path, packets, linktype=1, snaplen=65535):
    """packets: iterable of bytes, or of (ts, data[, wirelen]) tuples."""
    with open(path, "wb") as f:
        f.write(global_header(linktype, snaplen))
        for i, p in enumerate(packets):
            if isinstance(p, bytes):
                f.write(record(p, ts=(1_700_000_000 + i, i)))
            else:
                ts, data, *rest = p
                f.write(record(data, ts=ts, wirelen=rest[0] if rest else None))
    return str(path)


def read(path):
    """(ts_sec, ts_usec, caplen, wirelen, data) for each record of a classic little-endian file."""
    with open(path, "rb") as f:
        blob = f.read()
    out, off = [], 24
    while off + 16 <= len(blob):
        sec, usec, caplen, wirelen = struct.unpack_from("<IIII", blob, off)
        off += 16
        out.append((sec, usec, caplen, wirelen, blob[off:off + caplen]))
        off += caplen
    return out


def udp_frame(payload=b"x", src="192.0.2.1", dst="198.51.100.2", sport=1234, dport=53):
    """An Ethernet/IPv4/UDP frame (checksums left zero)."""
    ip_src = bytes(int(o) for o in src.split("."))
    ip_dst = bytes(int(o) for o in dst.split("."))
    udp = struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, 17, 0, ip_src, ip_dst) + udp
    return b"\x02\x00\x00\x00\x00\x02" + b"\x02\x00\x00\x00\x00\x01" + b"\x08\x00" + ip


def _ip4(a):
    return bytes(int(o) for o in a.split("."))


def ipv4(proto, payload, src, dst, ttl=64):
    return struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), 0, 0, ttl, proto, 0,
                       _ip4(src), _ip4(dst)) + payload


def ipv6(next_header, payload, src=b"\x20\x01\x0d\xb8" + bytes(11) + b"\x01",
         dst=b"\x20\x01\x0d\xb8" + bytes(11) + b"\x02"):
    return struct.pack("!IHBB", 0x60000000, len(payload), next_header, 64) + src + dst + payload


def ether(ethertype, payload, vlan=None):
    head = b"\x02\x00\x00\x00\x00\x02\x02\x00\x00\x00\x00\x01"
    if vlan is not None:
        head += struct.pack("!HH", 0x8100, vlan)
    return head + struct.pack("!H", ethertype) + payload


def tcp(sport, dport, flags=0x02, payload=b""):
    return struct.pack("!HHIIBBHHH", sport, dport, 1, 0, 0x50, flags, 1024, 0, 0) + payload


def udp(sport, dport, payload=b""):
    return struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload


def mixed_frames():
    """A varied set of Ethernet frames for filter cross-checks against tcpdump."""
    hosts = ["192.0.2.1", "192.0.2.77", "198.51.100.2", "198.51.100.200", "203.0.113.9"]
    frames = []
    for i, (src, dst) in enumerate((a, b) for a in hosts for b in hosts if a != b):
        frames.append(ether(0x0800, ipv4(17, udp(1024 + i, [53, 123, 5353, 9][i % 4], b"q" * i), src, dst)))
        frames.append(ether(0x0800, ipv4(6, tcp(40000 + i, [80, 443, 22][i % 3], [0x02, 0x12, 0x10, 0x18][i % 4],
                                                     b"h" * (i * 7 % 50)), src, dst, ttl=1 + i)))
    frames.append(ether(0x0800, ipv4(1, b"\x08\x00\x00\x00\x00\x01\x00\x01" + b"ping", "192.0.2.1", "198.51.100.2")))
    frames.append(ether(0x0800, ipv4(1, b"\x00\x00\x00\x00\x00\x01\x00\x01" + b"pong", "198.51.100.2", "192.0.2.1")))
    frames.append(ether(0x86DD, ipv6(17, udp(5000, 53, b"v6 query"))))
    frames.append(ether(0x86DD, ipv6(6, tcp(5001, 443))))
    frames.append(ether(0x0806, bytes.fromhex("0001080006040001") + b"\x02" * 6 + _ip4("192.0.2.1")
                        + bytes(6) + _ip4("192.0.2.77")))
    frames.append(ether(0x0800, ipv4(17, udp(999, 53, b"tagged"), "192.0.2.1", "198.51.100.2"), vlan=42))
    frames.append(ether(0x0800, ipv4(17, udp(7, 7), "192.0.2.1", "198.51.100.2"))[:20])  # cut short
    frames.append(b"\xff" * 60)
    return frames
