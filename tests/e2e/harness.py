"""Runs velloran-update as a user would, for the end-to-end and GUI tests.

Pieces, each a context manager that cleans up after itself:
  XServer      an Xvfb on a free display number (optionally with mini_wm)
  Nginx        Debian's nginx serving a folder on 127.0.0.1:PORT
  FaultServer  tests/integration/fault_server.py on 127.0.0.1:PORT
  Program      velloran-update copied into a program folder and started
               there (the program folder is the executable's folder), its
               trace read from standard error

The program is started as RUNNER + [copied executable], so the same tests can
drive a Windows build under Wine (runner "wine"). Trace lines are the ones
whose name is a known operation; anything else on standard error (sanitizer
notes, Wine's own messages) is kept apart in Program.other_lines().
"""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time


def manifest(version, entries=(), game="game.exe"):
    """A manifest as a publisher writes it, for every Python test and the
    benchmarks: entries are (FileName, FileVersion) or (FileName,
    FileVersion, FilePath) tuples; lines end with CR LF."""
    lines = ["[VERSION]", "Version=" + version, "GameFileName=" + game, "Max=%d" % len(entries), "[FILES]"]
    for n, entry in enumerate(entries, 1):
        name, file_version, path = (tuple(entry) + ("",))[:3]
        lines += ["FileName%d=%s" % (n, name), "FileVersion%d=%s" % (n, file_version), "FilePath%d=%s" % (n, path)]
    return "\r\n".join(lines) + "\r\n"

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_ROOT = os.path.dirname(os.path.dirname(HERE))
FAULT_SERVER = os.path.join(SOURCE_ROOT, "tests", "integration", "fault_server.py")

TRACE_NAMES = {"show", "caption", "L2", "L3", "Label4", "news", "lblConnect",
               "minimise", "exit", "launch", "msgbox", "failure"}

# Click points inside the controls of the 386 x 354 client area.
CLICK = {
    "Label1": (344, 333),      # Exit
    "Label2": (376, 9),        # close button
    "Label3": (360, 9),        # minimise button
    "lblConnect": (252, 333),  # Continue
}


class HarnessError(Exception):
    pass


def wait_until(predicate, timeout, what, interval=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise HarnessError("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def port_is_free(port):
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


def write_tree(root, files):
    """Writes {relative path: content} under root. Content is a text (written
    as UTF-8, line ends as given) or {"fill": TEXT, "size": N}: N bytes of
    TEXT repeated. A path ending in "/" makes a folder."""
    for rel, content in files.items():
        path = os.path.join(root, rel)
        if rel.endswith("/"):
            os.makedirs(path, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(file_bytes(content))


def file_bytes(content):
    if isinstance(content, dict):
        fill = content["fill"].encode("utf-8")
        size = content["size"]
        return (fill * (size // len(fill) + 1))[:size]
    return content.encode("utf-8")


def parse_trace_line(line):
    name, sep, arg = line.partition("\t")
    if not sep or name not in TRACE_NAMES:
        return None
    return name + "\t" + arg


class XServer:
    """Xvfb on the first free display number from 70 on; with_wm also runs
    the mini window manager (needed to see a window iconified)."""

    def __init__(self, mini_wm=None):
        self.mini_wm = mini_wm
        self.display = None
        self.proc = None
        self.wm = None

    def __enter__(self):
        for n in range(70, 170):
            if os.path.exists("/tmp/.X11-unix/X%d" % n) or os.path.exists("/tmp/.X%d-lock" % n):
                continue
            proc = subprocess.Popen(["Xvfb", ":%d" % n, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            display = ":%d" % n
            try:
                wait_until(lambda: proc.poll() is not None or self._answers(display), 10, "Xvfb " + display)
            except HarnessError:
                proc.kill()
                raise
            if proc.poll() is None:
                self.display, self.proc = display, proc
                break
        if not self.proc:
            raise HarnessError("no free X display number")
        if self.mini_wm:
            self.wm = subprocess.Popen([self.mini_wm], env=self.env(), stdout=subprocess.PIPE, text=True)
            if self.wm.stdout.readline().strip() != "READY":
                raise HarnessError("mini_wm did not start")
        return self

    @staticmethod
    def _answers(display):
        env = dict(os.environ, DISPLAY=display)
        return subprocess.run(["xdpyinfo"], env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0

    def env(self):
        return dict(os.environ, DISPLAY=self.display)

    def xdotool(self, *args, check=True):
        r = subprocess.run(["xdotool"] + [str(a) for a in args], env=self.env(), capture_output=True, text=True)
        if check and r.returncode != 0:
            raise HarnessError("xdotool %s failed: %s" % (" ".join(map(str, args)), r.stderr.strip()))
        return r.stdout

    def windows(self, name_regex):
        out = self.xdotool("search", "--onlyvisible", "--name", name_regex, check=False)
        return [int(w) for w in out.split()]

    def window_geometry(self, window):
        out = self.xdotool("getwindowgeometry", "--shell", window)
        values = dict(line.split("=", 1) for line in out.split())
        return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])

    def click(self, window, x, y):
        self.xdotool("mousemove", "--window", window, x, y, "click", "1")

    def map_state(self, window):
        out = subprocess.run(["xwininfo", "-id", str(window)], env=self.env(), capture_output=True, text=True).stdout
        for line in out.splitlines():
            if "Map State:" in line:
                return line.split(":", 1)[1].strip()
        return ""

    def screenshot(self, window, path):
        subprocess.run(["import", "-window", str(window), path], env=self.env(), check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return path

    def __exit__(self, *exc):
        for p in (self.wm, self.proc):
            if p and p.poll() is None:
                p.terminate()
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        if self.wm:
            self.wm.stdout.close()


class Nginx:
    """Serves `root` on 127.0.0.1:port; requests() lists the request lines."""

    def __init__(self, root, port, workdir):
        self.root, self.port = root, port
        self.dir = os.path.join(workdir, "nginx")
        self.pid = None

    def __enter__(self):
        if not port_is_free(self.port):
            raise HarnessError("port %d is taken" % self.port)
        os.makedirs(self.dir, exist_ok=True)
        d = self.dir
        conf = os.path.join(d, "nginx.conf")
        with open(conf, "w") as f:
            f.write("%s\nworker_processes 1;\npid %s/nginx.pid;\nerror_log %s/error.log;\n"
                    "events { worker_connections 64; }\nhttp {\n"
                    "  log_format plain '$request';\n  access_log %s/access.log plain;\n"
                    "  client_body_temp_path %s/body;\n  proxy_temp_path %s/proxy;\n"
                    "  fastcgi_temp_path %s/fastcgi;\n  uwsgi_temp_path %s/uwsgi;\n  scgi_temp_path %s/scgi;\n"
                    "  default_type application/octet-stream;\n"
                    "  server { listen 127.0.0.1:%d; root %s; }\n}\n"
                    % ("user root;" if os.getuid() == 0 else "", d, d, d, d, d, d, d, d, self.port, self.root))
        nginx = shutil.which("nginx", path="/usr/sbin:/usr/bin:" + os.environ.get("PATH", "")) or "nginx"
        subprocess.run([nginx, "-p", d, "-c", conf], check=True)
        pidfile = os.path.join(d, "nginx.pid")
        wait_until(lambda: os.path.exists(pidfile) and os.path.getsize(pidfile) > 0, 10, "nginx")
        with open(pidfile) as f:
            self.pid = int(f.read())
        wait_until(lambda: not port_is_free(self.port), 10, "nginx listening")
        return self

    def requests(self):
        """Request lines, e.g. "GET /updates//news.txt HTTP/1.1"; nginx logs
        a request once it is answered."""
        try:
            with open(os.path.join(self.dir, "access.log")) as f:
                return [line.rstrip("\n") for line in f]
        except FileNotFoundError:
            return []

    def __exit__(self, *exc):
        if self.pid:
            try:
                os.kill(self.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            wait_until(lambda: port_is_free(self.port), 10, "nginx to stop")


class FaultServer:
    """tests/integration/fault_server.py serving `root` on the fixed port;
    faults(dict) replaces the fault table (read again on every request)."""

    def __init__(self, root, port, workdir):
        self.root, self.port = root, port
        self.faults_path = os.path.join(workdir, "faults.json")
        self.log_path = os.path.join(workdir, "fault-requests.log")
        self.proc = None

    def faults(self, table):
        tmp = self.faults_path + ".tmp"
        with open(tmp, "w") as f:
            json.dump(table, f)
        os.replace(tmp, self.faults_path)

    def __enter__(self):
        if not port_is_free(self.port):
            raise HarnessError("port %d is taken" % self.port)
        if not os.path.exists(self.faults_path):
            self.faults({})
        self.proc = subprocess.Popen([sys.executable, FAULT_SERVER, "--root", self.root, "--faults", self.faults_path,
                                      "--log", self.log_path, "--port", str(self.port)],
                                     stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        if not line.startswith("PORT "):
            raise HarnessError("fault server did not start")
        return self

    def requests(self):
        try:
            with open(self.log_path) as f:
                return [line.rstrip("\n") for line in f]
        except FileNotFoundError:
            return []

    def __exit__(self, *exc):
        if self.proc:
            if self.proc.poll() is None:
                self.proc.terminate()
                self.proc.wait(10)
            self.proc.stdout.close()


class Program:
    """velloran-update copied into `folder` and started there, on `xserver`.

    runner: command prefix (e.g. ["wine"]); cwd: the current folder of the
    process (default: the program folder)."""

    def __init__(self, executable, folder, xserver, runner=(), cwd=None, timeout_scale=1.0):
        self.executable = executable
        self.folder = folder
        self.xserver = xserver
        self.runner = list(runner)
        self.cwd = cwd or folder
        self.scale = timeout_scale
        self.proc = None
        self.stderr_path = os.path.join(os.path.dirname(folder.rstrip("/")), "stderr-%d.txt" % id(self))

    def __enter__(self):
        os.makedirs(self.folder, exist_ok=True)
        copy = os.path.join(self.folder, os.path.basename(self.executable))
        shutil.copy2(self.executable, copy)
        self.copy = copy
        self.err = open(self.stderr_path, "wb")
        self.proc = subprocess.Popen(self.runner + [copy], cwd=self.cwd, env=self.xserver.env(),
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.err,
                                     start_new_session=True)
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        self.err.close()

    def _lines(self):
        with open(self.stderr_path, "rb") as f:
            data = f.read().decode("utf-8", "replace")
        # Only whole lines: the trace flushes each line at once.
        return data.split("\n")[:-1]

    def trace(self):
        return [t for t in (parse_trace_line(line) for line in self._lines()) if t is not None]

    def other_lines(self):
        return [line for line in self._lines() if parse_trace_line(line) is None]

    def wait_trace(self, line, timeout=30, count=1):
        """Waits until `line` is in the trace `count` times."""
        def seen():
            if self.proc.poll() is not None and self.trace().count(line) < count:
                raise HarnessError("program ended (%s) before trace line %r; trace: %r; other output: %s"
                                   % (self.proc.returncode, line, self.trace()[-8:], self.other_lines()[-20:]))
            return self.trace().count(line) >= count
        wait_until(seen, timeout * self.scale, "trace line %r" % line)

    def running(self):
        return self.proc.poll() is None

    def wait_exit(self, timeout=10):
        try:
            return self.proc.wait(timeout * self.scale)
        except subprocess.TimeoutExpired:
            raise HarnessError("program still running after %.0f s" % timeout)

    def main_window(self, timeout=20):
        wins = wait_until(lambda: self.xserver.windows("^Velloran - "), timeout * self.scale, "the main window")
        return wins[0]

    def click(self, control):
        x, y = CLICK[control]
        self.xserver.click(self.main_window(), x, y)

    def message_box(self, timeout=10):
        wins = wait_until(lambda: self.xserver.windows("^Velloran$"), timeout * self.scale, "the message box")
        return wins[0]

    def close_message_box(self):
        box = self.message_box()
        _, _, w, h = self.xserver.window_geometry(box)
        # OK sits centred at the bottom of the box.
        self.xserver.click(box, w // 2, h - 27)
        wait_until(lambda: not self.xserver.windows("^Velloran$"), 10 * self.scale, "the message box to close")


def load_scenario(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def temp_dir(prefix):
    return tempfile.mkdtemp(prefix=prefix)
