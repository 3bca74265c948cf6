#!/usr/bin/env python3
"""Records examples/loopback.pcap: a short exchange of loopback traffic.

Needs root and tcpdump. Everything stays on the loopback device: a local HTTP
request and response, UDP datagrams over IPv4 and IPv6 (to a listening socket,
and to closed ports, which the kernel answers with ICMP and ICMPv6 port
unreachable), and a TCP connection refused with a reset.
"""
from __future__ import annotations

import http.server
import os
import socket
import subprocess
import sys
import threading
import time
import urllib.request

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "loopback.pcap")


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format: str, *args: object) -> None:
        pass


def traffic() -> None:
    server = http.server.HTTPServer(("127.0.0.1", 0), QuietHandler)
    port = server.server_address[1]
    threading.Thread(target=server.handle_request, daemon=True).start()
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/", timeout=5) as resp:
        resp.read()
    server.server_close()

    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as rx, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as tx:
        rx.bind(("127.0.0.1", 0))
        for i in range(3):
            tx.sendto(b"hello %d" % i, rx.getsockname())
            rx.recvfrom(100)
        tx.sendto(b"\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", ("127.0.0.1", 53))
        time.sleep(0.05)
    with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as tx6:
        tx6.sendto(b"hello over IPv6", ("::1", 9))
        time.sleep(0.05)
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        try:
            s.connect(("127.0.0.1", 9))
        except ConnectionRefusedError:
            pass


def main() -> None:
    dump = subprocess.Popen(["tcpdump", "-n", "-i", "lo", "-U", "-Z", "root", "-w", OUT],
                            stderr=subprocess.DEVNULL)
    time.sleep(1.0)
    try:
        traffic()
        # The kernel hands captured packets over in blocks, the last one
        # when its timer (tcpdump's one second) runs out.
        time.sleep(2.0)
    finally:
        dump.terminate()
        dump.wait()
    print("wrote", OUT, file=sys.stderr)


if __name__ == "__main__":
    main()
