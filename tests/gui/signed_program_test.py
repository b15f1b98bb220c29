#!/usr/bin/env python3
"""The real program built with two publisher keys (VELLORAN_PUBLIC_KEYS)
against nginx: a manifest signed by either key updates the folder; one
without a signature, signed by a stranger or past its Expires is refused,
the failure report shows why, and the program folder stays byte for byte.

  signed_program_test.py --program EXE --keys FOLDER --port PORT [--runner wine] [--timeout-scale N]

FOLDER holds publisher.pem and next.pem, whose public keys EXE was built with.
RUNNER (split at blanks) goes in front of EXE: the Windows build runs under
Wine with "wine". There the failure report is left open (the process is
ended after the check); on Linux it is closed and the process must end.
"""

import argparse
import hashlib
import os
import shlex
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402

DATA = b"new data " * 300
NOT_SIGNED = "The update information is not signed by the publisher"


def release(version, serial, expires):
    text = harness.manifest(version, [("a.dat", version)], game="game.sh")
    head, files = text.split("[FILES]\r\n")
    return (head + "Serial=%s\r\nExpires=%s\r\n[FILES]\r\n" % (serial, expires) + files +
            "FileSize1=%d\r\nFileHash1=%s\r\n" % (len(DATA), hashlib.sha256(DATA).hexdigest()))


def sign(key, path):
    subprocess.run(["openssl", "dgst", "-sha256", "-sign", key, "-out", path + ".sig", path], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def snapshot(folder):
    files = {}
    for root, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                files[os.path.relpath(path, folder)] = f.read()
    return files


def run_case(args, work, what, key, manifest, outcome):
    case = os.path.join(work, what.replace(" ", "-"))
    site, folder = os.path.join(case, "site"), os.path.join(case, "program")
    installed = release("1", "5", "2099-01-01T00:00:00Z")
    harness.write_tree(site, {"updates/news.txt": "News.", "updates/info.ini": manifest, "updates/a.dat": ""})
    with open(os.path.join(site, "updates", "a.dat"), "wb") as f:
        f.write(DATA)
    if key:
        sign(key, os.path.join(site, "updates", "info.ini"))
    harness.write_tree(folder, {"info.ini": installed, "a.dat": "old data"})
    problems = []
    with harness.XServer() as x, harness.Nginx(site, args.port, case):
        with harness.Program(args.program, folder, x, shlex.split(args.runner), timeout_scale=args.timeout_scale) as p:
            before = {k: v for k, v in snapshot(folder).items() if k != os.path.basename(args.program)}
            if outcome is None:
                p.wait_trace("L2\tUpdated from Version 2!")
                with open(os.path.join(folder, "a.dat"), "rb") as f:
                    if f.read() != DATA:
                        problems.append("a.dat was not updated")
                with open(os.path.join(folder, "info.ini"), "rb") as f:
                    if f.read() != manifest.encode():
                        problems.append("info.ini is not the signed manifest")
                return problems
            failures = harness.wait_until(lambda: [t for t in p.trace() if t.startswith("failure\t")],
                                          30 * args.timeout_scale, "the failure")
            if outcome not in failures[0]:
                problems.append("failure %r does not say %r" % (failures[0], outcome))
            if args.runner:
                time.sleep(0.5)
            else:
                p.message_box()
                p.close_message_box()
                p.wait_exit(5)
    after = {k: v for k, v in snapshot(folder).items() if k != os.path.basename(args.program)}
    if after != before:
        problems.append("the program folder changed: %r" % sorted(set(after.items()) ^ set(before.items())))
    return problems


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--program", required=True)
    ap.add_argument("--keys", required=True)
    ap.add_argument("--port", type=int, default=18461)
    ap.add_argument("--runner", default="")
    ap.add_argument("--timeout-scale", type=float, default=1.0)
    args = ap.parse_args()
    args.program = os.path.abspath(args.program)
    work = harness.temp_dir("velloran-signed-")
    stranger = os.path.join(work, "stranger.pem")
    subprocess.run(["openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out",
                    stranger], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    current = release("2", "6", "2099-01-01T00:00:00Z")
    publisher, following = os.path.join(args.keys, "publisher.pem"), os.path.join(args.keys, "next.pem")
    cases = [
        ("signed by the publisher", publisher, current, None),
        ("signed by the second key", following, current, None),
        ("no signature", None, current, NOT_SIGNED),
        ("signed by a stranger", stranger, current, NOT_SIGNED),
        ("expired", publisher, release("2", "6", "2021-01-01T00:00:00Z"), "expired at 2021-01-01T00:00:00Z"),
        ("a lower Serial", publisher, release("2", "4", "2099-01-01T00:00:00Z"), "is older (Serial 4)"),
    ]
    failed = 0
    for what, key, manifest, outcome in cases:
        try:
            problems = run_case(args, work, what, key, manifest, outcome)
        except harness.HarnessError as e:
            problems = [str(e)]
        print("%s %s" % ("FAIL" if problems else "PASS", what))
        for problem in problems:
            print("  " + problem)
        failed += bool(problems)
        time.sleep(0.2)
    if not failed:
        harness.shutil.rmtree(work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
