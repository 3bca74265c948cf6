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
