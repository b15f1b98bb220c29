#!/usr/bin/env python3
"""Screenshots of both builds side by side, and where their texts lie.

  screenshots.py --linux EXE --windows EXE.exe --mini-wm MINI_WM [--out DIR]
                 [--linux-port 18461] [--windows-port 18471]

EXE: a Linux trace build whose compiled-in address is 127.0.0.1:LINUX_PORT/
updates (tests/gui's velloran-update-gui); EXE.exe: the Windows one for
WINDOWS_PORT (tests/windows' velloran-update-test.exe), run with "wine" in
the prefix WINEPREFIX names (tests/windows/run.sh makes it). Each build runs
the demo's update (demo/site's news) at 96 and at 192 dots per inch: Linux
through the X resource Xft.dpi, Wine through the prefix's LogPixels, which is
set back to 96 afterwards. Writes screenshot-{linux,windows}[-2x].png (the
client area only) to DIR (default: docs/) and prints, for each build and
scale, the ink box (x0, y0, x1, y1) of the main status, the percentage and
the news's first line, then how many pixels differ between the builds.
"""

import argparse
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import harness  # noqa: E402
import window_look as look  # noqa: E402

WIDTH, HEIGHT = 386, 354


def manifest(version):
    return harness.manifest(version, [("data.pak", version)], "velloran-game")


def shoot(exe, port, scale, mini_wm, path):
    wine = exe.endswith(".exe")
    work = harness.temp_dir("velloran-shots-")
    site, folder = os.path.join(work, "site"), os.path.join(work, "Velloran Game")
    with open(os.path.join(ROOT, "demo", "site", "updates", "news.txt"), encoding="utf-8") as f:
        news = f.read()
    harness.write_tree(site, {"updates/info.ini": manifest("1.1"), "updates/news.txt": news,
                              "updates/data.pak": "new data"})
    harness.write_tree(folder, {"info.ini": manifest("1.0")})
    try:
        if wine:
            look.set_log_pixels(96 * scale)
        # The window manager keeps a client connected, so Xvfb keeps the
        # resources set on its root window.
        with harness.XServer(mini_wm=mini_wm) as x, harness.Nginx(site, port, work):
            if not wine and scale != 1:
                subprocess.run(["xprop", "-root", "-f", "RESOURCE_MANAGER", "8s", "-set", "RESOURCE_MANAGER",
                                "Xft.dpi:\t%d\n" % (96 * scale)], env=x.env(), check=True)
            with harness.Program(exe, folder, x, ["wine"] if wine else [], timeout_scale=3) as p:
                p.wait_trace("L2\tUpdated from Version 1.1!", 60)
                time.sleep(1.5)
                window = p.main_window()
                raw = os.path.join(work, "raw.png")
                x.screenshot(window, raw)
                _, _, w, h = x.window_geometry(window)
                border = max(0, (w - WIDTH * scale) // 2)
                top = max(0, h - HEIGHT * scale - border)
                subprocess.run(["convert", raw, "-crop", "%dx%d+%d+%d" % (WIDTH * scale, HEIGHT * scale, border, top),
                                "+repage", "-strip", path], check=True)
                faces = [line for line in p.other_lines() if line.startswith("font\t")]
    finally:
        if wine:
            look.set_log_pixels(96)
        shutil.rmtree(work, ignore_errors=True)
    return faces


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--linux", required=True)
    ap.add_argument("--windows", required=True)
    ap.add_argument("--mini-wm", required=True)
    ap.add_argument("--out", default=os.path.join(ROOT, "docs"))
    ap.add_argument("--linux-port", type=int, default=18461)
    ap.add_argument("--windows-port", type=int, default=18471)
    args = ap.parse_args()
    shots = {}
    for scale in (1, 2):
        for build, exe, port in (("linux", args.linux, args.linux_port), ("windows", args.windows, args.windows_port)):
            path = os.path.join(args.out, "screenshot-%s%s.png" % (build, "" if scale == 1 else "-%dx" % scale))
            faces = shoot(os.path.abspath(exe), port, scale, os.path.abspath(args.mini_wm), path)
            shot = look.Shot(path, scale=scale)
            shots[build, scale] = shot
            print("%-7s %dx  %s  L2 %s  Label4 %s  news line 1 %s  (%s)" % (
                build, scale, "%dx%d" % (shot.width, shot.height), shot.ink(look.L2), shot.ink(look.LABEL4),
                shot.ink((8, 49, 340, 16)), ", ".join(faces)))
    for scale in (1, 2):
        a, b = shots["linux", scale], shots["windows", scale]
        differ = sum(1 for i in range(0, len(a.data), 3) if a.data[i:i + 3] != b.data[i:i + 3])
        print("%dx: %d of %d pixels differ between the builds" % (scale, differ, a.width * a.height))


if __name__ == "__main__":
    main()
