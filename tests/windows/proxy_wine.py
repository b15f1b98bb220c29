#!/usr/bin/env python3
"""The Windows build through the user's proxy settings, under Wine.

  proxy_wine.py --build BUILD_DIR [--port 18471] [--timeout-scale 2]

A tinyproxy of its own (config, log and pid in a temporary folder, on a free
port of 127.0.0.1) stands between velloran-update-test.exe and nginx. For each
run the Wine prefix gets the proxy settings a Windows user makes in the
Internet Options (HKCU ...\\Internet Settings\\Connections, value
DefaultConnectionSettings, which WinHttpGetIEProxyConfigForCurrentUser reads),
the program updates a folder, and the proxy's log must show every request
nginx answered, or none of them where the settings send nothing through the
proxy. A last run points the script address at a server that never answers
and clicks Exit meanwhile: the window must stay live while WinHTTP waits for
the script. The value the prefix had before is put back at the end.

The proxy is named "localhost", not 127.0.0.1: Wine's WinHTTP sends the
short request form ("GET /path") to a proxy whose name is the same as the
server's, which a proxy refuses.

Needs DISPLAY (tests/windows/run.sh starts an Xvfb) and tinyproxy
(apt-get install tinyproxy). Prints PASS/FAIL per run and closes with
"N passed, N failed"; exit status 0 when all passed.
"""

import argparse
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
import harness  # noqa: E402
import wine_e2e  # noqa: E402,F401  (its click, moved for the frame Wine draws)

CONNECTIONS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"
VALUE = "DefaultConnectionSettings"
# Flags of the settings: no proxy, a named proxy, a configuration script,
# automatic detection.
DIRECT, NAMED, SCRIPT, DETECT = 1, 2, 4, 8


class Failed(Exception):
    pass


def settings_blob(flags, proxy="", bypass="", script=""):
    """DefaultConnectionSettings as the Internet Options write it: a version,
    a change counter, the flags, then the proxy, bypass list and script
    address, each as a length and its bytes."""
    blob = struct.pack("<III", 0x46, 1, flags)
    for text in (proxy, bypass, script):
        blob += struct.pack("<I", len(text)) + text.encode("ascii")
    return blob + bytes(32)


def reg(x, *args):
    # On the test display: a Wine process without one leaves the prefix's
    # desktop unable to make windows for the programs after it.
    return subprocess.run(["wine", "reg"] + list(args), env=x.env(), stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True)


def saved_settings(x):
    """The prefix's value as hex, or None when it has none."""
    out = reg(x, "query", CONNECTIONS, "/v", VALUE)
    if out.returncode != 0:
        return None
    match = re.search(r"REG_BINARY\s+([0-9A-Fa-f]*)", out.stdout)
    return match.group(1) if match else None


def set_settings(x, hex_value):
    if hex_value is None:
        reg(x, "delete", CONNECTIONS, "/v", VALUE, "/f")
    elif reg(x, "add", CONNECTIONS, "/v", VALUE, "/t", "REG_BINARY", "/d", hex_value, "/f").returncode != 0:
        raise Failed("could not write the proxy settings into the prefix")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class TinyProxy:
    """tinyproxy on 127.0.0.1:port, logging every request to its own file."""

    def __init__(self, work):
        self.dir = os.path.join(work, "tinyproxy")
        self.port = free_port()
        self.log = os.path.join(self.dir, "proxy.log")
        self.proc = None

    def __enter__(self):
        os.makedirs(self.dir)
        conf = os.path.join(self.dir, "tinyproxy.conf")
        with open(conf, "w") as f:
            f.write('Port %d\nListen 127.0.0.1\nTimeout 60\nLogFile "%s"\nLogLevel Connect\n'
                    'PidFile "%s/tinyproxy.pid"\nMaxClients 32\nAllow 127.0.0.1\nDisableViaHeader Yes\n'
                    % (self.port, self.log, self.dir))
        program = shutil.which("tinyproxy", path="/usr/bin:/usr/sbin:" + os.environ.get("PATH", ""))
        if not program:
            raise Failed("tinyproxy is not installed (apt-get install tinyproxy)")
        self.proc = subprocess.Popen([program, "-d", "-c", conf], stdout=subprocess.DEVNULL,
                                     stderr=open(os.path.join(self.dir, "stderr"), "w"))
        harness.wait_until(lambda: self.proc.poll() is not None or not harness.port_is_free(self.port), 10,
                           "tinyproxy")
        if self.proc.poll() is not None:
            raise Failed("tinyproxy did not start")
        return self

    def requests(self):
        """The request lines it passed on, e.g. "GET http://127.0.0.1:18471/updates/news.txt"."""
        try:
            with open(self.log, errors="replace") as f:
                text = f.read()
        except FileNotFoundError:
            return []
        return re.findall(r"Request \(file descriptor \d+\): (\S+ \S+)", text)

    def __exit__(self, *exc):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def manifest(version, entries):
    return harness.manifest(version, entries, "game.exe")


def run_update(x, build, port, scale, flags, proxy_name, bypass="", script=""):
    """One update through the settings; returns (nginx request paths, proxy
    request paths), each in the order seen."""
    work = tempfile.mkdtemp(prefix="velloran-wine-proxy-")
    site = os.path.join(work, "site")
    folder = os.path.join(work, "program folder")
    files = {"a.dat": b"a" * 70000, "b.dat": b"b" * 3000, "c.dat": b"c" * 1}
    tree = {"updates/info.ini": manifest("2.0", [(n, "2.0") for n in files]), "updates/news.txt": "news"}
    tree.update({"updates/" + n: data for n, data in files.items()})
    os.makedirs(site)
    for name, data in tree.items():
        path = os.path.join(site, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())
    os.makedirs(folder)
    with open(os.path.join(folder, "info.ini"), "w", newline="") as f:
        f.write(manifest("1.0", [(n, "1.0") for n in files]))
    program = os.path.join(build, "tests", "windows", "velloran-update-test.exe")
    try:
        with harness.Nginx(site, port, work) as nginx, TinyProxy(work) as proxy:
            proxy_name = proxy_name.replace("PORT", str(proxy.port))
            set_settings(x, settings_blob(flags, proxy_name, bypass, script).hex())
            # Every address goes through the proxy; the script itself is
            # fetched directly.
            with open(os.path.join(site, "proxy.pac"), "w") as f:
                f.write('function FindProxyForURL(url, host) { return "PROXY %s"; }\n' % proxy_name)
            with harness.Program(program, folder, x, ["wine"], timeout_scale=scale) as p:
                p.wait_trace("L2\tUpdated from Version 2.0!", 60)
                p.click("Label1")
                p.wait_exit(15)
            for name, data in files.items():
                with open(os.path.join(folder, name), "rb") as f:
                    if f.read() != data:
                        raise Failed("%s was not updated" % name)
            served = [line.split()[1] for line in nginx.requests()]
            passed = [re.sub(r"^http://[^/]+", "", line.split()[1]) for line in proxy.requests()]
        shutil.rmtree(work, ignore_errors=True)
        return served, passed
    except harness.HarnessError as e:
        raise Failed("%s (left in %s)" % (e, work))


class SilentServer:
    """Takes connections on 127.0.0.1 and never answers."""

    def __enter__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.held = []
        threading.Thread(target=self._take, daemon=True).start()
        return self

    def _take(self):
        try:
            while True:
                self.held.append(self.sock.accept()[0])
        except OSError:
            pass

    def __exit__(self, *exc):
        self.sock.close()
        for conn in self.held:
            conn.close()


def window_live_while_the_script_is_fetched(x, build, port, scale):
    """A script server that never answers holds WinHttpGetProxyForUrl; the
    window must still take the Exit click meanwhile."""
    work = tempfile.mkdtemp(prefix="velloran-wine-proxy-")
    site = os.path.join(work, "site")
    folder = os.path.join(work, "program folder")
    harness.write_tree(site, {"updates/info.ini": manifest("2.0", [("a.dat", "2.0")]), "updates/news.txt": "news",
                              "updates/a.dat": "new"})
    harness.write_tree(folder, {"info.ini": manifest("1.0", [("a.dat", "1.0")])})
    program = os.path.join(build, "tests", "windows", "velloran-update-test.exe")
    try:
        with harness.Nginx(site, port, work) as nginx, SilentServer() as script:
            set_settings(x, settings_blob(DIRECT | SCRIPT, script="http://127.0.0.1:%d/proxy.pac" % script.port).hex())
            with harness.Program(program, folder, x, ["wine"], timeout_scale=scale) as p:
                p.wait_trace("L2\tGetting News...", 60)
                harness.wait_until(lambda: script.held, 20 * scale, "the script to be asked for")
                p.click("Label1")
                p.wait_exit(10)
            if nginx.requests():
                raise Failed("requests went out before the script answered: %r" % nginx.requests())
        shutil.rmtree(work, ignore_errors=True)
    except harness.HarnessError as e:
        raise Failed("%s (left in %s)" % (e, work))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", required=True)
    ap.add_argument("--port", type=int, default=18471)
    ap.add_argument("--timeout-scale", type=float, default=2.0)
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    site = "http://127.0.0.1:%d" % args.port
    # (name, flags, bypass list, script, whether the update's requests go
    # through the proxy). The script is on the site; nginx must see it asked
    # for once in the run, not once per request.
    runs = [
        ("named proxy", DIRECT | NAMED, "", None, True),
        ("named proxy, the site in the bypass list", DIRECT | NAMED, "127.0.0.1", None, False),
        ("configuration script", DIRECT | SCRIPT, "", "/proxy.pac", True),
        # The script cannot be fetched: the requests go directly.
        ("missing configuration script", DIRECT | SCRIPT, "", "/missing.pac", False),
    ]
    passed = failed = 0
    with harness.XServer() as x:
        before = saved_settings(x)
        try:
            for name, flags, bypass, script, through_proxy in runs:
                started = time.monotonic()
                try:
                    served, proxied = run_update(x, build, args.port, args.timeout_scale, flags, "localhost:PORT",
                                                 bypass, site + script if script else "")
                    update = [path for path in served if path != script]
                    problems = []
                    # News, the manifest and three files at least.
                    if len(update) < 5:
                        problems.append("nginx answered only %r" % served)
                    if sorted(proxied) != (sorted(update) if through_proxy else []):
                        problems.append("through the proxy: %r; nginx answered %r" % (proxied, served))
                    if script and served.count(script) != 1:
                        problems.append("the script was asked for %d times" % served.count(script))
                    if problems:
                        raise Failed("; ".join(problems))
                    print("PASS %s (%.1f s)" % (name, time.monotonic() - started), flush=True)
                    passed += 1
                except Failed as e:
                    print("FAIL %s\n  %s" % (name, e), flush=True)
                    failed += 1
            name = "the window stays live while the script is fetched"
            started = time.monotonic()
            try:
                window_live_while_the_script_is_fetched(x, build, args.port, args.timeout_scale)
                print("PASS %s (%.1f s)" % (name, time.monotonic() - started), flush=True)
                passed += 1
            except Failed as e:
                print("FAIL %s\n  %s" % (name, e), flush=True)
                failed += 1
        finally:
            set_settings(x, before)
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
