#!/usr/bin/env python3
"""GUI tests of velloran-update: the real window on a private Xvfb, clicks by
xdotool, the update site from nginx or tests/integration/fault_server.py.

  gui_tests.py --program EXE --mini-wm MINI_WM [--port 18461] [unittest args]

EXE is a trace build whose compiled-in address is 127.0.0.1:PORT/updates.
"""

import argparse
import os
import re
import shutil
import stat
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import harness  # noqa: E402
import window_look as look  # noqa: E402

ARGS = None
PICTURE = os.path.join(HERE, "..", "..", "window", "art", "background.png")
LONG_NEWS = "\r\n".join("News line %d of the northern valleys." % n for n in range(1, 41))

NEWS_GROUND = (0, 103, 144)


def manifest(version, game, entries):
    return harness.manifest(version, entries, game)


def pixels(png, x, y, w, h):
    """RGB tuples of a rectangle of a screenshot, row by row."""
    out = subprocess.run(["convert", png, "-crop", "%dx%d+%d+%d" % (w, h, x, y), "-depth", "8", "txt:-"],
                         capture_output=True, text=True, check=True).stdout
    found = []
    for line in out.splitlines()[1:]:
        m = re.search(r":\s*\((\d+),(\d+),(\d+)", line)
        if m:
            found.append(tuple(int(v) for v in m.groups()))
    return found


def bright(rgbs):
    return sum(1 for r, g, b in rgbs if min(r, g, b) >= 170)


def drag(x, window, start, end):
    """Presses the left button at `start`, moves in steps to `end`, releases."""
    x.xdotool("mousemove", "--window", window, *start)
    x.xdotool("mousedown", "1")
    for n in range(1, 6):
        time.sleep(0.05)
        x.xdotool("mousemove", "--window", window, start[0] + (end[0] - start[0]) * n // 5,
                  start[1] + (end[1] - start[1]) * n // 5)
    x.xdotool("mouseup", "1")


def image_size(png):
    out = subprocess.run(["identify", "-format", "%w %h", png], capture_output=True, text=True, check=True).stdout
    return tuple(int(v) for v in out.split())


class GuiTest(unittest.TestCase):
    """Each test gets a work folder with site/, "Velloran Game/" (the
    program folder: a blank in it on purpose) and cwd/ (the program's current
    folder, which the served program must inherit)."""

    def setUp(self):
        self.work = harness.temp_dir("velloran-gui-")
        self.site = os.path.join(self.work, "site")
        self.folder = os.path.join(self.work, "Velloran Game")
        self.cwd = os.path.join(self.work, "cwd")
        for d in (self.site, self.folder, self.cwd):
            os.makedirs(d)

    def tearDown(self):
        if not self._outcome_failed():
            shutil.rmtree(self.work, ignore_errors=True)
        else:
            print("\n(files kept in %s)" % self.work, file=sys.stderr)

    def _outcome_failed(self):
        result = getattr(self._outcome, "result", None)
        errors = getattr(result, "errors", []) + getattr(result, "failures", [])
        return any(test is self for test, _ in errors)

    def program(self, x):
        return harness.Program(ARGS.program, self.folder, x, cwd=self.cwd)

    def read(self, rel):
        with open(os.path.join(self.folder, rel), "rb") as f:
            return f.read()

    def add_game(self, name="game.sh"):
        path = os.path.join(self.folder, name)
        with open(path, "w") as f:
            f.write('#!/bin/sh\nprintf "%s\\n%s\\n%s\\n" "$PWD" "$#" "$0" > "$(dirname "$0")/marker.txt"\n')
        os.chmod(path, stat.S_IRWXU | stat.S_IRGRP | stat.S_IXGRP | stat.S_IROTH | stat.S_IXOTH)

    def slow_update(self, game="game.sh"):
        """Site 1.1 with big.dat (64 KiB) that the fault server drips at
        10 KiB/s; the program folder holds release 1.0 with an old big.dat."""
        local = manifest("1.0", game, [("big.dat", "1.0", "")])
        remote = manifest("1.1", game, [("big.dat", "1.1", "")])
        harness.write_tree(self.folder, {"info.ini": local, "big.dat": "old big.dat\n"})
        harness.write_tree(self.site, {"updates/info.ini": remote, "updates/news.txt": "Slow news.",
                                       "updates/big.dat": {"fill": "new ", "size": 65536}})
        return local, remote

    # ------------------------------------------------------------ look

    def run_to_the_end(self, x, news="Short news.", dpi=None):
        """Starts the program on an update of one file with `news`, waits
        for the end of the run and returns it with a screenshot."""
        remote = manifest("1.1", "game.sh", [("a.dat", "1.1", "")])
        harness.write_tree(self.folder, {"info.ini": manifest("1.0", "game.sh", [("a.dat", "1.0", "")])})
        harness.write_tree(self.site, {"updates/info.ini": remote, "updates/news.txt": news,
                                       "updates/a.dat": {"fill": "a", "size": 5000}})
        if dpi:
            # What xrdb would set: the resource string on the root window.
            subprocess.run(["xprop", "-root", "-f", "RESOURCE_MANAGER", "8s", "-set", "RESOURCE_MANAGER",
                            "Xft.dpi:\t%d\n" % dpi], env=x.env(), check=True)
        return self.program(x)

    def test_window_after_a_run_shows_artwork_and_status_texts(self):
        with harness.XServer() as x, harness.Nginx(self.site, ARGS.port, self.work), \
                self.run_to_the_end(x) as p:
            p.wait_trace("L2\tUpdated from Version 1.1!")
            p.wait_trace("L3\t")  # cleared at the end of the run
            time.sleep(0.5)
            shot = x.screenshot(p.main_window(), os.path.join(self.work, "after.png"))
            self.assertEqual(image_size(shot), (386, 354))
            window, picture = look.Shot(shot), look.Shot(PICTURE)
            # Where no text is, the window is the picture, pixel for pixel.
            for name, (x0, y0, w, h) in [("title band", (0, 0, 386, 48)), ("bottom row", (0, 316, 386, 38)),
                                         ("between the bars", (3, 284, 380, 11))]:
                differ = [(px, py) for py in range(y0, y0 + h) for px in range(x0, x0 + w)
                          if window.rgb(px, py) != picture.rgb(px, py)]
                self.assertEqual(differ[:5], [], name)
            self.assertEqual(window.rgb(300, 230), NEWS_GROUND, "news box")
            # L2's text on one line inside the upper bar, centred; L3 cleared;
            # Label4 reads 100% inside its slot.
            x0, _, x1, _ = look.check_status_line(self, window, look.L2, look.UPPER_BAR_ROWS)
            # Centred by the Windows measure, which is wider than the ink
            # (Tahoma's bitmaps): a few pixels left of the label's centre.
            self.assertLessEqual(abs((x0 + x1) - (8 + 376)), 20, "L2 centred: ink %d..%d" % (x0, x1))
            self.assertEqual(window.ink(look.L3), None, "L3 empty")
            _, first, _, last = window.ink(look.LABEL4)
            self.assertTrue(257 <= first and last <= 281, "Label4's ink rows %d..%d outside its slot" % (first, last))
            self.assertTrue(window.ink((8, 49, 200, 20)), "news text")
            look.check_bar(self, window, enabled=False)
            self.assertIn("font\tTahoma", p.other_lines())
            self.assertIn("scale\t1", p.other_lines())

    def test_painted_buttons_lie_inside_their_click_areas(self):
        # In the picture, the pixels of each painted button (those that stand
        # out from the row's ground at the search window's left edge) lie
        # inside the button's click area (harness.CLICK's controls).
        picture = look.Shot(PICTURE)
        cases = [
            # control, click area (x, y, w, h), search window (x0, y0, x1, y1)
            ("Label3 (minimise)", (352, 0, 17, 19), (346, 3, 368, 19)),
            ("Label2 (close)", (368, 0, 17, 19), (368, 3, 383, 19)),
            ("lblConnect (Continue)", (200, 320, 105, 27), (190, 317, 309, 351)),
            ("Label1 (Exit)", (312, 320, 65, 27), (309, 317, 382, 351)),
        ]
        for control, (x, y, w, h), (x0, y0, x1, y1) in cases:
            with self.subTest(control=control):
                painted = [(px, py) for py in range(y0, y1) for px in range(x0 + 1, x1)
                           if sum(abs(a - b) for a, b in zip(picture.rgb(px, py), picture.rgb(x0, py))) > 60]
                self.assertGreater(len(painted), 60, "a painted button")
                xs, ys = [p[0] for p in painted], [p[1] for p in painted]
                self.assertTrue(x <= min(xs) and max(xs) < x + w and y <= min(ys) and max(ys) < y + h,
                                "painted %r outside %r" % ((min(xs), min(ys), max(xs), max(ys)), (x, y, w, h)))
                cx, cy = harness.CLICK[control.split()[0]]
                self.assertTrue(min(xs) <= cx <= max(xs) and min(ys) <= cy <= max(ys), "the click point on it")

    def test_news_bar_thumb_follows_every_way_of_scrolling(self):
        # 40 lines, 12 shown. Each way scrolls down from the top; the thumb
        # must move down with the text.
        bar_x = 7 + 369 - 17
        ways = [
            ("wheel over the text", lambda x, w: x.xdotool("mousemove", "--window", w, 150, 150, "click", "5")),
            ("wheel over the bar", lambda x, w: x.xdotool("mousemove", "--window", w, bar_x + 8, 150, "click", "5")),
            ("down arrow", lambda x, w: x.click(w, bar_x + 8, 49 + 206 - 8)),
            ("track below the thumb", lambda x, w: x.click(w, bar_x + 8, 49 + 206 - 30)),
            ("thumb dragged", lambda x, w: drag(x, w, (bar_x + 8, 49 + 17 + 10), (bar_x + 8, 150))),
            ("Page Down key", lambda x, w: (x.click(w, 150, 150), x.xdotool("key", "--window", w, "Next"))),
        ]
        with harness.XServer() as x, harness.Nginx(self.site, ARGS.port, self.work), \
                self.run_to_the_end(x, LONG_NEWS) as p:
            p.wait_trace("L2\tUpdated from Version 1.1!")
            window = p.main_window()
            time.sleep(0.5)
            for n, (way, act) in enumerate(ways):
                with self.subTest(way=way):
                    # Back to the top first: Home while the box has the focus.
                    x.click(window, 150, 150)
                    x.xdotool("key", "--window", window, "Home")
                    time.sleep(0.3)
                    before = look.Shot(x.screenshot(window, os.path.join(self.work, "before%d.png" % n)))
                    look.check_bar(self, before, enabled=True)
                    self.assertEqual(before.bar()["thumb"][0], 49 + 17, "thumb at the top")
                    first_line = before.pixels((8, 49, 340, 16))
                    act(x, window)
                    time.sleep(0.4)
                    after = look.Shot(x.screenshot(window, os.path.join(self.work, "after%d.png" % n)))
                    look.check_bar(self, after, enabled=True)
                    self.assertGreater(after.bar()["thumb"][0], before.bar()["thumb"][0], "the thumb moved down")
                    self.assertNotEqual(after.pixels((8, 49, 340, 16)), first_line, "the text scrolled")

    def test_news_text_is_selected_by_dragging_and_ctrl_a(self):
        selection = (51, 153, 255)
        with harness.XServer() as x, harness.Nginx(self.site, ARGS.port, self.work), \
                self.run_to_the_end(x, LONG_NEWS) as p:
            p.wait_trace("L2\tUpdated from Version 1.1!")
            window = p.main_window()
            time.sleep(0.3)
            drag(x, window, (12, 57), (120, 57))
            time.sleep(0.3)
            shot = look.Shot(x.screenshot(window, os.path.join(self.work, "dragged.png")))
            selected = [shot.count(selection, (8, 49 + 16 * n, 340, 16)) for n in range(3)]
            self.assertGreater(selected[0], 100, "the first line selected")
            self.assertEqual(selected[1:], [0, 0], "only the first line")
            x.xdotool("key", "--window", window, "ctrl+a")
            time.sleep(0.3)
            shot = look.Shot(x.screenshot(window, os.path.join(self.work, "all.png")))
            self.assertTrue(all(shot.count(selection, (8, 49 + 16 * n, 340, 16)) > 100 for n in range(12)),
                            "every line selected")

    def test_wrapped_status_text_shows_its_first_line_only(self):
        # A file name long enough to wrap L2's "Updating ... From Version
        # 1.0 To 1.1..." over two lines; the download is slow, so it stays.
        name = "the northern valleys map with its bell tower and the long road to the sea.dat"
        local = manifest("1.0", "game.sh", [(name, "1.0", "")])
        harness.write_tree(self.folder, {"info.ini": local})
        harness.write_tree(self.site, {"updates/info.ini": manifest("1.1", "game.sh", [(name, "1.1", "")]),
                                       "updates/news.txt": "News.",
                                       "updates/" + name: {"fill": "new ", "size": 65536}})
        with harness.XServer() as x, harness.FaultServer(self.site, ARGS.port, self.work) as server, \
                self.program(x) as p:
            server.faults({"/updates/" + name.replace(" ", "%20"): {"mode": "slow", "chunk": 1024,
                                                                    "interval": 0.2}})
            p.wait_trace("L2\tUpdating %s From Version 1.0 To 1.1..." % name)
            time.sleep(0.5)
            shot = look.Shot(x.screenshot(p.main_window(), os.path.join(self.work, "wrapped.png")))
            _, first, _, last = look.check_status_line(self, shot, look.L2, look.UPPER_BAR_ROWS)
            # The first line fills the label's width: the text did wrap.
            x0, _, x1, _ = shot.ink(look.L2)
            self.assertGreater(x1 - x0, 250, "a line as wide as the label")

    def test_twice_the_size_at_192_dpi(self):
        # The window manager keeps a client connected: Xvfb resets the root
        # window's properties, the resources with them, when the last
        # client leaves.
        with harness.XServer(mini_wm=ARGS.mini_wm) as x, harness.Nginx(self.site, ARGS.port, self.work), \
                self.run_to_the_end(x, LONG_NEWS, dpi=192) as p:
            p.wait_trace("L2\tUpdated from Version 1.1!")
            time.sleep(0.5)
            path = x.screenshot(p.main_window(), os.path.join(self.work, "double.png"))
            self.assertEqual(image_size(path), (772, 708))
            self.assertIn("scale\t2", p.other_lines())
            shot, picture = look.Shot(path, scale=2), look.Shot(PICTURE)
            # The picture with every pixel doubled.
            for px, py in [(10, 10), (160, 345), (250, 333), (360, 8), (376, 9), (20, 305), (350, 270)]:
                for dx, dy in [(0, 0), (1, 0), (0, 1), (1, 1)]:
                    self.assertEqual(shot.rgb(2 * px + dx, 2 * py + dy), picture.rgb(px, py), (px, py, dx, dy))
            look.check_status_line(self, shot, look.L2, look.UPPER_BAR_ROWS)
            look.check_bar(self, shot, enabled=True)
            _, first, _, _ = shot.ink((8, 49, 340, 16))
            self.assertTrue(2 * 49 < first < 2 * 49 + 12, "news text's first ink row %d" % first)
            # Exit's click area grew with its painted button.
            cx, cy = harness.CLICK["Label1"]
            x.click(p.main_window(), 2 * cx, 2 * cy)
            self.assertEqual(p.wait_exit(5), 0)

    def test_status_texts_show_during_a_download(self):
        self.slow_update()
        with harness.XServer() as x, harness.FaultServer(self.site, ARGS.port, self.work) as server, \
                self.program(x) as p:
            server.faults({"/updates/big.dat": {"mode": "slow", "chunk": 4096, "interval": 0.2}})
            p.wait_trace("L3\tDownloading File 1 Of 1")
            p.wait_trace("Label4\t12%")
            time.sleep(0.3)
            shot = look.Shot(x.screenshot(p.main_window(), os.path.join(self.work, "during.png")))
            look.check_status_line(self, shot, look.L2, look.UPPER_BAR_ROWS)
            look.check_status_line(self, shot, look.L3, look.LOWER_BAR_ROWS)

    # ------------------------------------------------------------ leaving

    def test_exit_and_close_end_at_once_during_a_download(self):
        for control in ("Label1", "Label2"):
            with self.subTest(control=control):
                self.tearDown()
                self.setUp()
                local, _ = self.slow_update()
                with harness.XServer() as x, harness.FaultServer(self.site, ARGS.port, self.work) as server, \
                        self.program(x) as p:
                    server.faults({"/updates/big.dat": {"mode": "slow", "chunk": 1024, "interval": 0.1}})
                    p.wait_trace("L2\tUpdating big.dat From Version 1.0 To 1.1...")
                    harness.wait_until(lambda: "GET /updates/big.dat" in server.requests(), 10, "the big.dat request")
                    time.sleep(0.3)
                    started = time.monotonic()
                    p.click(control)
                    self.assertEqual(p.wait_exit(5), 0)
                    self.assertLess(time.monotonic() - started, 3)
                    self.assertEqual(p.trace()[-1], "exit\t")
                self.assertEqual(self.read("big.dat"), b"old big.dat\n")
                self.assertTrue(os.path.exists(os.path.join(self.folder, "temp.ini")))
                self.assertEqual(self.read("info.ini"), local.encode())

    def test_a_run_left_by_exit_goes_on_where_it_stopped_when_started_again(self):
        size = 2 << 20
        harness.write_tree(self.folder, {"info.ini": manifest("1.0", "game.sh", [("big.dat", "1.0", "")]),
                                         "big.dat": "old big.dat\n"})
        harness.write_tree(self.site, {"updates/info.ini": manifest("1.1", "game.sh", [("big.dat", "1.1", "")]),
                                       "updates/news.txt": "News.",
                                       "updates/big.dat": {"fill": "new ", "size": size}})
        with harness.XServer() as x, harness.FaultServer(self.site, ARGS.port, self.work) as server:
            server.faults({"/updates/big.dat": {"mode": "slow", "chunk": 16384, "interval": 0.05}})
            with self.program(x) as p:
                p.wait_trace("Label4\t5%")
                p.click("Label1")
                self.assertEqual(p.wait_exit(5), 0)
            self.assertEqual(self.read("big.dat"), b"old big.dat\n")
            server.faults({})
            with self.program(x) as p:
                p.wait_trace("L2\tUpdated from Version 1.1!", 30)
            asked = [r for r in server.requests() if r.startswith("GET /updates/big.dat")]
        self.assertEqual(len(asked), 2, asked)
        kept = int(asked[1].split("bytes=")[1].rstrip("-")) if "bytes=" in asked[1] else 0
        # What reached the disk before the Exit is not asked again.
        self.assertTrue(0 < kept < size, asked)
        self.assertEqual(self.read("big.dat"), (b"new " * (size // 4))[:size])
        self.assertEqual([n for n in os.listdir(self.folder) if n.startswith("~velloran-")], [])

    def test_minimise_iconifies_and_the_download_completes(self):
        self.slow_update()
        with harness.XServer(mini_wm=ARGS.mini_wm) as x, \
                harness.FaultServer(self.site, ARGS.port, self.work) as server, self.program(x) as p:
            server.faults({"/updates/big.dat": {"mode": "slow", "chunk": 2048, "interval": 0.1}})
            p.wait_trace("L2\tUpdating big.dat From Version 1.0 To 1.1...")
            window = p.main_window()
            self.assertEqual(x.map_state(window), "IsViewable")
            p.click("Label3")
            p.wait_trace("minimise\t")
            harness.wait_until(lambda: x.map_state(window) == "IsUnMapped", 5, "the window to be iconified")
            p.wait_trace("L2\tUpdated from Version 1.1!", timeout=30)
            self.assertTrue(p.running())
            trace = p.trace()
            self.assertLess(trace.index("minimise\t"), trace.index("L3\tDownloaded big.dat!"),
                            "minimised while big.dat was still coming")
        self.assertEqual(self.read("big.dat"), harness.file_bytes({"fill": "new ", "size": 65536}))
        self.assertFalse(os.path.exists(os.path.join(self.folder, "temp.ini")))

    # ------------------------------------------------------------ launch

    def test_continue_waits_for_the_run_then_starts_the_served_program(self):
        self.slow_update()
        self.add_game()
        with harness.XServer() as x, harness.FaultServer(self.site, ARGS.port, self.work) as server, \
                self.program(x) as p:
            server.faults({"/updates/big.dat": {"mode": "slow", "chunk": 2048, "interval": 0.1}})
            p.wait_trace("L2\tUpdating big.dat From Version 1.0 To 1.1...")
            p.click("lblConnect")
            time.sleep(0.5)
            self.assertTrue(p.running())
            trace = p.trace()
            self.assertNotIn("lblConnect\t1", trace, "the run should still be going")
            self.assertFalse([t for t in trace if t.startswith(("launch", "msgbox"))])
            p.wait_trace("lblConnect\t1", timeout=30)
            p.click("lblConnect")
            self.assertEqual(p.wait_exit(10), 0)
            game = os.path.join(self.folder, "game.sh")
            self.assertEqual(p.trace()[-1], "launch\t" + game)
        marker = os.path.join(self.folder, "marker.txt")
        harness.wait_until(lambda: os.path.exists(marker) and os.path.getsize(marker) > 0, 10, "the marker")
        with open(marker) as f:
            cwd, argc, argv0 = f.read().splitlines()
        self.assertEqual((cwd, argc, argv0), (self.cwd, "0", game))

    def test_continue_without_the_served_program_explains_and_stays(self):
        for game in ("game.sh", ""):
            with self.subTest(game=game):
                self.tearDown()
                self.setUp()
                local = manifest("1.1", game, [])
                harness.write_tree(self.folder, {"info.ini": local})
                harness.write_tree(self.site, {"updates/info.ini": local, "updates/news.txt": "News."})
                text = "Please place this in the same folder as " + game + "!"
                with harness.XServer() as x, harness.Nginx(self.site, ARGS.port, self.work), self.program(x) as p:
                    p.wait_trace("lblConnect\t1")
                    for n in (1, 2):
                        p.click("lblConnect")
                        p.wait_trace("msgbox\t" + text, count=n)
                        box = p.message_box()
                        _, _, w, h = x.window_geometry(box)
                        self.assertGreater(w, 200)
                        p.close_message_box()
                        time.sleep(0.3)
                        self.assertTrue(p.running())
                        self.assertTrue(x.windows("^Velloran - "))
                    self.assertFalse([t for t in p.trace() if t.startswith("launch")])
                    p.click("Label1")
                    self.assertEqual(p.wait_exit(5), 0)

    # ------------------------------------------------------------ failure

    def test_failure_report_shows_the_text_and_ends_the_process(self):
        harness.write_tree(self.folder, {"info.ini": manifest("1.0", "game.sh", [])})
        harness.write_tree(self.site, {"updates/news.txt": "News."})
        with harness.XServer() as x, harness.FaultServer(self.site, ARGS.port, self.work) as server, \
                self.program(x) as p:
            server.faults({"/updates/info.ini": {"mode": "status", "status": 404, "body": "gone"}})
            harness.wait_until(lambda: any(t.startswith("failure\t") for t in p.trace()), 30, "the failure")
            p.message_box()
            time.sleep(0.3)
            self.assertTrue(p.running(), "the process waits for the report to be closed")
            p.close_message_box()
            self.assertEqual(p.wait_exit(5), 1)
        self.assertEqual(self.read("info.ini"), manifest("1.0", "game.sh", []).encode())

    def test_failure_box_fits_the_screen_however_long_the_text(self):
        # Xvfb's screen, as tests/e2e/harness.py starts it.
        screen_w, screen_h = 1024, 768
        deep = "\\".join(["a"] * 2100)
        wordy = " ".join(["word%d" % n for n in range(900)]) + " ../x.dat"
        cases = [
            # A folder 2,100 levels deep: a failure text of 4,000+
            # characters without a blank.
            ("deep folder", [("a.dat", "1.1", deep)], "Cannot make folder "),
            # A refused name of 900 words: thousands of characters with
            # blanks, far more lines than the screen holds.
            ("long name", [(wordy, "1.1", "")], "The update lists an unsafe file, entry 1 (word0 word1 "),
        ]
        for what, entries, start in cases:
            with self.subTest(what=what):
                self.tearDown()
                self.setUp()
                harness.write_tree(self.folder, {"info.ini": manifest("1.0", "game.sh", [("a.dat", "1.0", "")])})
                harness.write_tree(self.site, {"updates/info.ini": manifest("1.1", "game.sh", entries),
                                               "updates/news.txt": "News.", "updates/a.dat": "a"})
                try:
                    with harness.XServer() as x, harness.Nginx(self.site, ARGS.port, self.work), \
                            self.program(x) as p:
                        failure = harness.wait_until(
                            lambda: [t for t in p.trace() if t.startswith("failure\t")], 30, "the failure")[0]
                        # The report gets the whole text; only the box shortens it.
                        text = failure.split("\t", 1)[1]
                        self.assertGreater(len(text), 4000)
                        self.assertTrue(text.startswith(start), text[:80])
                        box = p.message_box()
                        bx, by, bw, bh = x.window_geometry(box)
                        self.assertGreaterEqual(min(bx, by), 0, "box at %d,%d" % (bx, by))
                        self.assertLessEqual(bx + bw, screen_w, "box %d wide at x %d" % (bw, bx))
                        self.assertLessEqual(by + bh, screen_h, "box %d tall at y %d" % (bh, by))
                        self.assertGreater(bw, 300, "a box that still shows the text")
                        time.sleep(0.3)
                        shot = x.screenshot(box, os.path.join(self.work, "box.png"))
                        # The OK button's frame: dark pixels across its bottom
                        # edge, centred 40 pixels above the box's bottom.
                        edge = pixels(shot, bw // 2 - 30, bh - 15, 60, 1)
                        self.assertTrue(all(max(rgb) < 160 for rgb in edge), "OK button's edge: %r" % edge[:4])
                        p.close_message_box()
                        self.assertEqual(p.wait_exit(5), 1)
                finally:
                    # The folders the run made before it failed are too deep
                    # for shutil.rmtree; the rest stays for a failed test.
                    subprocess.run(["rm", "-rf", os.path.join(self.folder, "a")], check=True)


def main():
    global ARGS
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--mini-wm", required=True)
    ap.add_argument("--port", type=int, default=18461)
    ARGS, rest = ap.parse_known_args()
    ARGS.program = os.path.abspath(ARGS.program)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
