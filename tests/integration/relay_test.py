#!/usr/bin/env python3
"""relay.py against a small server of its own: the delay it adds to a round
trip, the rate it lets through (per link, not per connection), the point
where it cuts a connection, and the memory it holds while a client does not
read. One row per case; timing bounds are wide enough for a loaded machine
yet each one rules out a wrong relay (a one-way delay, a per-connection cap,
one chunk per delay, unbounded buffers).

  relay_test.py [--relay PATH]
"""

import argparse
import os
import socket
import socketserver
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MiB = 1 << 20
PATTERN = bytes(range(251)) * 4200  # about 1 MiB that does not repeat at powers of two


def body(size):
    out = bytearray()
    while len(out) < size:
        out += PATTERN[:size - len(out)]
    return bytes(out)


class Handler(socketserver.BaseRequestHandler):
    """Lines: "PING" answers "PONG"; "SIZE n" answers n bytes of PATTERN."""

    def handle(self):
        f = self.request.makefile("rb")
        try:
            for line in f:
                words = line.split()
                if words == [b"PING"]:
                    self.request.sendall(b"PONG\n")
                elif len(words) == 2 and words[0] == b"SIZE":
                    left = int(words[1])
                    while left:
                        n = min(left, len(PATTERN))
                        self.request.sendall(PATTERN[:n])
                        left -= n
        except OSError:
            pass


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


class Relay:
    def __init__(self, path, target_port, options):
        self.proc = subprocess.Popen([sys.executable, path, "--target", "127.0.0.1:%d" % target_port] + options,
                                     stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        if not line.startswith("PORT "):
            raise RuntimeError("the relay did not start")
        self.port = int(line.split()[1])

    def rss_kib(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)
        self.proc.stdout.close()


def connect(relay):
    s = socket.create_connection(("127.0.0.1", relay.port), timeout=30)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def receive(s, size):
    """Reads until `size` bytes or the end; returns (bytes, how it ended)."""
    data = bytearray()
    try:
        while len(data) < size:
            chunk = s.recv(min(size - len(data), 1 << 16))
            if not chunk:
                return bytes(data), "closed"
            data += chunk
    except ConnectionResetError:
        return bytes(data), "reset"
    return bytes(data), "complete"


# ------------------------------------------------------------------ clients

def round_trip(relay):
    """The shortest of five PING round trips on one connection."""
    with connect(relay) as s:
        times = []
        for _ in range(5):
            start = time.monotonic()
            s.sendall(b"PING\n")
            if receive(s, 5)[0] != b"PONG\n":
                raise AssertionError("no PONG")
            times.append(time.monotonic() - start)
    return min(times)


def first_round_trip(relay):
    """From connecting to the first PONG."""
    start = time.monotonic()
    with connect(relay) as s:
        s.sendall(b"PING\n")
        if receive(s, 5)[0] != b"PONG\n":
            raise AssertionError("no PONG")
        return time.monotonic() - start


def fetch_parallel(relay, connections, size):
    """Seconds for `connections` parallel fetches of `size` bytes each."""
    results = [None] * connections

    def one(i):
        with connect(relay) as s:
            s.sendall(b"SIZE %d\n" % size)
            results[i] = receive(s, size)

    threads = [threading.Thread(target=one, args=(i,)) for i in range(connections)]
    start = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    elapsed = time.monotonic() - start
    expected = body(size)
    for data, ended in results:
        if ended != "complete" or data != expected:
            raise AssertionError("a fetch got %d bytes (%s), not the %d sent" % (len(data), ended, size))
    return elapsed


def fetch_in_turn(relay, count, size):
    """(bytes received, how it ended) of `count` fetches one after the other."""
    outcomes = []
    for _ in range(count):
        with connect(relay) as s:
            s.sendall(b"SIZE %d\n" % size)
            # The server closes once it has answered: the relay must pass the end on.
            s.shutdown(socket.SHUT_WR)
            data, ended = receive(s, size)
            if data != body(size)[:len(data)]:
                raise AssertionError("the bytes received differ from the bytes sent")
            if ended == "complete":
                # The rest of the stream must be the end, not more bytes.
                more, ended = receive(s, 1)
                ended = "complete" if ended == "closed" and not more else "more bytes than sent"
            outcomes.append((len(data), ended))
    return outcomes


def growth_while_not_reading(relay):
    """KiB the relay grows by while the server pushes 256 MiB at a client
    that reads nothing for 1.5 s."""
    before = relay.rss_kib()
    with connect(relay) as s:
        s.sendall(b"SIZE %d\n" % (256 * MiB))
        time.sleep(1.5)
        grown = relay.rss_kib() - before
    return grown


# -------------------------------------------------------------------- cases

def within(low, high):
    return lambda v: low <= v <= high, "within %.2f..%.2f" % (low, high)


CASES = [
    # name, relay options, client, (check, what the check wants)
    ("no delay: a round trip stays short", [], round_trip, within(0.0, 0.08)),
    ("100 ms each way: a round trip takes 200 ms", ["--delay-ms", "100"], round_trip, within(0.195, 0.36)),
    ("100 ms each way: a new connection's first round trip also pays the handshake's",
     ["--delay-ms", "100"], first_round_trip, within(0.395, 0.7)),
    ("32 Mbit/s shared: 4 connections x 1 MiB take about 1.05 s", ["--rate-mbit", "32"],
     lambda r: fetch_parallel(r, 4, MiB), within(0.85, 3.0)),
    ("32 Mbit/s, 50 ms: one connection x 4 MiB is not held to a chunk per delay",
     ["--rate-mbit", "32", "--delay-ms", "50"], lambda r: fetch_parallel(r, 1, 4 * MiB), within(0.85, 2.6)),
    ("drop after 100000 bytes, first connection only", ["--drop-after", "100000", "--drop-count", "1"],
     lambda r: fetch_in_turn(r, 2, 300000),
     (lambda v: v[0][0] == 100000 and v[0][1] in ("reset", "closed") and v[1] == (300000, "complete"),
      "[(100000, reset or closed), (300000, complete)]")),
    ("drop after 65536 bytes, every connection", ["--drop-after", "65536", "--delay-ms", "20"],
     lambda r: fetch_in_turn(r, 2, 300000),
     (lambda v: all(n == 65536 and e in ("reset", "closed") for n, e in v), "65536 bytes, then the end, twice")),
    ("a client that does not read: buffers stay bounded", ["--delay-ms", "10"], growth_while_not_reading,
     within(-1e9, 48 * 1024)),
    ("... also on a rated link", ["--delay-ms", "50", "--rate-mbit", "100"], growth_while_not_reading,
     within(-1e9, 8 * 1024)),
]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--relay", default=os.path.join(HERE, "relay.py"))
    args = ap.parse_args()
    server = Server(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    failed = 0
    for name, options, client, (check, wanted) in CASES:
        relay = Relay(args.relay, server.server_address[1], options)
        try:
            value = client(relay)
            ok = check(value)
            detail = "got %s, want %s" % (("%.3f" % value) if isinstance(value, float) else value, wanted)
        except (AssertionError, OSError) as e:
            ok, detail = False, "%s: %s" % (type(e).__name__, e)
        finally:
            relay.stop()
        print("%s %s (%s)" % ("PASS" if ok else "FAIL", name, detail), flush=True)
        failed += not ok
    server.shutdown()
    print("%d passed, %d failed" % (len(CASES) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
