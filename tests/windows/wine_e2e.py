#!/usr/bin/env python3
"""End-to-end runs of the Windows build under Wine.

  wine_e2e.py --build BUILD_DIR --mini-wm MINI_WM [--port 18471] [--timeout-scale 2]

Runs every shared scenario of tests/e2e/scenarios with tests/e2e's driver,
the program started as "wine velloran-update-test.exe", then the runs that
only Windows has: launching the served program (tests/windows/marker.exe under
the manifest's GameFileName) from a program folder whose path holds a blank,
the message box of a missing served program, the update of the program's
own executable, minimising during a download (MINI_WM: tests/gui's
mini_wm from the Linux test build, which iconifies on request), and the
window's looks, held to the same checks as the Linux build's
(tests/gui/window_look.py): the face Wine gives it, status texts on their
line inside the bars, a wrapped status cut to one line, the skinned news bar
following every way of scrolling, twice the size at 192 dots per inch (the
prefix's LogPixels, set back afterwards), and a failure box that fits the
screen however long its text.

Wine draws the frame of the tool window inside its X window, so a click on a
control lands at the control's client point moved by the frame; the harness's
click is adjusted here for that. Prints PASS/FAIL per run and closes with
"N passed, N failed"; exit status 0 when all passed. WINEPREFIX and friends
come from the environment (tests/windows/run.sh sets them).
"""

import argparse
import glob
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
E2E = os.path.join(os.path.dirname(HERE), "e2e")
sys.path.insert(0, E2E)
import harness  # noqa: E402
import run_scenario  # noqa: E402
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "gui"))
import window_look as look  # noqa: E402

CLIENT_WIDTH, CLIENT_HEIGHT = 386, 354


def client_origin(xserver, window, scale=1):
    """Where the client area starts inside the window's X window: a frame of
    equal width on the left, right and bottom, the title bar on top. (0, 0)
    where the window manager draws the frame outside."""
    _, _, width, height = xserver.window_geometry(window)
    border = max(0, (width - CLIENT_WIDTH * scale) // 2)
    return border, max(0, height - CLIENT_HEIGHT * scale - border)


def click_client(self, control):
    x, y = harness.CLICK[control]
    window = self.main_window()
    dx, dy = client_origin(self.xserver, window)
    self.xserver.click(window, x + dx, y + dy)


harness.Program.click = click_client


class Failed(Exception):
    pass


def check(condition, text):
    if not condition:
        raise Failed(text)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def winpath(path):
    """The Windows path under Wine of a host path (drive Z: is the root)."""
    return "Z:" + path.replace("/", "\\")


def manifest(version, game, entries=()):
    return harness.manifest(version, entries, game)


class Context:
    def __init__(self, build, port, scale):
        self.build = build
        self.port = port
        self.scale = scale
        self.program = os.path.join(build, "tests", "windows", "velloran-update-test.exe")
        self.no_address = os.path.join(build, "tests", "windows", "velloran-update-noaddress-test.exe")
        self.marker = os.path.join(build, "tests", "windows", "marker.exe")
        self.mini_wm = None

    def folders(self, label):
        work = harness.temp_dir("velloran-wine-%s-" % label)
        site = os.path.join(work, "site")
        folder = os.path.join(work, "program folder")
        os.makedirs(os.path.join(site, "updates"))
        os.makedirs(folder)
        return work, site, folder


def wait_record(path, scale):
    """The three lines marker.exe writes: command line, show state, folder."""
    def lines():
        try:
            text = read(path).decode("utf-8")
        except FileNotFoundError:
            return None
        parts = text.split("\r\n")
        return parts[:3] if len(parts) == 4 else None
    return harness.wait_until(lines, 20 * scale, path)


def launch_from_folder_with_blank(ctx):
    """Continue starts the served program by its unquoted path, whose folder
    holds a blank, with a normal window and the inherited current folder;
    then the update client ends. A program named like the path's first word
    is never run."""
    work, site, folder = ctx.folders("launch")
    with open(os.path.join(site, "updates", "info.ini"), "w", newline="") as f:
        f.write(manifest("2.0", "game.exe"))
    with open(os.path.join(site, "updates", "news.txt"), "w") as f:
        f.write("news")
    with open(os.path.join(folder, "info.ini"), "w", newline="") as f:
        f.write(manifest("2.0", "game.exe"))
    shutil.copy(ctx.marker, os.path.join(folder, "game.exe"))
    # "...\program folder\game.exe" read as a command line would run
    # "...\program.exe" first.
    shutil.copy(ctx.marker, os.path.join(work, "program.exe"))
    with harness.XServer() as x, harness.Nginx(site, ctx.port, work):
        with harness.Program(ctx.program, folder, x, ["wine"], cwd=work, timeout_scale=ctx.scale) as p:
            p.wait_trace("lblConnect\t1", 60)
            p.click("lblConnect")
            status = p.wait_exit(30)
            trace = p.trace()
    path = winpath(os.path.join(folder, "game.exe"))
    check(trace[-1] == "launch\t" + harness_escape(path), "last trace line %r" % trace[-1:])
    check(status == 0, "exit status %s" % status)
    record = wait_record(os.path.join(folder, "game.exe.started"), ctx.scale)
    check(record[0] == path, "command line %r, expected %r" % (record[0], path))
    check(record[1] == "1", "show state %r, expected 1 (SW_SHOWNORMAL)" % record[1])
    check(record[2].rstrip("\\").lower() == winpath(work).lower(), "current folder %r" % record[2])
    check(not os.path.exists(os.path.join(work, "program.exe.started")), "the decoy program.exe ran")
    return work


def harness_escape(text):
    return text.replace("\\", "\\\\").replace("\t", "\\t").replace("\r", "\\r").replace("\n", "\\n")


def missing_game_message_box(ctx):
    """With the served program absent, Continue shows the message box; after
    OK the window stays and a second click shows it again; Exit ends."""
    work, site, folder = ctx.folders("missing")
    with open(os.path.join(site, "updates", "info.ini"), "w", newline="") as f:
        f.write(manifest("1.0", "game.exe"))
    with open(os.path.join(site, "updates", "news.txt"), "w") as f:
        f.write("news")
    # A hidden file of that name counts as absent.
    hidden = os.path.join(folder, "game.exe")
    shutil.copy(ctx.marker, hidden)
    with harness.XServer() as x, harness.Nginx(site, ctx.port, work):
        with harness.Program(ctx.program, folder, x, ["wine"], timeout_scale=ctx.scale) as p:
            p.wait_trace("lblConnect\t1", 60)
            os.remove(hidden)
            text = "msgbox\tPlease place this in the same folder as game.exe!"
            for n in (1, 2):
                p.click("lblConnect")
                p.wait_trace(text, 20, count=n)
                p.close_message_box()
                check(p.running(), "the program ended after the message box")
            p.click("Label1")
            p.wait_exit(15)
            check(p.trace()[-1] == "exit\t", "last trace line %r" % p.trace()[-1:])
    check(not os.path.exists(os.path.join(folder, "game.exe.started")), "a served program ran")
    return work


def self_update(ctx):
    """A manifest entry naming the program's own executable: the running one
    moves aside, the new one takes its name; the next start removes the
    aside copy."""
    work, site, folder = ctx.folders("self")
    name = os.path.basename(ctx.program)
    # The new build: the same program with a byte appended (Windows ignores
    # bytes past the image), so it runs and can be told apart.
    new_bytes = read(ctx.program) + b"\x01"
    with open(os.path.join(site, "updates", name), "wb") as f:
        f.write(new_bytes)
    with open(os.path.join(site, "updates", "info.ini"), "w", newline="") as f:
        f.write(manifest("2.0", "game.exe", [(name, "2.0")]))
    with open(os.path.join(site, "updates", "news.txt"), "w") as f:
        f.write("news")
    with open(os.path.join(folder, "info.ini"), "w", newline="") as f:
        f.write(manifest("1.0", "game.exe", [(name, "1.0")]))
    aside = os.path.join(folder, "~velloran-old-" + name)
    with harness.XServer() as x, harness.Nginx(site, ctx.port, work):
        with harness.Program(ctx.program, folder, x, ["wine"], timeout_scale=ctx.scale) as p:
            old_bytes = read(p.copy)
            p.wait_trace("L2\tUpdated from Version 2.0!", 60)
            check(read(p.copy) == new_bytes, "the program was not replaced")
            check(os.path.exists(aside) and read(aside) == old_bytes, "the running program was not moved aside")
            p.click("Label1")
            p.wait_exit(15)
        leftovers = [n for n in os.listdir(folder) if n.startswith("~velloran-") and n != os.path.basename(aside)]
        check(not leftovers, "temporary files left: %r" % leftovers)
        # Second start: the new program, up to date; the aside copy goes.
        shutil.copy(os.path.join(folder, name), os.path.join(work, name))
        with harness.Program(os.path.join(work, name), folder, x, ["wine"], timeout_scale=ctx.scale) as p:
            p.wait_trace("L2\tYou Have The Latest Version!", 60)
            check(not os.path.exists(aside), "the aside copy is still there")
            check(read(p.copy) == new_bytes, "the second start runs another program")
            p.click("Label2")
            p.wait_exit(15)
    return work


def minimise_during_download(ctx):
    """The minimise button during a download iconifies the window (seen
    through mini_wm, the tests' window manager) and the download carries on
    to its end."""
    check(ctx.mini_wm and os.path.exists(ctx.mini_wm),
          "needs mini_wm from the Linux test build (--mini-wm), which iconifies windows on request")
    work, site, folder = ctx.folders("minimise")
    size = 20000
    with open(os.path.join(site, "updates", "info.ini"), "w", newline="") as f:
        f.write(manifest("2.0", "game.exe", [("big.dat", "2.0")]))
    with open(os.path.join(site, "updates", "news.txt"), "w") as f:
        f.write("news")
    with open(os.path.join(site, "updates", "big.dat"), "wb") as f:
        f.write(b"b" * size)
    with open(os.path.join(folder, "info.ini"), "w", newline="") as f:
        f.write(manifest("1.0", "game.exe"))
    with harness.XServer(ctx.mini_wm) as x, harness.FaultServer(site, ctx.port, work) as server:
        server.faults({"/updates/big.dat": {"mode": "slow", "chunk": 1000, "interval": 0.15}})
        with harness.Program(ctx.program, folder, x, ["wine"], timeout_scale=ctx.scale) as p:
            p.wait_trace("L2\tDownloading big.dat...", 60)
            window = p.main_window()
            p.click("Label3")
            p.wait_trace("minimise\t", 10)
            harness.wait_until(lambda: x.map_state(window) == "IsUnMapped", 10 * ctx.scale, "the window iconified")
            p.wait_trace("L2\tUpdated from Version 2.0!", 60)
            trace = p.trace()
            after = trace[trace.index("minimise\t"):]
            check(any(line.startswith("Label4\t") for line in after), "no progress after minimising")
            check("Label4\t100%" in after, "the download did not finish after minimising")
    check(read(os.path.join(folder, "big.dat")) == b"b" * size, "big.dat is not complete")
    return work


class Checks:
    """window_look's checks raise Failed here, as the other runs do."""

    def assertTrue(self, value, text=""):
        check(value, text)

    def assertEqual(self, a, b, text=""):
        check(a == b, "%s: %r != %r" % (text, a, b))

    def assertGreater(self, a, b, text=""):
        check(a > b, "%s: %r not greater than %r" % (text, a, b))

    def assertLess(self, a, b, text=""):
        check(a < b, "%s: %r not less than %r" % (text, a, b))

    def assertLessEqual(self, a, b, text=""):
        check(a <= b, "%s: %r greater than %r" % (text, a, b))


CHECKS = Checks()
LONG_NEWS = "\r\n".join("News line %d of the northern valleys." % n for n in range(1, 41))


def update_site(ctx, label, news="news", name="a.dat", size=5000):
    """An update of one file `name` with `news`; returns work, site, folder."""
    work, site, folder = ctx.folders(label)
    with open(os.path.join(site, "updates", "info.ini"), "w", newline="") as f:
        f.write(manifest("2.0", "game.exe", [(name, "2.0")]))
    with open(os.path.join(site, "updates", "news.txt"), "w", newline="") as f:
        f.write(news)
    with open(os.path.join(site, "updates", name), "wb") as f:
        f.write(b"n" * size)
    with open(os.path.join(folder, "info.ini"), "w", newline="") as f:
        f.write(manifest("1.0", "game.exe", [(name, "1.0")]))
    return work, site, folder


def screenshot(p, work, name, scale=1):
    window = p.main_window()
    path = p.xserver.screenshot(window, os.path.join(work, name))
    return look.Shot(path, client_origin(p.xserver, window, scale), scale)


def window_looks(ctx):
    """After a run: the window's face is Tahoma (GetTextFaceW, traced), the
    main status is on its line inside the upper bar, the percentage inside
    its slot, and the news bar is skinned and disabled with short news."""
    work, site, folder = update_site(ctx, "looks")
    with harness.XServer() as x, harness.Nginx(site, ctx.port, work):
        with harness.Program(ctx.program, folder, x, ["wine"], timeout_scale=ctx.scale) as p:
            p.wait_trace("L2\tUpdated from Version 2.0!", 60)
            time.sleep(1)
            shot = screenshot(p, work, "looks.png")
            check(shot.client_size() == (CLIENT_WIDTH, CLIENT_HEIGHT), "client area %r" % (shot.client_size(),))
            faces = [line for line in p.other_lines() if line.startswith("font\t")]
            check(faces == ["font\tTahoma"], "the window's face: %r" % faces)
            look.check_status_line(CHECKS, shot, look.L2, look.UPPER_BAR_ROWS)
            _, first, _, last = shot.ink(look.LABEL4)
            check(257 <= first and last <= 281, "Label4's ink rows %d..%d outside its slot" % (first, last))
            look.check_bar(CHECKS, shot, enabled=False)
            p.click("Label1")
            p.wait_exit(15)
    return work


def wrapped_status(ctx):
    """A main status too long for its label shows its first line only."""
    name = "the northern valleys map with its bell tower and the long road to the sea.dat"
    work, site, folder = update_site(ctx, "wrapped", name=name, size=40000)
    with harness.XServer() as x, harness.FaultServer(site, ctx.port, work) as server:
        server.faults({"/updates/" + name.replace(" ", "%20"): {"mode": "slow", "chunk": 1000, "interval": 0.2}})
        with harness.Program(ctx.program, folder, x, ["wine"], timeout_scale=ctx.scale) as p:
            p.wait_trace("L2\tUpdating %s From Version 1.0 To 2.0..." % name, 60)
            time.sleep(1)
            shot = screenshot(p, work, "wrapped.png")
            look.check_status_line(CHECKS, shot, look.L2, look.UPPER_BAR_ROWS)
            x0, _, x1, _ = shot.ink(look.L2)
            check(x1 - x0 > 250, "a first line as wide as the label: ink %d..%d" % (x0, x1))
            p.click("Label1")
            p.wait_exit(15)
    return work


def news_bar_follows(ctx):
    """The skinned bar's thumb moves down with the text for the wheel over
    the text and over the bar, the down arrow, the track and a drag."""
    work, site, folder = update_site(ctx, "newsbar", news=LONG_NEWS)
    bar_x = 7 + 369 - 17
    with harness.XServer() as x, harness.Nginx(site, ctx.port, work):
        with harness.Program(ctx.program, folder, x, ["wine"], timeout_scale=ctx.scale) as p:
            p.wait_trace("L2\tUpdated from Version 2.0!", 60)
            window = p.main_window()
            dx, dy = client_origin(x, window)

            def at(cx, cy):
                return cx + dx, cy + dy

            def drag(start, end):
                x.xdotool("mousemove", "--window", window, *at(*start))
                x.xdotool("mousedown", "1")
                for n in range(1, 6):
                    time.sleep(0.1)
                    x.xdotool("mousemove", "--window", window, *at(start[0] + (end[0] - start[0]) * n // 5,
                                                                   start[1] + (end[1] - start[1]) * n // 5))
                x.xdotool("mouseup", "1")

            ways = [
                ("wheel over the text", lambda: x.xdotool("mousemove", "--window", window, *at(150, 150),
                                                          "click", "5")),
                ("wheel over the bar", lambda: x.xdotool("mousemove", "--window", window, *at(bar_x + 8, 150),
                                                         "click", "5")),
                ("down arrow", lambda: x.click(window, *at(bar_x + 8, 49 + 206 - 8))),
                ("track below the thumb", lambda: x.click(window, *at(bar_x + 8, 49 + 206 - 30))),
                ("thumb dragged", lambda: drag((bar_x + 8, 49 + 17 + 10), (bar_x + 8, 150))),
            ]
            for n, (way, act) in enumerate(ways):
                x.click(window, *at(150, 150))
                x.xdotool("key", "--window", window, "ctrl+Home")
                time.sleep(0.5)
                before = screenshot(p, work, "before%d.png" % n)
                look.check_bar(CHECKS, before, enabled=True)
                check(before.bar()["thumb"][0] == 49 + 17, "%s: thumb not at the top first" % way)
                text = before.pixels((8, 49, 340, 16))
                act()
                time.sleep(0.8)
                after = screenshot(p, work, "after%d.png" % n)
                look.check_bar(CHECKS, after, enabled=True)
                check(after.bar()["thumb"][0] > before.bar()["thumb"][0], "%s: the thumb stayed" % way)
                check(after.pixels((8, 49, 340, 16)) != text, "%s: the text did not scroll" % way)
            p.click("Label1")
            p.wait_exit(15)
    return work


def double_size(ctx):
    """At 192 dpi the window is twice the size: the picture's pixels doubled,
    the status on its line inside the bar, the bar skinned, and Exit where
    its painted button is."""
    work, site, folder = update_site(ctx, "double", news=LONG_NEWS)
    picture = look.Shot(os.path.join(HERE, "..", "..", "window", "art", "background.png"))
    look.set_log_pixels(192)
    try:
        with harness.XServer() as x, harness.Nginx(site, ctx.port, work):
            with harness.Program(ctx.program, folder, x, ["wine"], timeout_scale=ctx.scale) as p:
                p.wait_trace("L2\tUpdated from Version 2.0!", 60)
                time.sleep(1)
                check("scale\t2" in p.other_lines(), "scale lines %r" % [t for t in p.other_lines()
                                                                        if t.startswith("scale")])
                shot = screenshot(p, work, "double.png", scale=2)
                check(shot.client_size() == (2 * CLIENT_WIDTH, 2 * CLIENT_HEIGHT),
                      "client area %r" % (shot.client_size(),))
                for px, py in [(10, 10), (160, 345), (250, 333), (360, 8), (376, 9), (20, 305), (350, 270)]:
                    for ddx, ddy in [(0, 0), (1, 0), (0, 1), (1, 1)]:
                        check(shot.rgb(2 * px + ddx, 2 * py + ddy) == picture.rgb(px, py),
                              "picture not doubled at %d,%d" % (px, py))
                look.check_status_line(CHECKS, shot, look.L2, look.UPPER_BAR_ROWS)
                look.check_bar(CHECKS, shot, enabled=True)
                window = p.main_window()
                dx, dy = client_origin(x, window, 2)
                cx, cy = harness.CLICK["Label1"]
                x.click(window, 2 * cx + dx, 2 * cy + dy)
                check(p.wait_exit(15) == 0, "Exit did not end the program")
    finally:
        look.set_log_pixels(96)
    return work


def failure_box_fits_the_screen(ctx):
    """A manifest entry whose file name has 4,000 letters fails the run; the
    failure box lies within the screen (it was 7,196 pixels wide once) and
    its OK ends the program."""
    screen_w, screen_h = 1024, 768  # harness.XServer's screen
    name = "a" * 4000 + ".dat"
    work, site, folder = ctx.folders("longname")
    with open(os.path.join(site, "updates", "info.ini"), "w", newline="") as f:
        f.write(manifest("2.0", "game.exe", [(name, "2.0")]))
    with open(os.path.join(site, "updates", "news.txt"), "w") as f:
        f.write("news")
    with open(os.path.join(folder, "info.ini"), "w", newline="") as f:
        f.write(manifest("1.0", "game.exe"))
    with harness.XServer() as x, harness.Nginx(site, ctx.port, work):
        with harness.Program(ctx.program, folder, x, ["wine"], timeout_scale=ctx.scale) as p:
            failure = harness.wait_until(lambda: [t for t in p.trace() if t.startswith("failure\t")],
                                         60 * ctx.scale, "the failure")[0]
            check(len(failure) > 4000, "the report gets the whole text (%d characters)" % len(failure))
            box = p.message_box(20)
            time.sleep(1)
            bx, by, bw, bh = x.window_geometry(box)
            check(min(bx, by) >= 0, "box at %d,%d" % (bx, by))
            check(bx + bw <= screen_w, "box %d wide at x %d" % (bw, bx))
            check(by + bh <= screen_h, "box %d tall at y %d" % (bh, by))
            check(bw > 200, "a box %d wide that still shows the text" % bw)
            p.close_message_box()
            status = p.wait_exit(15)
            check(status == 1, "exit status %s after OK" % status)
    return work


def run_shared(ctx, path):
    scenario = harness.load_scenario(path)
    program = ctx.program if scenario["address"] == "site" else ctx.no_address
    problems, work = run_scenario.run(scenario, program, ["wine"], ctx.port, ctx.scale)
    if problems:
        raise Failed("\n".join(problems) + "\n(files in %s)" % work)
    return work


def published_releases(ctx):
    """Three releases published in a row by the Windows build of
    velloran-publish (added, changed, unchanged and removed files, a
    subfolder); installs at 1.0 and at 1.1 are each brought to the 1.2 tree
    byte for byte by the Windows client, fetching only what changed, as
    the tool's plan says."""
    work, site, _ = ctx.folders("publish")
    tool = os.path.join(ctx.build, "publish", "velloran-publish.exe")
    updates = os.path.join(site, "updates")

    def publish(*args):
        out = subprocess.run(["wine", tool] + list(args), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             timeout=120 * ctx.scale)
        text = out.stdout.decode("utf-8", "replace")
        check(out.returncode == 0, "velloran-publish %s: exit %d\n%s" % (args[0], out.returncode, text))
        return text

    r10 = {"game.exe": b"game 1.0", "data/base.pak": os.urandom(300000), "maps/m1.map": os.urandom(5000),
           "readme.txt": b"read me", "old.txt": b"only in 1.0"}
    r11 = dict(r10)
    del r11["old.txt"]
    r11["data/base.pak"] = os.urandom(300000)
    r11["maps/m2.map"] = os.urandom(7000)
    r12 = dict(r11)
    r12["game.exe"] = b"game 1.2"
    r12["maps/m1.map"] = os.urandom(5000)
    r12["lang/en/texts.txt"] = b"hello"

    def lay(folder, files):
        for path, data in files.items():
            os.makedirs(os.path.dirname(os.path.join(folder, path)), exist_ok=True)
            with open(os.path.join(folder, path), "wb") as f:
                f.write(data)

    installs = {}
    for version, files in (("1.0", r10), ("1.1", r11), ("1.2", r12)):
        release = os.path.join(work, "release-" + version)
        lay(release, files)
        publish("build", winpath(release), winpath(updates), "--version", version, "--game", "game.exe")
        if version != "1.2":
            folder = os.path.join(work, "at " + version)
            lay(folder, files)
            shutil.copy(os.path.join(updates, "info.ini"), os.path.join(folder, "info.ini"))
            installs[version] = folder
    publish("verify", winpath(updates))

    expected = dict(r12)
    expected["info.ini"] = read(os.path.join(updates, "info.ini"))
    fetched = {"1.0": ["base.pak", "game.exe", "m1.map", "m2.map", "texts.txt"],
               "1.1": ["game.exe", "m1.map", "texts.txt"]}
    with harness.XServer() as x, harness.Nginx(site, ctx.port, work) as nginx:
        for version, folder in sorted(installs.items()):
            plan = publish("plan", winpath(updates), "--from-folder", winpath(folder))
            planned = [line[len("  request  "):].strip() for line in plan.splitlines()
                       if line.startswith("  request  ")]
            before = len(nginx.requests())
            with harness.Program(ctx.program, folder, x, ["wine"], timeout_scale=ctx.scale) as p:
                try:
                    p.wait_trace("L2\tUpdated from Version 1.2!", 90)
                except harness.HarnessError as e:
                    raise Failed("at %s: %s; the trace ends %r" % (version, e, p.trace()[-4:]))
                p.click("Label1")
                p.wait_exit(15)
                os.remove(p.copy)
            # Files are fetched side by side: between the two manifests they
            # may reach the server's log in any order.
            def in_order(requests):
                return requests[:2] + sorted(requests[2:-1]) + requests[-1:]
            made = in_order([r.split(" ")[1] for r in nginx.requests()[before:]])
            wanted = ["/updates//news.txt", "/updates/info.ini"] + \
                ["/updates/" + n for n in fetched[version]] + ["/updates/info.ini"]
            check(made == wanted, "at %s the client asked for %r, not %r" % (version, made, wanted))
            check(made == in_order(["/updates/" + ("/news.txt" if n == "news.txt" else n) for n in planned]),
                  "at %s the plan foresaw %r, the client asked for %r" % (version, planned, made))
            tree = {}
            for root, _, names in os.walk(folder):
                for n in names:
                    path = os.path.join(root, n)
                    tree[os.path.relpath(path, folder).replace(os.sep, "/")] = read(path)
            want = dict(expected)
            if version == "1.0":
                want["old.txt"] = r10["old.txt"]  # the client never deletes
            check(tree == want, "at %s the folder differs from release 1.2: %r" %
                  (version, sorted(set(tree.items()) ^ set(want.items()))[:4]))
    with open(os.path.join(updates, "maps", "m2.map") if os.path.exists(os.path.join(updates, "maps", "m2.map"))
              else os.path.join(updates, "m2.map"), "ab") as f:
        f.write(b"tampered")
    out = subprocess.run(["wine", tool, "verify", winpath(updates)], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, timeout=120 * ctx.scale)
    check(out.returncode == 1, "verify of a tampered site: exit %d" % out.returncode)
    return work


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", required=True)
    ap.add_argument("--port", type=int, default=18471)
    ap.add_argument("--timeout-scale", type=float, default=2.0)
    ap.add_argument("--mini-wm", default="", help="tests/gui's mini_wm from a Linux build")
    ap.add_argument("--only", default="", help="run only the runs whose name contains this")
    args = ap.parse_args()
    ctx = Context(os.path.abspath(args.build), args.port, args.timeout_scale)
    ctx.mini_wm = os.path.abspath(args.mini_wm) if args.mini_wm else None

    runs = []
    for path in sorted(glob.glob(os.path.join(E2E, "scenarios", "*.json"))):
        runs.append(("scenario " + os.path.basename(path), lambda p=path: run_shared(ctx, p)))
    runs += [
        ("launch from a folder with a blank", lambda: launch_from_folder_with_blank(ctx)),
        ("missing served program", lambda: missing_game_message_box(ctx)),
        ("self-update", lambda: self_update(ctx)),
        ("minimise during a download", lambda: minimise_during_download(ctx)),
        ("window looks: Tahoma, status on its line, skinned bar", lambda: window_looks(ctx)),
        ("wrapped status cut to one line", lambda: wrapped_status(ctx)),
        ("news bar follows every way of scrolling", lambda: news_bar_follows(ctx)),
        ("twice the size at 192 dpi", lambda: double_size(ctx)),
        ("failure box fits the screen", lambda: failure_box_fits_the_screen(ctx)),
        ("three published releases", lambda: published_releases(ctx)),
    ]
    passed = failed = 0
    for name, run in runs:
        if args.only and args.only not in name:
            continue
        started = time.monotonic()
        try:
            work = run()
            shutil.rmtree(work, ignore_errors=True)
            print("PASS %s (%.1f s)" % (name, time.monotonic() - started), flush=True)
            passed += 1
        except (Failed, harness.HarnessError) as e:
            print("FAIL %s\n  %s" % (name, str(e).replace("\n", "\n  ")), flush=True)
            failed += 1
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
