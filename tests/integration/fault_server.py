#!/usr/bin/env python3
"""A small HTTP/1.1 file server that misbehaves on request, for tests.

Usage: fault_server.py --root DIR --faults FAULTS.json --log LOG [--port 0]

Serves DIR by request path (/updates/info.ini is DIR/updates/info.ini) on
127.0.0.1 with keep-alive, prints "PORT <n>" once it listens, and appends
every request as "GET /path" to LOG (written before the answer goes out), or
as "GET /path bytes=N-" when it asks for a range.

A file's answer carries an ETag (from its size and modification time) and its
Last-Modified date. A request with "Range: bytes=N-" gets 206 with the bytes
from N on and "Content-Range: bytes N-(size-1)/size", unless it also sends an
If-Range that is neither of the two (then 200 with the whole file); a range
starting at or past the end gets 416 with "Content-Range: bytes */size".
Other forms of Range are ignored.

FAULTS.json maps a request path to a fault. The file is read again for every
request, so a test may change it while the server runs. A path matches as
sent or with repeated slashes merged. Faults:
  {"mode": "status", "status": 404, "body": "..."}   that status and body
  {"mode": "short", "send": N}        announce the full length, send N bytes, close
  {"mode": "nolength"}                no Content-Length, body ends by closing
  {"mode": "reset", "send": N}        send N body bytes, then a TCP reset
  {"mode": "slow", "chunk": N, "interval": S}   drip the body N bytes per S seconds
  {"mode": "stall", "seconds": S}     send the head, wait S seconds, send the body
  {"mode": "longer", "extra": N}      announce the real length, send N more bytes, close
  {"mode": "redirect", "location": URL, "status": 302}
  {"mode": "length", "value": TEXT}   announce Content-Length: TEXT, send the body, close
  {"mode": "lines", "lines": [LINE, ...], "chunked": false, "send": N}
                                      200 with exactly these header lines (names may
                                      repeat), then the body (chunk-encoded when
                                      "chunked"; its first N bytes when "send" is
                                      given), close
  {"mode": "slowhead", "interval": S, "seconds": T, "interim": false, "location": URL}
                                      for T seconds, one more line of the head every
                                      S seconds ("interim": a whole "102 Processing"
                                      answer instead), then the answer (a 302
                                      to URL when "location" is given)
  {"mode": "bighead", "size": N}      the answer with one extra header line of N bytes
  {"mode": "idleclose", "after": S}   the answer, then the connection is closed when
                                      no next request came on it within S seconds
                                      (no "Connection: close" warns the client)
  {"mode": "dropreused", "reset": false}
                                      on a connection that served a request before,
                                      close without answering (with a TCP reset,
                                      as a closed socket answers, when "reset");
                                      else the answer
  {"mode": "drop", "reset": false}    close without answering
  {"mode": "peer"}                    answer 200 with the client's port as the body
  {"mode": "echo"}                    answer 200 with the request's head as the body
  {"mode": "norange"}                 the whole file with 200, whatever Range asks
  {"mode": "sequence", "faults": [F1, F2, ...]}
                                      the n-th request of the path gets the fault Fn
                                      (null: the plain file), any after the list the
                                      plain file; counted since the fault was last
                                      set to something else
Every fault but "status", "redirect", "peer" and "echo" serves the file's bytes at
that path (a missing file reads as empty), honouring Range as above, except
"norange", "length", "lines" and "slowhead", which always serve it whole. The
cut of "short" and "reset" ("send": N) counts from the range's start, so a
resumed request can be cut again. A fault may carry "headers": {name: value} to
add to its head.
"""

import argparse
import email.utils
import json
import os
import re
import socket
import struct
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Heads and bodies go out in separate writes; without this, Nagle and
    # delayed acknowledgements add 40 ms to every answer on a reused
    # connection.
    disable_nagle_algorithm = True
    def version_string(self):
        return "FaultServer"

    def setup(self):
        super().setup()
        # Requests answered on this connection so far ("dropreused").
        self.answered = 0

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass

    def do_GET(self):
        wanted = self.headers.get("Range")
        self.server.log_request_line("GET " + self.path + (" " + wanted.strip() if wanted else ""))
        self.connection.settimeout(None)  # an "idleclose" wait ends with the request
        raw = self.path.split("?", 1)[0]
        merged = re.sub("/+", "/", raw)
        faults = self.server.load_faults()
        key = raw if raw in faults else merged
        fault = faults.get(key)
        if fault is not None and fault.get("mode") == "sequence":
            fault = self.server.next_in_sequence(key, fault)
        try:
            if fault is None:
                self.serve_file(merged)
            else:
                self.serve_fault(fault, merged)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True
        self.answered += 1

    def do_HEAD(self):
        self.server.log_request_line("HEAD " + self.path)
        self.send_error(405)

    def file_entry(self, path):
        """The file's bytes and its validators ({"ETag": ..., "Last-Modified":
        ...}), or None when there is no such file."""
        relative = urllib.parse.unquote(path).lstrip("/")
        full = os.path.normpath(os.path.join(self.server.root, relative))
        if not (full == self.server.root or full.startswith(self.server.root + os.sep)):
            return None
        try:
            with open(full, "rb") as f:
                body = f.read()
                mtime_ns = os.fstat(f.fileno()).st_mtime_ns
        except OSError:
            return None
        return body, {
            "ETag": '"%x-%x"' % (len(body), mtime_ns),
            "Last-Modified": email.utils.formatdate(mtime_ns / 1e9, usegmt=True),
        }

    def range_start(self, validators):
        """N of a "Range: bytes=N-" request to honour, or None: no range was
        asked, or its If-Range names another version of the file."""
        match = re.fullmatch(r"\s*bytes=(\d+)-\s*", self.headers.get("Range", ""))
        if not match:
            return None
        condition = self.headers.get("If-Range")
        if condition is not None and condition.strip() not in validators.values():
            return None
        return int(match.group(1))

    def file_answer(self, entry, honour_range=True):
        """(status, body, headers) of the answer with a file: 200 whole, 206
        from the range's start, or 416 for a range past its end. A missing
        file (entry None) is empty."""
        if entry is None:
            return 200, b"", {}
        body, validators = entry
        extra = dict(validators)
        start = self.range_start(validators) if honour_range else None
        if start is None:
            return 200, body, extra
        if start >= len(body):
            extra["Content-Range"] = "bytes */%d" % len(body)
            return 416, b"", extra
        extra["Content-Range"] = "bytes %d-%d/%d" % (start, len(body) - 1, len(body))
        return 206, body[start:], extra

    def head(self, status, length=None, extra=None, close=False):
        self.send_response(status)
        if length is not None:
            self.send_header("Content-Length", str(length))
        for name, value in (extra or {}).items():
            self.send_header(name, value)
        if close:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        self.wfile.flush()

    def serve_file(self, path):
        entry = self.file_entry(path)
        if entry is None:
            body = b"<html><body><h1>404 Not Found</h1></body></html>\n"
            self.head(404, len(body), {"Content-Type": "text/html"})
        else:
            status, body, extra = self.file_answer(entry)
            extra["Content-Type"] = "application/octet-stream"
            self.head(status, len(body), extra)
        self.wfile.write(body)

    def serve_fault(self, fault, path):
        mode = fault.get("mode")
        extra = dict(fault.get("headers", {}))
        if mode == "status":
            body = fault.get("body", "").encode()
            extra.setdefault("Content-Type", "text/html")
            self.head(int(fault.get("status", 500)), len(body), extra)
            self.wfile.write(body)
            return
        if mode == "echo":
            body = (self.requestline + "\r\n" + str(self.headers)).encode("latin-1")
            self.head(200, len(body), {"Content-Type": "text/plain"})
            self.wfile.write(body)
            return
        if mode == "peer":
            body = str(self.client_address[1]).encode()
            self.head(200, len(body), {"Content-Type": "text/plain"})
            self.wfile.write(body)
            return
        if mode == "redirect":
            body = b"<html><body>Moved</body></html>\n"
            extra["Location"] = fault["location"]
            self.head(int(fault.get("status", 302)), len(body), extra)
            self.wfile.write(body)
            return

        whole = mode in ("norange", "length", "lines", "slowhead")
        status, body, answer = self.file_answer(self.file_entry(path), honour_range=not whole)
        extra = dict(answer, **extra)
        if status == 416:
            self.head(status, 0, extra)
        elif mode == "norange":
            self.head(status, len(body), extra)
            self.wfile.write(body)
        elif mode == "short":
            sent = body[: int(fault.get("send", 0))]
            self.head(status, len(body), extra, close=True)
            self.wfile.write(sent)
        elif mode == "nolength":
            self.head(status, None, extra, close=True)
            self.wfile.write(body)
        elif mode == "reset":
            self.head(status, len(body), extra)
            self.wfile.write(body[: int(fault.get("send", 0))])
            # Let the bytes reach the client before the reset discards
            # whatever is still unsent.
            time.sleep(0.2)
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
            self.close_connection = True
        elif mode == "slow":
            chunk = max(1, int(fault.get("chunk", 1)))
            interval = float(fault.get("interval", 0.1))
            self.head(status, len(body), extra)
            for start in range(0, len(body), chunk):
                if start:
                    time.sleep(interval)
                self.wfile.write(body[start : start + chunk])
                self.wfile.flush()
        elif mode == "stall":
            self.head(status, len(body), extra)
            time.sleep(float(fault.get("seconds", 1)))
            self.wfile.write(body)
        elif mode == "longer":
            self.head(status, len(body), extra, close=True)
            self.wfile.write(body + b"X" * int(fault.get("extra", 0)))
        elif mode == "length":
            extra["Content-Length"] = str(fault.get("value", ""))
            self.head(200, None, extra, close=True)
            self.wfile.write(body)
        elif mode == "lines":
            self.close_connection = True
            head = "HTTP/1.1 200 OK\r\n" + "".join(line + "\r\n" for line in fault.get("lines", [])) + "\r\n"
            if "send" in fault:
                body = body[: int(fault["send"])]
            if fault.get("chunked"):
                body = (b"%x\r\n" % len(body) + body + b"\r\n" if body else b"") + b"0\r\n\r\n"
            self.wfile.write(head.encode("latin-1") + body)
        elif mode == "slowhead":
            interval = float(fault.get("interval", 1))
            until = time.monotonic() + float(fault.get("seconds", 1))
            interim = bool(fault.get("interim"))
            location = fault.get("location")  # answer with a redirect there instead
            if location:
                body = b""
                self.wfile.write(b"HTTP/1.1 302 Found\r\nLocation: %s\r\n" % location.encode("latin-1"))
            elif not interim:
                self.wfile.write(b"HTTP/1.1 200 OK\r\n")
            n = 0
            while time.monotonic() < until:
                n += 1
                self.wfile.write(b"HTTP/1.1 102 Processing\r\n\r\n" if interim else b"X-Wait: %d\r\n" % n)
                self.wfile.flush()
                time.sleep(interval)
            if interim:
                self.head(200, len(body), extra)
            else:
                self.wfile.write(b"Content-Length: %d\r\n\r\n" % len(body))
            self.wfile.write(body)
        elif mode == "bighead":
            extra["X-Filler"] = "a" * int(fault.get("size", 0))
            self.head(status, len(body), extra)
            self.wfile.write(body)
        elif mode == "idleclose":
            self.head(status, len(body), extra)
            self.wfile.write(body)
            self.wfile.flush()
            # The wait for the next request line ends in a time-out, which
            # the base class answers by closing the connection.
            self.connection.settimeout(float(fault.get("after", 0.1)))
        elif mode in ("drop", "dropreused"):
            if mode == "drop" or self.answered > 0:
                self.close_connection = True
                if fault.get("reset"):
                    self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    self.connection.close()
                return
            self.head(status, len(body), extra)
            self.wfile.write(body)
        else:
            body = ("unknown fault mode %r\n" % mode).encode()
            self.head(500, len(body), {"Content-Type": "text/plain"})
            self.wfile.write(body)


class FaultServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, port, root, faults_path, log_path):
        super().__init__(("127.0.0.1", port), Handler)
        self.root = os.path.realpath(root)
        self.faults_path = faults_path
        self.log = open(log_path, "a", encoding="utf-8")
        self.log_lock = threading.Lock()
        # "sequence" faults: path -> (the fault as JSON text, requests so far).
        self.sequences = {}
        self.sequence_lock = threading.Lock()

    def next_in_sequence(self, path, fault):
        """The fault of this request of `path` under a "sequence" fault, None
        for the plain file."""
        text = json.dumps(fault, sort_keys=True)
        with self.sequence_lock:
            seen, count = self.sequences.get(path, (None, 0))
            if seen != text:
                count = 0
            self.sequences[path] = (text, count + 1)
        steps = fault.get("faults", [])
        return steps[count] if count < len(steps) else None

    def load_faults(self):
        try:
            with open(self.faults_path, encoding="utf-8") as f:
                return json.load(f)
        except FileNotFoundError:
            return {}

    def log_request_line(self, line):
        with self.log_lock:
            self.log.write(line + "\n")
            self.log.flush()

    def handle_error(self, request, client_address):
        # Clients that hang up mid-answer are part of the tests, not news.
        if isinstance(sys.exc_info()[1], (ConnectionError, OSError)):
            return
        super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser(description="HTTP/1.1 test server with injectable faults")
    parser.add_argument("--root", required=True)
    parser.add_argument("--faults", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()

    server = FaultServer(args.port, args.root, args.faults, args.log)
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
