#!/usr/bin/env python3
"""Broken downloads of the Windows build under Wine: resumed, tried again.

  network_wine.py --build BUILD_DIR [--port 18474]

crash_driver.exe (the engine over the Windows backends, no window) updates a
program folder from release 1 to release 2 served by the fault server
(tests/integration/fault_server.py), whose answers to data.pak are cut,
refused or ignore ranges as each row says. Each row checks the requests the
server saw for data.pak and the file that ends up in place. Closes with
"N passed, N failed"; exit status 0 when all passed.
"""

import argparse
import os
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
import harness  # noqa: E402

MiB = 1 << 20
ASK = "GET /updates/data.pak"


def body(size, seed):
    block = bytes((seed + i * 7) % 251 for i in range(4096))
    return (block * (size // len(block) + 1))[:size]


def manifest(version):
    return ("[VERSION]\r\nVersion=%s\r\nGameFileName=game.exe\r\nMax=1\r\n[FILES]\r\n"
            "FileName1=data.pak\r\nFileVersion1=%s\r\nFilePath1=\r\n" % (version, version))


def short(n):
    return {"mode": "short", "send": n}


# name, size of data.pak, its answers in the first run, what the second run
# finds (None: no second run; "same"/"changed": the site's file), requests.
ROWS = [
    ("64 MiB cut at 90% asks only for the rest", 64 * MiB, [short(60397977), None], None,
     [ASK, ASK + " bytes=60397977-"]),
    ("a server that ignores the range sends it whole", 4 * MiB, [short(3000000), {"mode": "norange"}], None,
     [ASK, ASK + " bytes=3000000-"]),
    ("503 then the file, without a report", 3000, [{"mode": "status", "status": 503, "body": "busy"}, None], None,
     [ASK, ASK]),
    ("cut on every try: the next run goes on", 8 * MiB, [short(MiB)] * 4, "same",
     [ASK] + [ASK + " bytes=%d-" % (n * MiB) for n in range(1, 5)]),
    ("changed on the site between runs: fetched whole", 8 * MiB, [short(MiB)] * 4, "changed",
     [ASK] + [ASK + " bytes=%d-" % (n * MiB) for n in range(1, 5)]),
]


def run_driver(driver, folder, address):
    p = subprocess.run(["wine", driver, subprocess.check_output(["winepath", "-w", folder], text=True).strip(),
                        address], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=300)
    return p.returncode, p.stdout


def write_tree(root, files):
    """harness.write_tree, taking bytes as they are."""
    for rel, content in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content if isinstance(content, bytes) else content.encode("utf-8"))


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def leftovers(folder):
    return [n for n in os.listdir(folder) if n.startswith("~velloran-")]


def check_row(driver, work, port, row):
    name, size, answers, second, wanted = row
    site = os.path.join(work, "site")
    folder = os.path.join(work, "program")
    data = body(size, 1)
    write_tree(site, {"updates/news.txt": "news", "updates/info.ini": manifest("2"),
                              "updates/data.pak": data})
    write_tree(folder, {"info.ini": manifest("1"), "data.pak": "old data"})
    problems = []
    with harness.FaultServer(site, port, work) as server:
        server.faults({"/updates/data.pak": {"mode": "sequence", "faults": answers}})
        address = "127.0.0.1:%d/updates" % port
        code, out = run_driver(driver, folder, address)
        if second:
            if code != 3:
                problems.append("first run: exit %s, expected the failure report: %s" % (code, out.strip()[-200:]))
            if read(os.path.join(folder, "data.pak")) != b"old data":
                problems.append("first run: data.pak is not the old file")
            if second == "changed":
                data = body(size + 1, 2)
                write_tree(site, {"updates/data.pak": data})
            server.faults({"/updates/data.pak": {"mode": "sequence", "faults": [None]}})
            code, out = run_driver(driver, folder, address)
        if code != 0:
            problems.append("exit %s: %s" % (code, out.strip()[-300:]))
        asked = [r for r in server.requests() if r.startswith(ASK)]
        if asked != wanted:
            problems.append("data.pak was asked for as %r, expected %r" % (asked, wanted))
    if read(os.path.join(folder, "data.pak")) != data:
        problems.append("data.pak is not the site's file")
    problems += ["left behind %s" % n for n in leftovers(folder)]
    return problems


def killed_then_resumed(driver, work, port):
    """A run killed mid-download (as Exit ends it); the next run asks only
    for what did not reach the disk."""
    site = os.path.join(work, "site")
    folder = os.path.join(work, "program")
    data = body(8 * MiB, 3)
    write_tree(site, {"updates/news.txt": "news", "updates/info.ini": manifest("2"),
                              "updates/data.pak": data})
    write_tree(folder, {"info.ini": manifest("1"), "data.pak": "old data"})
    problems = []
    with harness.FaultServer(site, port, work) as server:
        server.faults({"/updates/data.pak": {"mode": "slow", "chunk": 65536, "interval": 0.02}})
        address = "127.0.0.1:%d/updates" % port
        p = subprocess.Popen(["wine", driver, subprocess.check_output(["winepath", "-w", folder], text=True).strip(),
                              address], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        harness.wait_until(lambda: ASK in server.requests(), 30, "the data.pak request")
        time.sleep(1.0)
        os.killpg(p.pid, signal.SIGKILL)
        p.wait()
        if read(os.path.join(folder, "data.pak")) != b"old data":
            problems.append("data.pak changed before its download ended")
        server.faults({})
        code, out = run_driver(driver, folder, address)
        if code != 0:
            problems.append("rerun: exit %s: %s" % (code, out.strip()[-300:]))
        asked = [r for r in server.requests() if r.startswith(ASK)]
        kept = int(asked[-1].split("bytes=")[1].rstrip("-")) if len(asked) == 2 and "bytes=" in asked[-1] else 0
        if not 0 < kept < len(data):
            problems.append("the rerun did not go on where the killed run stopped: %r" % asked)
    if read(os.path.join(folder, "data.pak")) != data:
        problems.append("data.pak is not the site's file")
    problems += ["left behind %s" % n for n in leftovers(folder)]
    return problems


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", required=True)
    ap.add_argument("--port", type=int, default=18474)
    args = ap.parse_args()
    driver = os.path.join(os.path.abspath(args.build), "tests", "windows", "crash_driver.exe")
    checks = [(row[0], lambda work, row=row: check_row(driver, work, args.port, row)) for row in ROWS]
    checks.append(("killed mid-download, the next run goes on",
                   lambda work: killed_then_resumed(driver, work, args.port)))
    passed = failed = 0
    for name, check in checks:
        started = time.monotonic()
        with tempfile.TemporaryDirectory(prefix="velloran-network-wine-") as work:
            try:
                problems = check(work)
            except harness.HarnessError as e:
                problems = [str(e)]
        print("%s %s (%.1f s)" % ("FAIL" if problems else "PASS", name, time.monotonic() - started))
        for p in problems:
            print("  " + p)
        passed, failed = passed + (not problems), failed + bool(problems)
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
