#!/usr/bin/env python3
"""Runs every performance measurement of velloran-update and prints the table.

Usage: run_bench.py --build DIR --port PORT --wan-port RELAY_PORT [--runs N] [--only NAME,...]
                    [--work FOLDER]

Expects DIR to hold the benchmark build (bench/CMakeLists.txt) whose program
has http://127.0.0.1:PORT/updates/ compiled in, and whose WAN programs have
http://127.0.0.1:RELAY_PORT/updates/: there the WAN measurement puts
tests/integration/relay.py in front of nginx (25 ms each way, 100 Mbit/s). Sets up in a temporary
folder under FOLDER (default /var/tmp): the update site with its data, nginx
on 127.0.0.1:PORT serving it, a stalling server behind nginx, and Xvfb. Then,
for each measurement, runs the program and the curl baseline alternately,
several times, and reports medians. Everything it made is removed at the end.
Exits 0 when every target is met, 1 when one is missed.

Measurements (names for --only): large, small, scale, memory, stall, startup,
wan, engine, publisher, huge (one 3 GiB file, run only when named).
"""

import argparse
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness  # noqa: E402

MiB = 1 << 20
GiB = 1 << 30
PUBLISH_FILES = 10000
PUBLISH_BYTES = 2 * GiB
SMALL_FILES = 2000
SMALL_SIZE = 4096
WAN_LARGE_FILES = 20
WAN_LARGE_SIZE = 20 * MiB
WAN_DELAY_MS = 25  # each way: a 50 ms round trip
WAN_RATE_MBIT = 100
WAN_CONNECTIONS = 8
RELAY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "integration", "relay.py")
PAINT_PROBE = "190,240,006790"  # a pixel of the news box, in its ground colour


def say(text):
    print("bench: " + text, flush=True)


def port_free(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) != 0


def manifest(version, entries):
    """A manifest: entries are (name, version, path) tuples."""
    return harness.manifest(version, entries, "game.sh").encode()


class Bench:
    def __init__(self, args):
        self.build = os.path.abspath(args.build)
        self.port = args.port
        self.runs = args.runs
        self.only = set(args.only.split(",")) if args.only else None
        self.program = os.path.join(self.build, "velloran", "window", "velloran-update")
        self.measure_tool = os.path.join(self.build, "velloran-measure")
        self.engine_bench = os.path.join(self.build, "velloran-engine-bench")
        self.floor_program = os.path.join(self.build, "velloran-floor")
        self.publish_tool = os.path.join(self.build, "velloran", "publish", "velloran-publish")
        self.wan_port = args.wan_port
        self.wan_program = os.path.join(self.build, "velloran-update-wan")
        self.wan_serial_program = os.path.join(self.build, "velloran-update-wan-serial")
        os.makedirs(args.work, exist_ok=True)
        self.work = tempfile.mkdtemp(prefix="velloran-bench.", dir=args.work)
        self.site = os.path.join(self.work, "site", "updates")
        self.processes = []
        self.rows = []
        self.notes = []

    # ------------------------------------------------------------------ setup

    def wanted(self, name):
        return self.only is None or name in self.only

    def write(self, path, data):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def make_site(self):
        say("making the update site in " + self.site)
        os.makedirs(self.site)
        self.write(os.path.join(self.site, "news.txt"), b"Velloran benchmark site.\r\n")
        for name, size in (("large.bin", 512 * MiB), ("mid.bin", 64 * MiB)):
            if not (self.wanted("large") or self.wanted("memory")):
                break
            with open("/dev/urandom", "rb") as src, open(os.path.join(self.site, name), "wb") as dst:
                left = size
                while left:
                    block = src.read(min(left, 4 * MiB))
                    dst.write(block)
                    left -= len(block)
        if self.wanted("small") or self.wanted("wan"):
            block = os.urandom(SMALL_SIZE)
            for i in range(1, SMALL_FILES + 1):
                self.write(os.path.join(self.site, "s%04d.dat" % i), block)
        if self.wanted("wan"):
            for i in range(1, WAN_LARGE_FILES + 1):
                with open(os.path.join(self.site, "w%02d.bin" % i), "wb") as f:
                    for _ in range(WAN_LARGE_SIZE // (4 * MiB)):
                        f.write(os.urandom(4 * MiB))
        self.write(os.path.join(self.site, "stall.bin"), b"")  # nginx hands this path to the stall server

    def start_nginx(self):
        if not port_free(self.port):
            raise SystemExit("bench: port %d is taken; the program's address needs it free" % self.port)
        conf_dir = os.path.join(self.work, "nginx")
        os.makedirs(conf_dir)
        self.nginx_log = os.path.join(conf_dir, "access.log")
        self.stall_port = self.free_port(self.port + 1)
        user = "user root;\n" if os.getuid() == 0 else ""
        conf = f"""{user}daemon off;
worker_processes 1;
pid {conf_dir}/nginx.pid;
error_log {conf_dir}/error.log;
events {{ worker_connections 256; }}
http {{
    log_format bench '$connection $connection_requests "$http_user_agent" $request_uri $status $body_bytes_sent';
    access_log {self.nginx_log} bench;
    client_body_temp_path {conf_dir}/body;
    proxy_temp_path {conf_dir}/proxy;
    fastcgi_temp_path {conf_dir}/fastcgi;
    uwsgi_temp_path {conf_dir}/uwsgi;
    scgi_temp_path {conf_dir}/scgi;
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    keepalive_timeout 60;
    keepalive_requests 100000;
    server {{
        listen 127.0.0.1:{self.port};
        root {os.path.dirname(self.site)};
        location = /updates/stall.bin {{
            proxy_pass http://127.0.0.1:{self.stall_port};
            proxy_buffering off;
            proxy_read_timeout 60s;
        }}
    }}
}}
"""
        self.write(os.path.join(conf_dir, "nginx.conf"), conf.encode())
        self.spawn(["nginx", "-p", conf_dir + "/", "-c", conf_dir + "/nginx.conf", "-e", conf_dir + "/error.log"])
        stall = self.spawn([sys.executable, os.path.join(os.path.dirname(__file__), "stall_server.py"),
                            str(self.stall_port), "10", str(64 * 1024)], stdout=subprocess.PIPE)
        if stall.stdout.readline().strip() != b"READY":
            raise SystemExit("bench: the stall server did not start")
        for _ in range(100):
            if not port_free(self.port):
                break
            time.sleep(0.05)
        else:
            raise SystemExit("bench: nginx did not start on port %d" % self.port)

    def free_port(self, first):
        for port in range(first, first + 100):
            if port_free(port):
                return port
        raise SystemExit("bench: no free port")

    def start_xvfb(self):
        for n in range(90, 160):
            if not os.path.exists("/tmp/.X11-unix/X%d" % n) and not os.path.exists("/tmp/.X%d-lock" % n):
                display = ":%d" % n
                break
        else:
            raise SystemExit("bench: no free X display number")
        self.spawn(["Xvfb", display, "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-br"],
                   stderr=subprocess.DEVNULL)
        os.environ["DISPLAY"] = display
        for _ in range(100):
            if subprocess.run(["xdpyinfo"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
                return
            time.sleep(0.05)
        raise SystemExit("bench: Xvfb did not start")

    def spawn(self, argv, **kw):
        p = subprocess.Popen(argv, **kw)
        self.processes.append(p)
        return p

    def cleanup(self):
        for p in reversed(self.processes):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
        shutil.rmtree(self.work, ignore_errors=True)

    # -------------------------------------------------------------- measuring

    def measure(self, mode, command, cwd=None, timeout=120):
        argv = [self.measure_tool, "--timeout", str(timeout)] + mode
        if cwd:
            argv += ["--cwd", cwd]
        out = subprocess.run(argv + ["--"] + command, stdout=subprocess.PIPE, text=True)
        fields = dict(item.split("=", 1) for item in out.stdout.split())
        result = {k: (v if k == "outcome" else float(v)) for k, v in fields.items()}
        if result.get("outcome") != "ok":
            raise SystemExit("bench: %s ended with %s (%s)" % (command[0], result.get("outcome"), out.stdout.strip()))
        return result

    def fresh_folder(self, kind):
        """A new, empty folder for one run. Folders are kept until the end:
        deleting thousands of files just before a run makes creating files
        slower on some file systems (ext4 without a journal skips inodes it
        freed recently), which would punish whichever run comes next."""
        self.run_number = getattr(self, "run_number", 0) + 1
        folder = os.path.join(self.work, "runs", "%04d-%s" % (self.run_number, kind))
        os.makedirs(folder)
        return folder

    def program_folder(self, local_manifest, program=None):
        """A fresh program folder holding the program and its local manifest."""
        folder = self.fresh_folder("program")
        os.link(program or self.program, os.path.join(folder, "velloran-update"))
        self.write(os.path.join(folder, "info.ini"), local_manifest)
        return folder

    def publish(self, remote_manifest):
        self.write(os.path.join(self.site, "info.ini"), remote_manifest)
        self.remote_manifest = remote_manifest

    def run_program(self, local_manifest, timeout=120, mode=None, program=None):
        """One whole update run: from process start until temp.ini is deleted,
        the last step of the run; the program would wait for a click next."""
        folder = self.program_folder(local_manifest, program)
        os.sync()
        mode = mode or ["--until-deleted", os.path.join(folder, "temp.ini")]
        result = self.measure(mode, [os.path.join(folder, "velloran-update")], cwd=folder, timeout=timeout)
        result["folder"] = folder
        if mode[0] == "--until-deleted":
            with open(os.path.join(folder, "info.ini"), "rb") as f:
                if f.read() != self.remote_manifest:
                    raise SystemExit("bench: the run did not install the new manifest")
        return result

    def run_curl(self, args, timeout=120):
        folder = self.fresh_folder("curl")
        os.sync()
        result = self.measure(["--until-exit"], ["curl", "-sS", "-f"] + args(folder), cwd=folder, timeout=timeout)
        result["folder"] = folder
        return result

    def run_tool(self, kind, command, timeout=120):
        """One run of another download tool in a fresh folder, until it exits."""
        folder = self.fresh_folder(kind)
        os.sync()
        result = self.measure(["--until-exit"], command, cwd=folder, timeout=timeout)
        result["folder"] = folder
        return result

    def url(self, name):
        return "http://127.0.0.1:%d/updates/%s" % (self.port, name)

    def row(self, number, what, program, baseline, figure, target, met):
        """met: True, False, or None for a figure that has no target."""
        self.rows.append((number, what, program, baseline, figure, target,
                          "-" if met is None else "yes" if met else "NO"))

    # ----------------------------------------------------------- measurements

    def large(self):
        say("large file: 512 MiB, %d runs each" % self.runs)
        local = manifest("1.0", [("large.bin", "1.0", "")])
        self.publish(manifest("1.1", [("large.bin", "1.1", "")]))
        size = os.path.getsize(os.path.join(self.site, "large.bin"))
        program, curl, rss = [], [], []
        for i in range(self.runs):
            c = self.run_curl(lambda d: ["-o", os.path.join(d, "large.bin"), self.url("large.bin")])
            curl.append(c["wall"])
            self.drop_fetched(c["folder"], "large.bin", size, check=False)
            p = self.run_program(local)
            program.append(p["wall"])
            rss.append(p["rss_kb"])
            # The first run's file is compared byte for byte with the served one.
            self.drop_fetched(p["folder"], "large.bin", size, check=i == 0)
        self.large_rss = rss
        pm, cm = statistics.median(program), statistics.median(curl)
        say("  program %s" % fmt_list(program))
        say("  curl    %s" % fmt_list(curl))
        self.row("1", "512 MiB file, whole run vs curl -o", "%.3f s" % pm, "%.3f s" % cm,
                 "ratio %.2f" % (pm / cm), "ratio <= 1.10", pm / cm <= 1.10)

    def huge(self):
        """One real download past 32 bits: a sparse 3 GiB file behind nginx.
        Once, only when asked for by name: it writes 3 GiB to the disk."""
        size = 3 * GiB
        say("huge file: %d bytes, once" % size)
        with open(os.path.join(self.site, "huge.bin"), "wb") as f:
            f.truncate(size)
        local = manifest("1.0", [("huge.bin", "1.0", "")])
        self.publish(manifest("1.1", [("huge.bin", "1.1", "")]) + b"FileSize1=%d\r\n" % size)
        p = self.run_program(local, timeout=600)
        fetched = os.path.getsize(os.path.join(p["folder"], "huge.bin"))
        self.drop_fetched(p["folder"], "huge.bin", size, check=False)
        os.remove(os.path.join(self.site, "huge.bin"))
        self.row("9", "3 GiB file (sizes past 32 bits), whole run", "%.1f s" % p["wall"], "-",
                 "%d bytes stored" % fetched, "all %d" % size, fetched == size)

    def drop_fetched(self, folder, name, size, check):
        """Checks a fetched large file and deletes it (the disk is not ours)."""
        path = os.path.join(folder, name)
        if os.path.getsize(path) != size:
            raise SystemExit("bench: %s has %d bytes, not %d" % (path, os.path.getsize(path), size))
        if check and subprocess.run(["cmp", "-s", path, os.path.join(self.site, name)]).returncode != 0:
            raise SystemExit("bench: %s differs from the served file" % path)
        os.remove(path)

    def small(self):
        say("small files: %d x %d bytes, %d runs each" % (SMALL_FILES, SMALL_SIZE, self.runs))
        names = ["s%04d.dat" % i for i in range(1, SMALL_FILES + 1)]
        local = manifest("1.0", [])
        self.publish(manifest("1.1", [(n, "1.1", "data") for n in names]))
        # curl gets the same requests in the same order as the program: the
        # news, the manifest, every file, the manifest again.
        config = os.path.join(self.work, "small-curl.cfg")
        with open(config, "w") as f:
            f.write('url = "%s"\noutput = "news.txt"\n' % self.url("/news.txt"))
            f.write('url = "%s"\noutput = "temp.ini"\n' % self.url("info.ini"))
            for n in names:
                f.write('url = "%s"\noutput = "data/%s"\n' % (self.url(n), n))
            f.write('url = "%s"\noutput = "info.ini"\n' % self.url("info.ini"))
        program, curl, connections = [], [], []
        for _ in range(self.runs):
            c = self.run_curl(lambda d: ["--create-dirs", "-K", config])
            if len(os.listdir(os.path.join(c["folder"], "data"))) != SMALL_FILES:
                raise SystemExit("bench: curl did not fetch every file")
            curl.append(c["wall"])
            log_start = os.path.getsize(self.nginx_log)
            p = self.run_program(local)
            if len(os.listdir(os.path.join(p["folder"], "data"))) != SMALL_FILES:
                raise SystemExit("bench: the program did not fetch every file")
            program.append(p["wall"])
            connections.append(self.connections_since(log_start, SMALL_FILES + 3))
        pm, cm = statistics.median(program), statistics.median(curl)
        say("  program %s" % fmt_list(program))
        say("  curl    %s" % fmt_list(curl))
        # Files go side by side on up to 8 connections (7 files ahead), the
        # news and manifests on one more; each is kept for many requests.
        reused = all(c <= 9 for c in connections)
        self.row("2", "%d files of 4 KiB vs one curl, connections reused" % SMALL_FILES, "%.3f s" % pm,
                 "%.3f s" % cm, "ratio %.2f, %s connection(s) for %d requests"
                 % (pm / cm, max(connections), SMALL_FILES + 3),
                 "ratio <= 1.50, <= 9 connections", pm / cm <= 1.5 and reused)

    def connections_since(self, offset, expected_requests, agent='"Velloran Update"'):
        """Distinct connections of the requests logged since offset whose
        user agent field holds `agent` (by default, the program's)."""
        for _ in range(50):
            with open(self.nginx_log, "rb") as f:
                f.seek(offset)
                lines = [l for l in f.read().decode().splitlines() if agent in l]
            if len(lines) >= expected_requests:
                break
            time.sleep(0.02)
        if len(lines) != expected_requests:
            raise SystemExit("bench: nginx logged %d requests of %s, not %d" % (len(lines), agent, expected_requests))
        return len({l.split()[0] for l in lines})

    def wan(self):
        """The program over a far link (the relay: 25 ms each way, 100 Mbit/s
        shared) beside aria2c and curl --parallel, each with 8 connections:
        the product build and the one that fetches one file after the other."""
        if not self.wan_port:
            raise SystemExit("bench: the WAN measurement needs --wan-port, the relay port its programs have")
        runs = min(self.runs, 3)
        relay = self.spawn([sys.executable, RELAY, "--target", "127.0.0.1:%d" % self.port, "--port", str(self.wan_port),
                            "--delay-ms", str(WAN_DELAY_MS), "--rate-mbit", str(WAN_RATE_MBIT)],
                           stdout=subprocess.PIPE)
        if not relay.stdout.readline().startswith(b"PORT "):
            raise SystemExit("bench: the relay did not start on port %d" % self.wan_port)
        try:
            self.wan_set("10a", "%d files of 4 KiB" % SMALL_FILES,
                         ["s%04d.dat" % i for i in range(1, SMALL_FILES + 1)], SMALL_SIZE, runs)
            self.wan_set("10b", "%d files of %d MiB" % (WAN_LARGE_FILES, WAN_LARGE_SIZE // MiB),
                         ["w%02d.bin" % i for i in range(1, WAN_LARGE_FILES + 1)], WAN_LARGE_SIZE, runs)
        finally:
            relay.terminate()
            relay.wait(10)
            relay.stdout.close()

    def wan_set(self, number, label, names, size, runs):
        say("WAN, %s: %d ms round trip, %d Mbit/s, %d runs each" % (label, 2 * WAN_DELAY_MS, WAN_RATE_MBIT, runs))
        local = manifest("1.0", [])
        self.publish(manifest("1.1", [(n, "1.1", "data") for n in names]))
        url = lambda name: "http://127.0.0.1:%d/updates/%s" % (self.wan_port, name)
        # Every client gets the program's requests: the news, the manifest,
        # every file, the manifest again.
        fetches = [(url("/news.txt"), "news.txt"), (url("info.ini"), "temp.ini")]
        fetches += [(url(n), "data/" + n) for n in names] + [(url("info.ini"), "info.ini")]
        curl_config = os.path.join(self.work, "wan-%s-curl.cfg" % number)
        with open(curl_config, "w") as f:
            f.writelines('url = "%s"\noutput = "%s"\n' % fetch for fetch in fetches)
        aria2_input = os.path.join(self.work, "wan-%s-aria2.txt" % number)
        with open(aria2_input, "w") as f:
            f.writelines("%s\n  out=%s\n" % fetch for fetch in fetches)
        clients = {
            "aria2c": (lambda: self.run_tool("aria2c", [
                "aria2c", "-q", "-i", aria2_input, "-j", str(WAN_CONNECTIONS), "-x", "1", "-s", "1",
                "--file-allocation=none", "--allow-overwrite=true", "--auto-file-renaming=false",
                "--conditional-get=false", "--continue=false", "--remote-time=false"], timeout=900), "aria2/"),
            "curl": (lambda: self.run_tool("curl", [
                "curl", "-sS", "-f", "--no-progress-meter", "--parallel", "--parallel-max", str(WAN_CONNECTIONS),
                "--create-dirs", "-K", curl_config], timeout=900), "curl/"),
            "program": (lambda: self.run_program(local, timeout=900, program=self.wan_program), "Velloran Update"),
            "one at a time": (lambda: self.run_program(local, timeout=900, program=self.wan_serial_program),
                              "Velloran Update"),
        }
        walls = {name: [] for name in clients}
        connections = {name: 0 for name in clients}
        for i in range(runs):
            for name, (run, agent) in clients.items():
                log_start = os.path.getsize(self.nginx_log)
                r = run()
                walls[name].append(r["wall"])
                connections[name] = max(connections[name],
                                        self.connections_since(log_start, len(fetches), '"%s' % agent))
                folder = os.path.join(r["folder"], "data")
                if sorted(os.listdir(folder)) != sorted(names):
                    raise SystemExit("bench: %s did not fetch every file into %s" % (name, folder))
                for n in names:
                    # Large files are checked and deleted at once (the disk is not ours).
                    if size >= MiB:
                        self.drop_fetched(folder, n, size, check=i == 0 and n == names[0])
                    elif os.path.getsize(os.path.join(folder, n)) != size:
                        raise SystemExit("bench: %s fetched %s with the wrong size" % (name, n))
        medians = {name: statistics.median(w) for name, w in walls.items()}
        for name in clients:
            say("  %-14s %s (%d connections)" % (name, fmt_list(walls[name]), connections[name]))
        faster = min(("aria2c", "curl"), key=lambda n: medians[n])
        baseline = "aria2c %.2f s, curl %.2f s" % (medians["aria2c"], medians["curl"])
        for suffix, name, target in (("1", "program", 1.2), ("2", "one at a time", None)):
            ratio = medians[name] / medians[faster]
            self.row(number + suffix, "%s, 50 ms RTT, 100 Mbit/s: %s" % (label, "requests ahead" if target
                                                                           else "one file at a time"),
                     "%.2f s" % medians[name], baseline,
                     "ratio %.2f to %s; %d connection(s)" % (ratio, faster, connections[name]),
                     "ratio <= %.2f" % target if target else "-", ratio <= target if target else None)

    def scale(self):
        results = {}
        for count, runs in ((10000, self.runs), (100000, max(3, self.runs // 2))):
            say("manifest scale: %d entries, nothing to fetch, %d runs" % (count, runs))
            entries = [("f%d.dat" % i, "1.0", "") for i in range(1, count + 1)]
            local = manifest("1.0", entries)
            self.publish(manifest("1.1", entries))
            walls = [self.run_program(local, timeout=60)["wall"] for _ in range(runs)]
            say("  program %s" % fmt_list(walls))
            results[count] = statistics.median(walls)
        self.row("3a", "10,000 entries, nothing to fetch, whole run", "%.3f s" % results[10000], "", "",
                 "< 0.300 s", results[10000] < 0.3)
        growth = results[100000] / results[10000]
        self.row("3b", "100,000 entries, nothing to fetch, whole run", "%.3f s" % results[100000], "",
                 "x%.1f for 10x the entries" % growth, "< 3.000 s, linear", results[100000] < 3.0)

    def memory(self):
        figures = {}
        for name, size in (("large.bin", 512), ("mid.bin", 64)):
            if name == "large.bin" and hasattr(self, "large_rss"):
                figures[size] = self.large_rss  # already seen in every run of measurement 1
                continue
            say("memory: %d MiB file, %d runs" % (size, self.runs))
            local = manifest("1.0", [(name, "1.0", "")])
            self.publish(manifest("1.1", [(name, "1.1", "")]))
            figures[size] = []
            for _ in range(self.runs):
                p = self.run_program(local)
                figures[size].append(p["rss_kb"])
                self.drop_fetched(p["folder"], name, size * MiB, check=False)
        # What the libraries alone take: a program that only starts libcurl
        # and shows an FLTK window with one label (bench/floor.cpp).
        floor = statistics.median(
            self.measure(["--until-exit"], [self.floor_program])["rss_kb"] for _ in range(3))
        say("  peak KiB, 512 MiB: %s; 64 MiB: %s; libraries alone: %d"
            % (figures[512], figures[64], floor))
        self.notes.append("Peak resident memory counts every page of the shared libraries the process "
                          "touched. A program that only starts libcurl and shows one FLTK window with a "
                          "label (bench/floor.cpp) peaks at %.1f MiB on this machine." % (floor / 1024))
        growth = max(figures[512]) - max(figures[64])
        for number, size in (("4a", 512), ("4b", 64)):
            peak = max(figures[size])
            figure = "libraries alone %.1f MiB" % (floor / 1024)
            if size == 512:
                figure += "; %+d KiB against the 64 MiB file" % growth
            self.row(number, "peak resident memory, %d MiB file (highest run)" % size,
                     "%.1f MiB" % (peak / 1024), "", figure, "< 16 MiB", peak < 16 * 1024)

    def stall(self):
        runs = 3
        say("stall: the server waits 10 s before the body, %d runs" % runs)
        local = manifest("1.0", [("stall.bin", "1.0", "")])
        self.publish(manifest("1.1", [("stall.bin", "1.1", "")]))
        cpu, walls = [], []
        for _ in range(runs):
            r = self.run_program(local, timeout=60)
            if r["wall"] < 10:
                raise SystemExit("bench: the run did not wait for the stalled body")
            cpu.append(r["user"] + r["sys"])
            walls.append(r["wall"])
        say("  CPU %s, wall %s" % (fmt_list(cpu), fmt_list(walls)))
        c = statistics.median(cpu)
        self.row("5", "CPU time of a whole run with a 10 s stall", "%.2f s CPU" % c, "",
                 "over %.1f s" % statistics.median(walls), "< 0.20 s", c < 0.2)

    def startup(self):
        runs = max(10, self.runs * 2)
        say("start-up: process start to the window shown, %d runs" % runs)
        local = manifest("1.0", [])
        self.publish(manifest("1.0", []))
        maps, paints = [], []
        for _ in range(runs):
            r = self.run_program(local, timeout=30, mode=["--until-painted", PAINT_PROBE])
            maps.append(r["map"])
            paints.append(r["paint"])
        say("  mapped  %s" % fmt_list(maps))
        say("  painted %s" % fmt_list(paints))
        p = statistics.median(paints)
        self.row("6", "process start to the window shown (painted)", "%.0f ms" % (p * 1000), "",
                 "mapped at %.0f ms" % (statistics.median(maps) * 1000), "< 150 ms", p < 0.15)

    def engine(self):
        say("in-process (Google Benchmark)")
        out = subprocess.run([self.engine_bench, "--benchmark_min_time=0.2"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True,
                             env=dict(os.environ, VELLORAN_BENCH_DIR=self.work))
        self.engine_table = out.stdout
        times = {}
        for line in out.stdout.splitlines():
            fields = line.split()
            if fields and fields[0].startswith("Disk/Store4KiB/") and len(fields) >= 3 and fields[2] == "us":
                times[fields[0].split("/")[2]] = float(fields[1])
        if {"durable", "later", "plain"} <= times.keys():
            self.notes.append(
                "Storing a 4 KiB file: %.0f us flushed on its own (temporary file, fdatasync, rename, folder "
                "fsync), %.0f us as the program stores the files of an update (temporary file, rename; one sync "
                "for all before the new info.ini), %.0f us for a plain open/write/close."
                % (times["durable"], times["later"], times["plain"]))

    def make_release_tree(self):
        """10,000 files in 100 folders, 2 GiB in all, of sizes from a few KiB to
        about 420 KiB, each with bytes of its own."""
        tree = os.path.join(self.work, "release")
        block = os.urandom(8 * MiB)
        step = (2 * PUBLISH_BYTES // PUBLISH_FILES) // 100
        sizes = [4096 + (i % 100) * step for i in range(PUBLISH_FILES)]
        sizes[-1] += PUBLISH_BYTES - sum(sizes)
        for i, size in enumerate(sizes):
            folder = os.path.join(tree, "d%02d" % (i % 100))
            os.makedirs(folder, exist_ok=True)
            start = (i * 7919) % (len(block) - size) if size < len(block) else 0
            with open(os.path.join(folder, "f%05d.dat" % i), "wb") as f:
                f.write(i.to_bytes(8, "little") + block[start:start + size - 8])
        return tree

    def publisher(self):
        runs = min(self.runs, 3)
        say("publishing: %d files, %.1f GiB, %d runs each, beside sha256sum" % (PUBLISH_FILES, PUBLISH_BYTES / GiB, runs))
        tree = self.make_release_tree()
        baseline = ["sh", "-c", "find . -type f -print0 | xargs -0 sha256sum > /dev/null"]
        # Both through sh, each summary to /dev/null: the measuring tool owns standard output.
        quiet = ["sh", "-c", 'exec "$0" "$@" > /dev/null']
        first, again, hashed = [], [], []
        for _ in range(runs):
            site = self.fresh_folder("site")
            # A first release: every file hashed and copied, one sync, then info.ini.
            first.append(self.measure(["--until-exit"], quiet + [self.publish_tool, "build", tree, site, "--version", "1.0"],
                                      timeout=600)["wall"])
            hashed.append(self.measure(["--until-exit"], baseline, cwd=tree, timeout=600)["wall"])
            # The next release with nothing changed: every file hashed, none copied.
            again.append(self.measure(["--until-exit"], quiet + [self.publish_tool, "build", tree, site, "--version", "1.1"],
                                      timeout=600)["wall"])
            shutil.rmtree(site)
        say("  first release    %s" % fmt_list(first))
        say("  nothing changed  %s" % fmt_list(again))
        say("  sha256sum        %s" % fmt_list(hashed))
        h = statistics.median(hashed)
        f, a = statistics.median(first), statistics.median(again)
        self.row("7a", "publish 10,000 files (2 GiB): first release", "%.2f s" % f, "%.2f s sha256sum" % h,
                 "ratio %.2f" % (f / h), "ratio <= 1.30", f / h <= 1.30)
        self.row("7b", "publish 10,000 files (2 GiB): nothing changed", "%.2f s" % a, "%.2f s sha256sum" % h,
                 "ratio %.2f" % (a / h), "ratio <= 1.30", a / h <= 1.30)

    # ----------------------------------------------------------------- report

    def report(self):
        headers = ("#", "measurement", "velloran-update", "curl", "figure", "target", "met")
        widths = [max(len(str(r[i])) for r in self.rows + [headers]) for i in range(len(headers))]
        line = lambda cells: "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"
        print()
        print(line(headers))
        print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
        for r in sorted(self.rows, key=lambda r: r[0]):
            print(line(r))
        for note in self.notes:
            print()
            print(note)
        if getattr(self, "engine_table", ""):
            print()
            print("In-process (Google Benchmark, bench/engine_bench.cpp):")
            print()
            for l in self.engine_table.splitlines():
                print("    " + l)

    def run(self):
        try:
            # The publisher needs neither the server nor a display.
            if any(self.wanted(n) for n in ("startup", "stall", "scale", "large", "memory", "small", "wan")) or \
                    self.only is not None and "huge" in self.only:
                self.make_site()
                self.start_nginx()
                self.start_xvfb()
            # Many small files go last: the thousands of files they leave make
            # creating files slower for a while on some file systems.
            for name in ("startup", "stall", "scale", "large", "memory", "small", "wan", "engine", "publisher"):
                if self.wanted(name):
                    getattr(self, name)()
            if self.only is not None and "huge" in self.only:
                self.huge()
            self.report()
        finally:
            self.cleanup()
        return 0 if all(r[6] != "NO" for r in self.rows) else 1


def fmt_list(values):
    return " ".join("%.3f" % v for v in values)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--wan-port", type=int, default=0, help="the relay's port, compiled into the WAN programs")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--only", default="")
    # Not /tmp by default: on a machine where other work creates and deletes
    # many files in /tmp, creating files there can be slow for minutes
    # (ext4 without a journal skips recently freed inodes), which would
    # measure the neighbours rather than the program.
    parser.add_argument("--work", default="/var/tmp", help="folder for the site and the runs")
    args = parser.parse_args()
    args.work = os.path.abspath(args.work)
    return Bench(args).run()


if __name__ == "__main__":
    sys.exit(main())
