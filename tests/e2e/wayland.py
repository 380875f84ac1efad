"""The Wayland side of the end-to-end tests: a private headless sway, a headless Weston with
XWayland, and a GTK client.

The compositors refuse to run as root, so they run as an unprivileged user made for the
tests, in a runtime directory of its own; the program under test, as root, can still open
their sockets. Everything is stopped by process id. A compositor that cannot start fails the
test with the reason.
"""

import json
import os
import pwd
import re
import shutil
import subprocess
import tempfile
import time

from harness import EventClient, _environment, _stop

TEST_USER = "velmar-wayland"
APP_ID = "velmar-test-gtk"


def test_user():
    """The unprivileged user sway runs as, made once."""
    try:
        return pwd.getpwnam(TEST_USER)
    except KeyError:
        subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", TEST_USER],
                       check=True, timeout=30)
        return pwd.getpwnam(TEST_USER)


class UserRuntime:
    """A directory for a compositor run as the test user: readable by everyone, with the
    user's own runtime directory (mode 0700) inside it."""

    def __init__(self, prefix):
        if os.geteuid() != 0:
            raise RuntimeError("the Wayland tests start their compositor as a user of their own, which needs root")
        self.user = test_user()
        self.dir = tempfile.mkdtemp(prefix=prefix)
        os.chmod(self.dir, 0o755)
        self.runtime = os.path.join(self.dir, "run")
        os.mkdir(self.runtime, 0o700)
        os.chown(self.runtime, self.user.pw_uid, self.user.pw_gid)

    def as_user(self, argv):
        """argv run as the test user, with no groups of root's."""
        return ["setpriv", f"--reuid={self.user.pw_uid}", f"--regid={self.user.pw_gid}", "--clear-groups", *argv]

    def remove(self):
        shutil.rmtree(self.dir, ignore_errors=True)


class SwayDesktop:
    """sway with one headless output of the given size, scale and refresh rate (Hz, sway's
    default when None). Windows of the test client open fullscreen, so their own coordinates
    are the output's."""

    def __init__(self, width=1280, height=800, scale=1, extra_config="", refresh=None):
        if not shutil.which("sway"):
            raise RuntimeError("sway is not installed (Debian package sway)")
        self.home = UserRuntime("velmar-sway-")
        self.dir, self.runtime = self.home.dir, self.home.runtime
        config = os.path.join(self.dir, "config")
        with open(config, "w") as f:
            rate = f"@{refresh}Hz" if refresh else ""
            f.write(f"output HEADLESS-1 resolution {width}x{height}{rate} position 0 0 scale {scale}"
                    " bg #202020 solid_color\n"
                    f"for_window [app_id=\"{APP_ID}\"] fullscreen enable\n"
                    "default_border none\n"
                    f"{extra_config}\n")
        os.chmod(config, 0o644)
        self.log = open(os.path.join(self.dir, "log"), "w")
        env = {"XDG_RUNTIME_DIR": self.runtime, "WLR_BACKENDS": "headless", "WLR_RENDERER": "pixman",
               "WLR_LIBINPUT_NO_DEVICES": "1", "HOME": self.dir, "PATH": "/usr/bin:/bin"}
        self.process = subprocess.Popen(self.home.as_user(["sway", "-c", config]),
                                        env=env, stdout=self.log, stderr=subprocess.STDOUT, cwd=self.dir)
        deadline = time.monotonic() + 15
        self.display = self.socket = None
        while time.monotonic() < deadline and self.process.poll() is None:
            names = os.listdir(self.runtime)
            wayland = [n for n in names if n.startswith("wayland-") and not n.endswith(".lock")]
            ipc = [n for n in names if n.startswith("sway-ipc.")]
            if wayland and ipc:
                self.display, self.socket = wayland[0], os.path.join(self.runtime, ipc[0])
                if self.swaymsg("-t", "get_outputs", check=False).returncode == 0:
                    break
            time.sleep(0.05)
        else:
            self.stop()
            raise RuntimeError("sway did not start: " + open(os.path.join(self.dir, "log")).read()[-2000:])

    def env(self):
        """What the program and clients need to find this desktop (and no X server)."""
        return {"XDG_RUNTIME_DIR": self.runtime, "WAYLAND_DISPLAY": self.display, "DISPLAY": ""}

    def swaymsg(self, *args, check=True):
        return subprocess.run(["swaymsg", "-s", self.socket, *args], capture_output=True, text=True, timeout=30,
                              check=check)

    def tree(self):
        return json.loads(self.swaymsg("-t", "get_tree").stdout)

    def stop(self):
        _stop(self.process)
        self.log.close()
        self.home.remove()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class WestonDesktop:
    """A headless Weston with XWayland: a Wayland desktop that offers none of the protocols
    the program drives a desktop through, reached by X clients through its XWayland. Weston
    starts XWayland when the first X client connects; that client lets root's clients in
    (XWayland admits only its own user at first), so the program and the test client can
    connect as root."""

    SOCKET = "velmar-weston"

    def __init__(self, width=1024, height=640):
        for program in ("weston", "Xwayland", "xhost"):
            if not shutil.which(program):
                raise RuntimeError(f"{program} is not installed (Debian packages weston, xwayland, x11-xserver-utils)")
        self.home = UserRuntime("velmar-weston-")
        self.log_path = os.path.join(self.home.dir, "log")
        env = {"XDG_RUNTIME_DIR": self.home.runtime, "HOME": self.home.dir, "PATH": "/usr/bin:/bin"}
        with open(self.log_path, "w") as log:
            self.process = subprocess.Popen(
                self.home.as_user(["weston", "--backend=headless-backend.so", f"--width={width}",
                                   f"--height={height}", "--xwayland", f"--socket={self.SOCKET}", "--idle-time=0"]),
                env=env, stdout=log, stderr=subprocess.STDOUT, cwd=self.home.dir)
        try:
            self.display = self._x_display()
            # The first X client starts XWayland; it may take a moment to accept clients.
            deadline = time.monotonic() + 15
            while True:
                allowed = subprocess.run(self.home.as_user(["xhost", "+si:localuser:root"]), capture_output=True,
                                         text=True, timeout=20, env=dict(env, DISPLAY=self.display))
                if allowed.returncode == 0:
                    break
                if self.process.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("XWayland did not let root in: " + allowed.stderr + self._log())
                time.sleep(0.1)
        except Exception:
            self.stop()
            raise

    def _x_display(self):
        """The X display Weston listens on for XWayland, as its log reports it."""
        deadline = time.monotonic() + 15
        while self.process.poll() is None and time.monotonic() < deadline:
            found = re.search(r"xserver listening on display (:\d+)", self._log())
            if found:
                return found.group(1)
            time.sleep(0.05)
        raise RuntimeError("weston did not start XWayland: " + self._log())

    def _log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()[-2000:]

    def env(self):
        """The session as a program started in it sees it: a Wayland display and XWayland's X
        display."""
        return {"XDG_RUNTIME_DIR": self.home.runtime, "WAYLAND_DISPLAY": self.SOCKET, "DISPLAY": self.display}

    def stop(self):
        _stop(self.process)
        self.home.remove()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class GtkClient(EventClient):
    """The GTK test client (gtk_client.py): a fullscreen window of one colour that reports its
    input and its text as JSON lines."""

    def __init__(self, desktop, colour="336699", title="Velmar Test"):
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "gtk_client.py")
        env = _environment({**desktop.env(), "GDK_BACKEND": "wayland", "NO_AT_BRIDGE": "1",
                            "GSETTINGS_BACKEND": "memory"})
        # Debian's own Python, which has the GTK bindings (python3-gi).
        self.process = subprocess.Popen(["/usr/bin/python3", script, colour, title], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self.buffer = b""
        self.pid = self.process.pid
        ready = self.next_event(15)
        if not ready or ready.get("event") != "ready":
            err = self.stop()
            raise RuntimeError(f"the GTK client did not get ready: {ready!r} {err!r}")
        # Shown, fullscreen and focused: sway says so once the window has its size.
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            node = self.node(desktop)
            if node and node.get("focused") and node["rect"]["width"] > 0 and node.get("fullscreen_mode") == 1:
                break
            time.sleep(0.05)
        self.drain(0.3)

    def recolour(self, colour):
        """Repaints the window in the colour (RRGGBB) and returns once the compositor has the
        new picture of it: the change is made, though perhaps not yet on the output."""
        self.process.stdin.write(json.dumps({"colour": colour}).encode() + b"\n")
        self.process.stdin.flush()
        events = self.events_until(lambda es: any(e["event"] == "coloured" for e in es), 10)
        if not any(e["event"] == "coloured" for e in events):
            raise AssertionError(f"the GTK client did not repaint in {colour}")

    def node(self, desktop):
        """The client's window in sway's tree."""
        def walk(node):
            if node.get("pid") == self.pid:
                return node
            for child in node.get("nodes", []) + node.get("floating_nodes", []):
                found = walk(child)
                if found:
                    return found
            return None
        return walk(desktop.tree())
