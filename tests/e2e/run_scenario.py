#!/usr/bin/env python3
"""Runs one end-to-end scenario (tests/e2e/scenarios/*.json) against a trace
build of velloran-update and compares the whole trace, the requests the
update site saw and the program folder afterwards.

  run_scenario.py SCENARIO.json --program-with-address EXE --program-without-address EXE
                  [--runner "wine"] [--port 18461] [--timeout-scale 1]

EXE with address: built with 127.0.0.1:PORT/updates; without: built with the
empty address. The scenario's "address" ("site" or "none") picks one. The
executable is copied into a fresh program folder and started there under a
private Xvfb; RUNNER (split at blanks) goes in front of it. When the trace
has reached the line before the scenario's end, the driver clicks the end
control ("end", e.g. Label1) and waits for the process to end.

Scenario keys: description, address, site {path: content}, program {path:
content}, end, trace [lines "name<TAB>argument", arguments escaped as the
trace writes them], requests [paths in order] (optional), files_after {path:
content or null for absent} (optional). Content: a text, or {"fill": TEXT,
"size": N}.

Exit status 0 when everything matches; otherwise 1 with the differences.
"""

import argparse
import difflib
import os
import shlex
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402


def compare_files(folder, expected):
    problems = []
    for rel, content in expected.items():
        path = os.path.join(folder, rel)
        if content is None:
            if os.path.exists(path):
                problems.append("%s should not exist" % rel)
            continue
        if not os.path.isfile(path):
            problems.append("%s is missing" % rel)
            continue
        with open(path, "rb") as f:
            actual = f.read()
        want = harness.file_bytes(content)
        if actual != want:
            problems.append("%s holds %d bytes %r..., expected %d bytes %r..."
                            % (rel, len(actual), actual[:40], len(want), want[:40]))
    return problems


def run(scenario, program, runner, port, scale):
    work = harness.temp_dir("velloran-e2e-")
    site = os.path.join(work, "site")
    folder = os.path.join(work, "program folder")
    os.makedirs(site)
    harness.write_tree(site, scenario.get("site", {}))
    os.makedirs(folder)
    harness.write_tree(folder, scenario.get("program", {}))

    expected = scenario["trace"]
    end = scenario["end"]
    # The lines the end click itself writes.
    end_lines = 1
    problems = []
    with harness.XServer() as x:
        server = harness.Nginx(site, port, work) if scenario["address"] == "site" else None
        if server:
            server.__enter__()
        try:
            with harness.Program(program, folder, x, runner, timeout_scale=scale) as p:
                before_end = expected[:-end_lines]
                harness.wait_until(lambda: len(p.trace()) >= len(before_end) or not p.running(),
                                   60 * scale, "%d trace lines" % len(before_end))
                # Anything the run would still write shows up in this pause.
                time.sleep(0.5)
                if p.running():
                    p.click(end)
                    try:
                        p.wait_exit(15)
                    except harness.HarnessError as e:
                        problems.append(str(e))
                else:
                    problems.append("the program ended by itself (status %s)" % p.proc.returncode)
                trace = p.trace()
                if trace != expected:
                    diff = difflib.unified_diff(expected, trace, "expected trace", "actual trace", lineterm="")
                    problems.append("trace differs:\n" + "\n".join(diff))
                other = p.other_lines()
        finally:
            if server:
                server.__exit__(None, None, None)
        if server and "requests" in scenario:
            seen = [line.split(" ")[1] if " " in line else line for line in server.requests()]
            # The files between the two manifests are fetched side by side
            # and may reach the server's log in any order.
            def in_order(requests):
                return requests[:2] + sorted(requests[2:-1]) + requests[-1:] if len(requests) > 3 else requests
            if in_order(seen) != in_order(scenario["requests"]):
                problems.append("requests %r, expected %r" % (seen, scenario["requests"]))
    problems += compare_files(folder, scenario.get("files_after", {}))
    if problems and other:
        problems.append("other output of the program:\n" + "\n".join(other[-30:]))
    return problems, work


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("scenario")
    ap.add_argument("--program-with-address", required=True)
    ap.add_argument("--program-without-address", required=True)
    ap.add_argument("--runner", default="")
    ap.add_argument("--port", type=int, default=18461)
    ap.add_argument("--timeout-scale", type=float, default=1.0)
    args = ap.parse_args()

    scenario = harness.load_scenario(args.scenario)
    program = args.program_with_address if scenario["address"] == "site" else args.program_without_address
    problems, work = run(scenario, os.path.abspath(program), shlex.split(args.runner), args.port,
                         args.timeout_scale)
    name = os.path.basename(args.scenario)
    if problems:
        print("FAIL %s (files in %s)" % (name, work))
        for problem in problems:
            print("  " + problem.replace("\n", "\n  "))
        return 1
    print("PASS %s" % name)
    harness.shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
