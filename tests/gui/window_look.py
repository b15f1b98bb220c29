"""What the window looks like, read from screenshots: shared by the Linux GUI
tests (gui_tests.py) and the Windows runs under Wine (tests/windows/wine_e2e.py),
so both builds are held to the same pixels.

Coordinates are client pixels of the window at 96 dpi; `scale` multiplies
them for a window drawn at a whole factor.
"""

import subprocess

# Colours of the skin (window/layout.h).
WHITE = (255, 255, 255)
NEWS_GROUND = (0, 103, 144)
BAR_TRACK = (0, 62, 92)
BAR_FACE = (24, 122, 165)
BAR_LIGHT = (120, 192, 222)
BAR_SHADE = (0, 38, 58)
BAR_MARK = (232, 243, 248)
BAR_MARK_OFF = (70, 132, 160)

NEWS = (7, 49, 369, 206)
BAR_WIDTH = 17
# Rows of the status bars' faces in the picture (window/art/draw_art.sh):
# a status text's ink lies inside them.
UPPER_BAR_ROWS = (264, 282)
LOWER_BAR_ROWS = (296, 313)
# The labels (x, y, w, h). L2's rectangle reaches under the percentage's
# slot; its text is looked for left of the slot.
L2 = (8, 263, 317, 17)
L3 = (8, 295, 369, 17)
LABEL4 = (328, 256, 49, 17)


class Shot:
    """A screenshot's pixels; `origin` is where the client area starts in it
    (Wine draws the frame inside the X window)."""

    def __init__(self, png, origin=(0, 0), scale=1):
        data = subprocess.run(["convert", png, "-depth", "8", "ppm:-"], capture_output=True, check=True).stdout
        magic, size, _, pixels = data.split(b"\n", 3)
        assert magic == b"P6", magic
        self.width, self.height = map(int, size.split())
        self.data = pixels
        self.ox, self.oy = origin
        self.scale = scale

    def client_size(self):
        return self.width - 2 * self.ox, self.height - self.oy - self.ox

    def rgb(self, x, y):
        """The pixel at client point (x, y), in pixels of the drawn window."""
        i = ((y + self.oy) * self.width + x + self.ox) * 3
        return tuple(self.data[i:i + 3])

    def region(self, rect):
        """(x, y, w, h) at 96 dpi to drawn pixels."""
        return tuple(v * self.scale for v in rect)

    def ink(self, rect, light=170):
        """Bounding box (x0, y0, x1, y1), inclusive, of the light pixels (every
        channel >= light) in rect at 96 dpi, in drawn pixels; None if none."""
        x, y, w, h = self.region(rect)
        xs, ys = [], []
        for yy in range(y, y + h):
            for xx in range(x, x + w):
                if min(self.rgb(xx, yy)) >= light:
                    xs.append(xx)
                    ys.append(yy)
        if not ys:
            return None
        return min(xs), min(ys), max(xs), max(ys)

    def count(self, colour, rect):
        x, y, w, h = self.region(rect)
        return sum(1 for yy in range(y, y + h) for xx in range(x, x + w) if self.rgb(xx, yy) == colour)

    def pixels(self, rect):
        x, y, w, h = self.region(rect)
        return [self.rgb(xx, yy) for yy in range(y, y + h) for xx in range(x, x + w)]

    def column(self, x, y0, y1):
        return [self.rgb(x, y) for y in range(y0, y1)]

    def bar(self):
        """The news box's scroll bar as drawn: {'x': left edge, 'arrow':
        length, 'thumb': (first, last) row or None}, in drawn pixels."""
        s = self.scale
        x0, y0, w, h = NEWS[0] * s, NEWS[1] * s, NEWS[2] * s, NEWS[3] * s
        left = x0 + w - BAR_WIDTH * s
        middle = left + BAR_WIDTH * s // 2
        arrow = BAR_WIDTH * s
        rows = [y for y in range(y0 + arrow, y0 + h - arrow) if self.rgb(middle, y) != BAR_TRACK]
        thumb = (min(rows), max(rows)) if rows else None
        return {"x": left, "middle": middle, "arrow": arrow, "thumb": thumb, "top": y0, "height": h}


def check_bar(test, shot, enabled):
    """The skinned bar: a track in the track colour, raised arrows with their
    marks (dim while there is nothing to scroll), and a raised thumb only
    when there is something to scroll. `test` is a unittest.TestCase or
    anything with assertEqual, assertTrue and assertGreater."""
    bar = shot.bar()
    s = shot.scale
    for name, top in (("up", bar["top"]), ("down", bar["top"] + bar["height"] - bar["arrow"])):
        face = shot.count(BAR_FACE, (bar["x"] // s, top // s, BAR_WIDTH, BAR_WIDTH))
        test.assertGreater(face, 80 * s * s, "%s arrow's face" % name)
        marks = shot.count(BAR_MARK if enabled else BAR_MARK_OFF, (bar["x"] // s, top // s, BAR_WIDTH, BAR_WIDTH))
        test.assertGreater(marks, 6 * s * s, "%s arrow's mark" % name)
        test.assertEqual(shot.rgb(bar["x"], top), BAR_LIGHT, "%s arrow's lit corner" % name)
        test.assertEqual(shot.rgb(bar["x"] + bar["arrow"] - 1, top + bar["arrow"] - 1), BAR_SHADE,
                         "%s arrow's shaded corner" % name)
    if enabled:
        test.assertTrue(bar["thumb"], "a thumb")
        first, last = bar["thumb"]
        test.assertEqual(shot.rgb(bar["middle"], first), BAR_LIGHT, "thumb's lit top edge")
        test.assertEqual(shot.rgb(bar["middle"], last), BAR_SHADE, "thumb's shaded bottom edge")
        test.assertEqual(shot.rgb(bar["middle"], (first + last) // 2), BAR_FACE, "thumb's face")
        track = [y for y in range(bar["top"] + bar["arrow"], bar["top"] + bar["height"] - bar["arrow"])
                 if not first <= y <= last]
        test.assertTrue(track, "some track beside the thumb")
    else:
        test.assertEqual(bar["thumb"], None, "no thumb while everything shows")


def check_status_line(test, shot, label, bar_rows):
    """The label's text shows on one line inside its bar: its ink starts
    below the bar face's top edge, ends above its bottom edge, and keeps to
    the label's first line (16 rows at 96 dpi: a second line would start
    there), and nothing shows below the label within the bar."""
    s = shot.scale
    ink = shot.ink(label)
    test.assertTrue(ink, "text in the label")
    _, first, _, last = ink
    x, y, w, h = label
    test.assertGreater(first, bar_rows[0] * s, "first ink row %d, bar face from row %d" % (first, bar_rows[0] * s))
    test.assertLess(last, (bar_rows[1] + 1) * s - 1, "last ink row %d, bar face to row %d" % (last, bar_rows[1] * s))
    test.assertLessEqual(last, (y + 15) * s, "last ink row %d: more than the label's first line" % last)
    test.assertEqual(shot.ink((x, y + h, w, bar_rows[1] + 1 - y - h)), None, "ink under the label")
    return ink


def set_log_pixels(dpi):
    """The dots per inch Wine gives the programs started from now on."""
    subprocess.run(["wine", "reg", "add", "HKCC\\Software\\Fonts", "/v", "LogPixels", "/t", "REG_DWORD",
                    "/d", str(dpi), "/f"], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # The new value is live in the running server; waiting for it to end
    # only lets every earlier process finish first, and a service of the
    # prefix may keep it up: the wait is bounded.
    try:
        subprocess.run(["wineserver", "-w"], check=False, timeout=15)
    except subprocess.TimeoutExpired:
        pass
