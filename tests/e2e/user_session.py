"""A desktop session of its own for the end-to-end tests of Wayland desktops that run as a
user's programs (GNOME Shell, KWin): an unprivileged user made for the tests, a home and a
runtime directory, a session bus and a second dbus-daemon standing in for the system bus.
Everything started is stopped by process id, with whatever the session bus started on
demand; a desktop that cannot start fails the test with the reason.
"""

import base64
import json
import os
import pwd
import shutil
import subprocess
import tempfile
import time

from harness import EventClient, Program, _stop
from pictures import decode

WIDTH, HEIGHT = 1920, 1080


def status(program):
    code, body, _ = program.request("GET", "/status")
    assert code == 200, body
    return body


def wait_status(program, holds, timeout=10):
    """The program's status once `holds(status)`, or the last one when the time is up."""
    deadline = time.monotonic() + timeout
    while not holds(body := status(program)) and time.monotonic() < deadline:
        time.sleep(0.2)
    return body


def test_user(name):
    """The unprivileged user the desktop runs as, made once."""
    try:
        return pwd.getpwnam(name)
    except KeyError:
        subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", name],
                       check=True, timeout=30)
        return pwd.getpwnam(name)


def screenshot(program):
    """The whole screen at its size in pixels, decoded."""
    code, body, _ = program.request("POST", "/screenshot", {"format": "png", "width": WIDTH, "height": HEIGHT})
    assert code == 200, body
    return decode(base64.b64decode(body["base64"]))


def find_window(picture, colour):
    """(left, top, a point well inside) of the largest stretch of the picture in the colour,
    its top-left corner found from the point along its row and column; None when absent."""
    width, height, rows = picture
    target = bytes(colour)

    def is_colour(x, y):
        return 0 <= x < width and 0 <= y < height and rows[y][x * 3:x * 3 + 3] == target

    inside = [(x, y) for y in range(0, height, 10) for x in range(0, width, 10)
              if all(is_colour(x + dx, y + dy) for dx in (-30, 0, 30) for dy in (-30, 0, 30))]
    if not inside:
        return None
    x, y = inside[len(inside) // 2]
    left, top = x, y
    while is_colour(left - 1, y):
        left -= 1
    while is_colour(x, top - 1):
        top -= 1
    return left, top, (x, y)


class UserSession:
    """The session's user, folders, environment and buses; a desktop adds its compositor in
    start_desktop(), called once the buses are up."""

    def __init__(self, user, prefix, environment):
        if os.geteuid() != 0:
            raise RuntimeError("the desktop tests start the desktop as a user of their own, which needs root")
        self.user = test_user(user)
        self.processes = []
        self.started_at = time.monotonic()
        self.dir = tempfile.mkdtemp(prefix=prefix)
        os.chmod(self.dir, 0o755)
        self.home = os.path.join(self.dir, "home")
        self.runtime = os.path.join(self.dir, "run")
        for path, mode in ((self.home, 0o755), (self.runtime, 0o700)):
            os.mkdir(path, mode)
            os.chown(path, self.user.pw_uid, self.user.pw_gid)
        self.log_path = os.path.join(self.dir, "log")
        self.log = open(self.log_path, "w")
        self.session_bus = "unix:path=" + os.path.join(self.runtime, "bus")
        self.system_bus = "unix:path=" + os.path.join(self.runtime, "system_bus")
        self.base_env = {
            "HOME": self.home, "USER": user, "LOGNAME": user, "PATH": "/usr/bin:/bin",
            "XDG_RUNTIME_DIR": self.runtime, "XDG_SESSION_TYPE": "wayland",
            "DBUS_SESSION_BUS_ADDRESS": self.session_bus, "DBUS_SYSTEM_BUS_ADDRESS": self.system_bus,
            "NO_AT_BRIDGE": "1", "GTK_A11Y": "none", "LANG": "C.UTF-8", **environment}
        try:
            for address in (self.session_bus, self.system_bus):
                self._spawn(["dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address])
            self._wait("the buses", lambda: all(os.path.exists(a.split("=", 1)[1]) for a in
                                                (self.session_bus, self.system_bus)), 10)
            self.start_desktop()
        except Exception:
            self.stop()
            raise
        self.start_seconds = time.monotonic() - self.started_at

    def start_desktop(self):
        raise NotImplementedError

    def as_user(self, argv):
        """argv run as the desktop's user."""
        return ["setpriv", f"--reuid={self.user.pw_uid}", f"--regid={self.user.pw_gid}", "--clear-groups", *argv]

    def _spawn(self, argv, env=None):
        process = subprocess.Popen(self.as_user(argv), env={**self.base_env, **(env or {})}, stdin=subprocess.DEVNULL,
                                   stdout=self.log, stderr=subprocess.STDOUT, cwd=self.home)
        self.processes.append(process)
        return process

    def spawn_piped(self, argv, env=None):
        """A helper of the tests in the session, as the desktop's user, talking through pipes;
        stopped by its caller."""
        return subprocess.Popen(self.as_user(argv), env={**self.base_env, **(env or {})}, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=self.log, cwd=self.home, text=True)

    def run(self, argv, timeout=30, check=True):
        """A short command as the desktop's user, in its session; its output."""
        result = subprocess.run(
            self.as_user(argv), env=self.base_env, capture_output=True, text=True, timeout=timeout, cwd=self.home)
        if check and result.returncode != 0:
            raise RuntimeError(f"{argv[0]} failed: {result.stderr.strip()}")
        return result.stdout

    def _wait(self, what, ready, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for process in self.processes:
                if process.poll() is not None:
                    raise RuntimeError(f"{process.args[4]} ended while waiting for {what}: {self.log_tail()}")
            if ready():
                return
            time.sleep(0.05)
        raise RuntimeError(f"{what} did not come within {timeout} s: {self.log_tail()}")

    def _bus_names(self):
        result = subprocess.run(
            self.as_user(["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
             "org.freedesktop.DBus.ListNames"]), env=self.base_env, capture_output=True, text=True, timeout=10)
        return result.stdout

    def env(self):
        """What the program and clients need to find this desktop and its buses."""
        return {key: self.base_env[key] for key in (
            "HOME", "XDG_RUNTIME_DIR", "XDG_CURRENT_DESKTOP", "XDG_SESSION_TYPE", "WAYLAND_DISPLAY",
            "DBUS_SESSION_BUS_ADDRESS", "DBUS_SYSTEM_BUS_ADDRESS")}

    def state_folder(self):
        """A new state folder of the desktop's user, where a grant's token is kept."""
        folder = tempfile.mkdtemp(prefix="state-", dir=self.dir)
        os.chown(folder, self.user.pw_uid, self.user.pw_gid)
        return folder

    def start_program(self, state):
        """The program as the desktop's user, keeping its state in `state`."""
        return Program(env=dict(self.env(), XDG_STATE_HOME=state), user=self.user)

    def log_tail(self):
        self.log.flush()
        with open(self.log_path, errors="replace") as f:
            return f.read()[-3000:]

    def stop(self):
        if getattr(self, "hand", None):
            self.hand.stop()
        # The compositor first, so that it does not see its buses go away under it.
        for process in reversed(self.processes):
            _stop(process)
        # The services that the session bus started on demand (the portals, the permission
        # store, XWayland's helpers) are known by the runtime directory in their environment.
        for pid in self._session_processes():
            try:
                os.kill(pid, 9)
            except ProcessLookupError:
                pass
        self.log.close()
        # The document portal mounts its folder in the runtime directory; killed, it leaves
        # the mount behind.
        subprocess.run(["umount", "--lazy", os.path.join(self.runtime, "doc")], capture_output=True)
        shutil.rmtree(self.dir, ignore_errors=True)

    def _session_processes(self):
        marker = ("XDG_RUNTIME_DIR=" + self.runtime).encode()
        found = []
        for name in os.listdir("/proc"):
            if not name.isdigit():
                continue
            try:
                if os.stat(f"/proc/{name}").st_uid != self.user.pw_uid:
                    continue
                with open(f"/proc/{name}/environ", "rb") as f:
                    if marker in f.read().split(b"\0"):
                        found.append(int(name))
            except OSError:
                pass
        return found

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class DesktopGtkClient(EventClient):
    """The GTK test client (gtk_client.py) as a window of the desktop, as its user: a window of
    one colour that reports its input, its text and its clipboard as JSON lines. `x11` runs it
    on the desktop's XWayland instead of Wayland, where `place` ("X,Y") is where it asks to be."""

    def __init__(self, desktop, colour, title, x11=False, place=None):
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "gtk_client.py")
        env = {**desktop.env(), "GDK_BACKEND": "x11" if x11 else "wayland", "NO_AT_BRIDGE": "1",
               "GSETTINGS_BACKEND": "memory"}
        self.colour = tuple(bytes.fromhex(colour))
        self.title = title
        argv = ["/usr/bin/python3", script, colour, title] + ([place] if place else [])
        self.process = subprocess.Popen(desktop.as_user(argv), env=env,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        cwd=desktop.home)
        self.buffer = b""
        ready = self.next_event(15)
        if not ready or ready.get("event") != "ready":
            err = self.stop()
            raise RuntimeError(f"the GTK client did not get ready: {ready!r} {err!r}")
        self.pid = ready["pid"]
        # Mapped and drawn: the shell animates a new window in.
        time.sleep(1.0)
        self.drain(0.3)

    def command(self, **command):
        self.process.stdin.write((json.dumps(command) + "\n").encode())
        self.process.stdin.flush()

    def copy(self, text):
        self.command(copy=text)
        self.events_until(lambda events: any(e["event"] == "copied" for e in events), 5)

    def clipboard(self):
        self.command(clipboard=None)
        events = self.events_until(lambda events: any(e["event"] == "clipboard" for e in events), 5)
        return next(e["text"] for e in events if e["event"] == "clipboard")
