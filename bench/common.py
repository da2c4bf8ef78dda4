"""What the benchmarks share: Debian's Chromium, free ports, a quiet static HTTP server and the
statistics their tables print."""

from __future__ import annotations

import contextlib
import functools
import http.server
import socket
import statistics
import threading
from typing import Iterator, List

#: Debian's Chromium; never a downloaded browser. Launched with Playwright's default flags, which
#: already keep hidden pages unthrottled (their timers, renderer priority and messages).
CHROMIUM = "/usr/bin/chromium"


def free_ports(n: int, host: str = "127.0.0.1") -> List[int]:
    """``n`` distinct ports free at the moment (all bound at once, so none repeats)."""
    socks = []
    try:
        for _ in range(n):
            sock = socket.socket()
            sock.bind((host, 0))
            socks.append(sock)
        return [sock.getsockname()[1] for sock in socks]
    finally:
        for sock in socks:
            sock.close()


def free_port(host: str = "127.0.0.1") -> int:
    return free_ports(1, host)[0]


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


@contextlib.contextmanager
def serve_directory(directory: str, host: str = "127.0.0.1") -> Iterator[int]:
    """Serves ``directory`` over HTTP on ``host`` from a background thread; yields the port."""
    server = http.server.ThreadingHTTPServer((host, 0), functools.partial(_QuietHandler, directory=directory))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield server.server_address[1]
    finally:
        server.shutdown()
        server.server_close()


def spread(values: List[float], digits: int = 0) -> str:
    """The median and half the range, as a percentage of it."""
    median = statistics.median(values)
    half = (max(values) - min(values)) / 2
    return "%s ±%.0f%%" % ("{:,.{}f}".format(median, digits), 100 * half / abs(median) if median else 0)
