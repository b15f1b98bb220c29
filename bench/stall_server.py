#!/usr/bin/env python3
"""Answers every GET on 127.0.0.1:PORT with the head at once and the body
only after a pause: the server that makes a client wait.

Usage: stall_server.py PORT SECONDS BODY_BYTES

The head (200, Content-Length) goes out at once; the body of BODY_BYTES
zero bytes follows SECONDS later. Prints "READY" once it listens.
"""

import sys
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass

    def do_GET(self):
        body = bytes(self.server.body_bytes)
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.flush()
        time.sleep(self.server.pause)
        self.wfile.write(body)
        self.wfile.flush()


def main():
    port, pause, size = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
    server = ThreadingHTTPServer(("127.0.0.1", port), Handler)
    server.pause = pause
    server.body_bytes = size
    print("READY", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
