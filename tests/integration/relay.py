#!/usr/bin/env python3
"""A loopback TCP relay that behaves like a slow, far-away link, for tests
and benchmarks.

Usage: relay.py --target HOST:PORT [--port 0] [--delay-ms D] [--rate-mbit R]
                [--drop-after N] [--drop-count K] [--log FILE]

Listens on 127.0.0.1 (PORT, 0 for any free one), prints "PORT <n>" once it
listens, and forwards every accepted connection to HOST:PORT.

  --delay-ms D    every byte is released D ms after it crossed the link, in
                  each direction: a round trip grows by 2*D. Bytes read later
                  do not wait for earlier ones beyond their own D, so a
                  connection still carries a full link's worth per delay.
                  A new connection's first bytes to the server leave 2*D
                  after it was accepted, as after a TCP handshake over the
                  link (the first round trip takes 4*D).
  --rate-mbit R   the link carries R Mbit/s per direction, shared by ALL
                  connections (8 parallel connections together get R, not
                  8*R). Without it the link is as fast as the relay.
  --drop-after N  once N bytes from the server (for HTTP: the answer's head
                  included) have been delivered to the client on a
                  connection, both sides of that connection are reset (the
                  client sees exactly N bytes, then the reset)...
  --drop-count K  ...for the first K connections accepted (default: all).
  --log FILE      one line per connection opened, dropped and closed.

Memory stays bounded: a side is no longer read while the bytes it sent wait
in the relay beyond the link's bandwidth-delay product plus some slack; the
kernel's buffers and TCP then slow the sender down as a real link would.
Runs until killed (SIGTERM or SIGINT).
"""

import argparse
import asyncio
import collections
import fcntl
import signal
import socket
import struct
import sys
import termios
import time

CHUNK = 64 * 1024
# Queue bound beyond the bandwidth-delay product; also the bound when the
# link has no rate.
SLACK = 256 * 1024
UNLIMITED_QUEUE = 8 * 1024 * 1024
# How far the link may run ahead of real time to make up for a late wake-up
# of the event loop: without it every oversleep would be bandwidth lost.
CATCH_UP = 0.005


class Link:
    """One direction of the shared link: a clock of when it is free again."""

    def __init__(self, rate_mbit):
        self.bytes_per_second = rate_mbit * 1e6 / 8 if rate_mbit else None
        self.free_at = 0.0

    async def carry(self, size):
        """Waits until `size` bytes have crossed the link; returns when (never
        before the call: making up for a late wake-up gives bandwidth back,
        not time)."""
        now = time.monotonic()
        if self.bytes_per_second is None:
            return now
        start = max(self.free_at, now - CATCH_UP)
        self.free_at = start + size / self.bytes_per_second
        if self.free_at > now:
            await asyncio.sleep(self.free_at - now)
        return max(self.free_at, now)


class Direction:
    """Bytes of one connection going one way: read from `source`, carried by
    `link`, held for the delay, written to `sink`."""

    def __init__(self, relay, source, sink, link, deliver_limit=None, not_before=0.0):
        self.relay = relay
        self.not_before = not_before  # no byte crosses before this time
        self.source, self.sink, self.link = source, sink, link
        self.queue = collections.deque()  # (release time, bytes)
        self.queued = 0
        self.ended = False  # the source has no more bytes
        self.broken = False  # ...because its connection failed
        self.arrived = asyncio.Event()
        self.room = asyncio.Event()
        self.room.set()
        self.deliver_limit = deliver_limit  # bytes delivered before the connection is reset
        self.delivered = 0

    async def pump_in(self):
        try:
            while True:
                await self.room.wait()
                data = await self.source.read(CHUNK)
                if not data:
                    break
                crossed = max(await self.link.carry(len(data)), self.not_before)
                self.queue.append((crossed + self.relay.delay, data))
                self.queued += len(data)
                if self.queued > self.relay.queue_limit:
                    self.room.clear()
                self.arrived.set()
        except (ConnectionError, OSError):
            self.broken = True
        finally:
            self.ended = True
            self.arrived.set()

    async def pump_out(self):
        """Returns "end" when every byte was delivered and the source ended,
        "broken" when a side failed and "drop" when the connection is to be
        reset."""
        while True:
            if self.broken:
                return "broken"
            if not self.queue:
                if self.ended:
                    return "end"
                self.arrived.clear()
                await self.arrived.wait()
                continue
            release = self.queue[0][0]
            now = time.monotonic()
            if release > now:
                await asyncio.sleep(release - now)
            now = time.monotonic()
            while self.queue and self.queue[0][0] <= now:
                _, data = self.queue.popleft()
                self.queued -= len(data)
                if self.deliver_limit is not None and self.delivered + len(data) >= self.deliver_limit:
                    self.sink.write(data[:self.deliver_limit - self.delivered])
                    self.delivered = self.deliver_limit
                    await self.sink.drain()
                    return "drop"
                self.sink.write(data)
                self.delivered += len(data)
            if self.queued <= self.relay.queue_limit:
                self.room.set()
            await self.sink.drain()


class Relay:
    def __init__(self, args):
        self.target_host, _, port = args.target.rpartition(":")
        self.target_port = int(port)
        self.delay = args.delay_ms / 1000.0
        self.up, self.down = Link(args.rate_mbit), Link(args.rate_mbit)
        if args.rate_mbit:
            self.queue_limit = int(args.rate_mbit * 1e6 / 8 * self.delay) + SLACK
        else:
            self.queue_limit = UNLIMITED_QUEUE
        self.drop_after = args.drop_after
        self.drop_count = args.drop_count
        self.accepted = 0
        self.log_file = open(args.log, "a", encoding="utf-8") if args.log else None

    def log(self, text):
        if self.log_file:
            self.log_file.write(text + "\n")
            self.log_file.flush()

    async def serve(self, client_reader, client_writer):
        try:
            await self.relay(client_reader, client_writer)
        except asyncio.CancelledError:
            pass  # the relay is stopping

    async def relay(self, client_reader, client_writer):
        accepted_at = time.monotonic()
        self.accepted += 1
        number = self.accepted
        drops = self.drop_after is not None and (self.drop_count is None or number <= self.drop_count)
        try:
            server_reader, server_writer = await asyncio.open_connection(self.target_host, self.target_port)
        except OSError as e:
            self.log("%d refused %s" % (number, e))
            client_writer.close()
            return
        self.log("%d open" % number)
        # The connection was accepted here at once; over the link its opening
        # handshake would take a round trip before the client's first byte
        # could go out.
        up = Direction(self, client_reader, server_writer, self.up, not_before=accepted_at + 2 * self.delay)
        down = Direction(self, server_reader, client_writer, self.down, self.drop_after if drops else None)
        readers = [asyncio.ensure_future(d.pump_in()) for d in (up, down)]
        outcome = "closed"

        async def forward(direction, writer):
            try:
                result = await direction.pump_out()
            except (ConnectionError, OSError):
                return "broken"
            if result == "end" and writer.can_write_eof():
                try:
                    writer.write_eof()
                except (ConnectionError, OSError):
                    return "broken"
            return result

        pending = {asyncio.ensure_future(forward(up, server_writer)),
                   asyncio.ensure_future(forward(down, client_writer))}
        try:
            # Both directions end on their own; a drop or a failed side ends both.
            while pending and outcome == "closed":
                done, pending = await asyncio.wait(pending, return_when=asyncio.FIRST_COMPLETED)
                results = {t.result() for t in done}
                if "drop" in results:
                    await self.flushed(client_writer)
                    outcome = "dropped after %d bytes" % down.delivered
                elif "broken" in results:
                    outcome = "broken"
        finally:
            for t in list(pending) + readers:
                t.cancel()
            for w in (client_writer, server_writer):
                self.close(w, outcome != "closed")
            self.log("%d %s up=%d down=%d" % (number, outcome, up.delivered, down.delivered))

    @staticmethod
    async def flushed(writer, timeout=5.0):
        """Waits until the peer has acknowledged every byte written: a reset
        throws away what is still in the send queue."""
        sock = writer.get_extra_info("socket")
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if writer.transport.get_write_buffer_size():
                await asyncio.sleep(0.001)
                continue
            try:
                pending = struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0\0\0\0"))[0]
            except OSError:
                return
            if pending == 0:
                return
            await asyncio.sleep(0.001)

    @staticmethod
    def close(writer, reset):
        sock = writer.get_extra_info("socket")
        if reset and sock is not None:
            try:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            except OSError:
                pass
        if reset:
            writer.transport.abort()
        else:
            writer.close()


async def main_async(args):
    relay = Relay(args)
    server = await asyncio.start_server(relay.serve, "127.0.0.1", args.port, backlog=256)
    print("PORT %d" % server.sockets[0].getsockname()[1], flush=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for s in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(s, stop.set)
    async with server:
        await stop.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--target", required=True, help="HOST:PORT to forward to")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--delay-ms", type=float, default=0.0)
    parser.add_argument("--rate-mbit", type=float, default=0.0)
    parser.add_argument("--drop-after", type=int, default=None)
    parser.add_argument("--drop-count", type=int, default=None)
    parser.add_argument("--log", default=None)
    args = parser.parse_args()
    asyncio.run(main_async(args))
    return 0


if __name__ == "__main__":
    sys.exit(main())
