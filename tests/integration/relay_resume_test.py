#!/usr/bin/env python3
"""Downloads over a link that drops: the engine (crash_driver, the real
libcurl and POSIX backends) updates a folder through relay.py (25 ms each
way, 100 Mbit/s) in front of fault_server.py, whose log shows each range
asked for. The link resets connections after some bytes; the update must
finish with the right file, each new try asking only for the rest.

  relay_resume_test.py --driver CRASH_DRIVER --relay RELAY --server FAULT_SERVER
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

MiB = 1 << 20


def start(argv, work, name):
    out = open(os.path.join(work, name + ".out"), "w+")
    p = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT)
    for _ in range(100):
        out.seek(0)
        for line in out.read().splitlines():
            if line.startswith("PORT "):
                return p, int(line.split()[1])
        time.sleep(0.05)
    p.kill()
    raise SystemExit("%s did not start" % name)


def manifest(version):
    return ("[VERSION]\r\nVersion=%s\r\nGameFileName=game.exe\r\nMax=1\r\n[FILES]\r\n"
            "FileName1=data.pak\r\nFileVersion1=%s\r\nFilePath1=\r\n" % (version, version))


def write(root, rel, data):
    path = os.path.join(root, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


# name, size of data.pak, relay options, least and most requests of data.pak
ROWS = [
    ("the first connections drop after 2 MB", 4 * MiB, ["--drop-after", "2000000", "--drop-count", "2"], 2, 3),
    ("every connection drops after 1.5 MB", 4 * MiB, ["--drop-after", "1500000"], 3, 4),
]


def run_row(args, row):
    name, size, relay_options, least, most = row
    with tempfile.TemporaryDirectory(prefix="velloran-relay-resume-") as work:
        root, folder = os.path.join(work, "site"), os.path.join(work, "program")
        data = bytes((i * 7 + i // 4096) % 251 for i in range(size))
        write(root, "updates/news.txt", "news")
        write(root, "updates/info.ini", manifest("2"))
        write(root, "updates/data.pak", data)
        write(folder, "info.ini", manifest("1"))
        write(folder, "data.pak", "old data")
        faults, log = os.path.join(work, "faults.json"), os.path.join(work, "requests.log")
        with open(faults, "w") as f:
            json.dump({}, f)
        server, server_port = start([sys.executable, args.server, "--root", root, "--faults", faults, "--log", log,
                                     "--port", "0"], work, "server")
        relay = None
        try:
            relay, relay_port = start([sys.executable, args.relay, "--target", "127.0.0.1:%d" % server_port,
                                       "--delay-ms", "25", "--rate-mbit", "100"] + relay_options, work, "relay")
            run = subprocess.run([args.driver, folder, "127.0.0.1:%d/updates" % relay_port],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=120)
            with open(log) as f:
                asked = [line.strip() for line in f if line.startswith("GET /updates/data.pak")]
        finally:
            for p in (relay, server):
                if p:
                    p.kill()
                    p.wait()
        problems = []
        if run.returncode != 0:
            problems.append("exit %d: %s" % (run.returncode, run.stdout.strip()[-300:]))
        with open(os.path.join(folder, "data.pak"), "rb") as f:
            if f.read() != data:
                problems.append("data.pak is not the site's file")
        if not least <= len(asked) <= most:
            problems.append("data.pak asked for %d times: %r" % (len(asked), asked))
        # Each try after the first asks for the rest, further on each time.
        offsets = [int(a.split("bytes=")[1].rstrip("-")) if "bytes=" in a else 0 for a in asked]
        if asked and (offsets[0] != 0 or any(b <= a for a, b in zip(offsets, offsets[1:]))):
            problems.append("the tries did not go on where the last stopped: %r" % asked)
        left = [n for n in os.listdir(folder) if n.startswith("~velloran-")]
        if left:
            problems.append("left behind %r" % left)
        return problems


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--driver", required=True)
    ap.add_argument("--relay", required=True)
    ap.add_argument("--server", required=True)
    args = ap.parse_args()
    failed = 0
    for row in ROWS:
        problems = run_row(args, row)
        print("%s %s" % ("FAIL" if problems else "PASS", row[0]))
        for p in problems:
            print("  " + p)
        failed += bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
