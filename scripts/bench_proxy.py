#!/usr/bin/env python3
"""A link with a network's round trip for scripts/bench: forwards every
connection to 127.0.0.1:PORT on to 127.0.0.1:TO, holding every chunk it reads
DELAY microseconds in each direction before passing it on.

  bench_proxy.py --port PORT --to TO [--delay-us DELAY]   (default 250)

It limits latency, not bandwidth: chunks keep flowing while earlier ones wait
out their delay. Serves until it is stopped (SIGTERM).

Each direction of a connection has a reader and a writer thread rather than
an event loop: the writer sleeps until each chunk is due with the kernel's
fine timer (an event loop's waits are whole milliseconds, which would turn
250 us into 1 ms), and sockets and sleeps release the interpreter's lock.
"""
import argparse
import collections
import ctypes
import socket
import sys
import threading
import time

CHUNK = 256 * 1024
HELD_LIMIT = 16 << 20  # what one direction holds before its reader waits
PR_SET_TIMERSLACK = 29


class Direction:
    """Chunks read from `src` leave on `dst` once due; the end of `src` becomes
    a half-close of `dst`."""

    def __init__(self, src, dst, delay):
        self.src, self.dst, self.delay = src, dst, delay
        self.cond = threading.Condition()
        self.queue = collections.deque()  # (due, bytes); b"" is the end
        self.held = 0
        self.failed = False

    def read(self):
        while True:
            try:
                data = self.src.recv(CHUNK)
            except OSError:
                data = b""
            with self.cond:
                if data:
                    self.cond.wait_for(lambda: self.held < HELD_LIMIT or self.failed)
                    if self.failed:
                        return
                    self.held += len(data)
                self.queue.append((time.monotonic() + self.delay, data))
                self.cond.notify_all()
            if not data:
                return

    def write(self):
        while True:
            with self.cond:
                self.cond.wait_for(lambda: self.queue)
                due, data = self.queue.popleft()
            wait = due - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            try:
                if not data:
                    self.dst.shutdown(socket.SHUT_WR)
                    return
                self.dst.sendall(data)
            except OSError:
                # The far side is gone: stop both ends of this direction.
                with self.cond:
                    self.failed = True
                    self.cond.notify_all()
                try:
                    self.src.shutdown(socket.SHUT_RD)
                except OSError:
                    pass
                return
            with self.cond:
                self.held -= len(data)
                self.cond.notify_all()


def forward(client, target_port, delay):
    try:
        server = socket.create_connection(("127.0.0.1", target_port))
    except OSError:
        client.close()
        return
    with client, server:
        for s in (client, server):
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        up, down = Direction(client, server, delay), Direction(server, client, delay)
        threads = [threading.Thread(target=f, daemon=True) for f in (up.read, up.write, down.read, down.write)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()


def main():
    parser = argparse.ArgumentParser(description="A loopback forwarder that delays every chunk.")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--to", type=int, required=True)
    parser.add_argument("--delay-us", type=int, default=250)
    a = parser.parse_args()
    if not (0 < a.port < 65536 and 0 < a.to < 65536 and 0 <= a.delay_us <= 10_000_000):
        parser.error("ports are 1 to 65535, the delay 0 to 10000000 us")
    # Sleeps end when due rather than up to 50 us later; threads started from
    # here inherit it. Without it (no such call) the delay is a little longer.
    try:
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_TIMERSLACK, ctypes.c_ulong(1), 0, 0, 0)
    except (OSError, AttributeError):
        pass
    try:
        listener = socket.create_server(("127.0.0.1", a.port), backlog=16)
    except OSError as e:
        sys.exit("bench_proxy.py: cannot listen on 127.0.0.1:%d: %s" % (a.port, e))
    delay = a.delay_us / 1e6
    while True:
        client, _ = listener.accept()
        threading.Thread(target=forward, args=(client, a.to, delay), daemon=True).start()


if __name__ == "__main__":
    main()
