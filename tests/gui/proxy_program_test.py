#!/usr/bin/env python3
"""The real program's whole update through a real HTTP proxy: tinyproxy on
127.0.0.1 (its own configuration in a temporary folder, never the system's
service) in front of nginx serving the update site.

  proxy_program_test.py --program EXE --port PORT [--proxy-port FIRST]

EXE has http://127.0.0.1:PORT/updates/ compiled in; nginx serves there and
tinyproxy listens on the first free port from FIRST (default PORT + 1).

Each row sets the proxy variables the program starts with and says whether
its requests must pass the proxy: then the proxy's log names every request
the program made (the news, the manifest, every file, the manifest again),
as nginx answered them; otherwise the proxy sees none of them. Files are
fetched side by side, so their requests may come in any order between the
first manifest and the last.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402

PROXY_VARIABLES = ("http_proxy", "https_proxy", "no_proxy", "all_proxy",
                   "HTTP_PROXY", "HTTPS_PROXY", "NO_PROXY", "ALL_PROXY")
FILES = [("readme.txt", "", "Read me, version 1.1.\r\n"),
         ("a.dat", "maps", {"fill": "map data ", "size": 3000}),
         ("big.dat", "data", {"fill": "0123456789abcdef", "size": 700 * 1024})]
EXPECTED_PATHS = (["/updates//news.txt", "/updates/info.ini"] + ["/updates/" + name for name, _, _ in FILES] +
                  ["/updates/info.ini"])


class Tinyproxy:
    """tinyproxy in the foreground on 127.0.0.1:port, logging each request."""

    def __init__(self, port, workdir):
        self.port = port
        self.dir = os.path.join(workdir, "tinyproxy")
        self.log = os.path.join(self.dir, "tinyproxy.log")
        self.proc = None

    def __enter__(self):
        if not harness.port_is_free(self.port):
            raise harness.HarnessError("port %d is taken" % self.port)
        os.makedirs(self.dir, exist_ok=True)
        conf = os.path.join(self.dir, "tinyproxy.conf")
        with open(conf, "w") as f:
            f.write('Port %d\nListen 127.0.0.1\nTimeout 30\nLogFile "%s"\nLogLevel Info\nPidFile "%s"\n'
                    "MaxClients 16\nAllow 127.0.0.1\n" % (self.port, self.log, os.path.join(self.dir, "pid")))
        program = shutil.which("tinyproxy", path="/usr/bin:/usr/sbin:" + os.environ.get("PATH", "")) or "tinyproxy"
        self.proc = subprocess.Popen([program, "-d", "-c", conf], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        harness.wait_until(lambda: self.proc.poll() is not None or not harness.port_is_free(self.port), 10,
                           "tinyproxy listening")
        if self.proc.poll() is not None:
            raise harness.HarnessError("tinyproxy ended at start (%d); see %s" % (self.proc.returncode, self.log))
        return self

    def requests(self):
        """Request lines it logged, e.g. "GET http://127.0.0.1:1/updates/a HTTP/1.1"."""
        try:
            with open(self.log, errors="replace") as f:
                return [m.group(1) for m in re.finditer(r"Request \(file descriptor \d+\): (.*)", f.read())]
        except FileNotFoundError:
            return []

    def __exit__(self, *exc):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def run_case(args, work, what, variables, through_proxy):
    case = os.path.join(work, re.sub(r"[^a-z0-9]+", "-", what.lower()))
    site, folder = os.path.join(case, "site"), os.path.join(case, "program")
    remote = harness.manifest("1.1", [(n, "1.1", p) for n, p, _ in FILES], game="game.sh")
    served = {"updates/news.txt": "News through the proxy.", "updates/info.ini": remote}
    served.update({"updates/" + name: content for name, _, content in FILES})
    harness.write_tree(site, served)
    harness.write_tree(folder, {"info.ini": harness.manifest("1.0", [(n, "1.0", p) for n, p, _ in FILES],
                                                             game="game.sh"),
                                "readme.txt": "old", "maps/a.dat": "old"})
    problems = []
    saved = {k: os.environ.pop(k) for k in PROXY_VARIABLES if k in os.environ}
    try:
        os.environ.update({k: v.format(proxy="127.0.0.1:%d" % args.proxy_port) for k, v in variables.items()})
        with Tinyproxy(args.proxy_port, case) as proxy, harness.XServer() as x, \
                harness.Nginx(site, args.port, case) as nginx:
            with harness.Program(args.program, folder, x) as p:
                p.wait_trace("L2\tUpdated from Version 1.1!", timeout=60)
            answered = [line.split(" ")[1] for line in nginx.requests()]
            proxied = [line.split(" ")[1] for line in proxy.requests()]
    except harness.HarnessError as e:
        return [str(e)]
    finally:
        for k in variables:
            os.environ.pop(k, None)
        os.environ.update(saved)
    for name, path, content in FILES:
        with open(os.path.join(folder, path, name), "rb") as f:
            if f.read() != harness.file_bytes(content):
                problems.append("%s was not updated" % os.path.join(path, name))
    if in_run_order(answered) != in_run_order(EXPECTED_PATHS):
        problems.append("nginx answered %r, expected %r" % (answered, EXPECTED_PATHS))
    origin = "http://127.0.0.1:%d" % args.port
    expected_proxied = [origin + path for path in EXPECTED_PATHS] if through_proxy else []
    if in_run_order(proxied) != in_run_order(expected_proxied):
        problems.append("the proxy logged %r, expected %r" % (proxied, expected_proxied))
    return problems


def in_run_order(requests):
    """The news and the manifest first, the manifest again last; the files
    between them in any order."""
    return requests[:2] + sorted(requests[2:-1]) + requests[-1:]


CASES = [
    # what, proxy variables ({proxy} is the proxy's host:port), through the proxy
    ("http_proxy set, no_proxy unset", {"http_proxy": "http://{proxy}"}, True),
    ("http_proxy without a scheme", {"http_proxy": "{proxy}"}, True),
    ("no_proxy names the site's host", {"http_proxy": "http://{proxy}", "no_proxy": "localhost,127.0.0.1"}, False),
]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--program", required=True)
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--proxy-port", type=int, default=0)
    args = ap.parse_args()
    args.program = os.path.abspath(args.program)
    first = args.proxy_port or args.port + 1
    args.proxy_port = next((p for p in range(first, first + 8) if harness.port_is_free(p)), first)
    work = harness.temp_dir("velloran-proxy-")
    failed = 0
    for what, variables, through_proxy in CASES:
        problems = run_case(args, work, what, variables, through_proxy)
        print("%s %s" % ("FAIL" if problems else "PASS", what), flush=True)
        for problem in problems:
            print("  " + problem)
        failed += bool(problems)
    print("%d passed, %d failed" % (len(CASES) - failed, failed))
    if not failed:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
