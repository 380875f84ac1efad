"""The Wayland side of the end-to-end tests: a private headless sway and a GTK client.

sway refuses to run as root, so it runs as an unprivileged user made for the tests, in a
runtime directory of its own; the program under test, as root, can still open its socket.
Everything is stopped by process id. A compositor that cannot start fails the test with the
reason.
"""

import json
import os
import pwd
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


class SwayDesktop:
    """sway with one headless output of the given size and scale. Windows of the test client
    open fullscreen, so their own coordinates are the output's."""

    def __init__(self, width=1280, height=800, scale=1, extra_config=""):
        if not shutil.which("sway"):
            raise RuntimeError("sway is not installed (Debian package sway)")
        if os.geteuid() != 0:
            raise RuntimeError("the Wayland tests start sway as a user of their own, which needs root")
        user = test_user()
        self.dir = tempfile.mkdtemp(prefix="velmar-sway-")
        os.chmod(self.dir, 0o755)
        self.runtime = os.path.join(self.dir, "run")
        os.mkdir(self.runtime, 0o700)
        os.chown(self.runtime, user.pw_uid, user.pw_gid)
        config = os.path.join(self.dir, "config")
        with open(config, "w") as f:
            f.write(f"output HEADLESS-1 resolution {width}x{height} position 0 0 scale {scale} bg #202020 solid_color\n"
                    f"for_window [app_id=\"{APP_ID}\"] fullscreen enable\n"
                    "default_border none\n"
                    f"{extra_config}\n")
        os.chmod(config, 0o644)
        self.log = open(os.path.join(self.dir, "log"), "w")
        env = {"XDG_RUNTIME_DIR": self.runtime, "WLR_BACKENDS": "headless", "WLR_RENDERER": "pixman",
               "WLR_LIBINPUT_NO_DEVICES": "1", "HOME": self.dir, "PATH": "/usr/bin:/bin"}
        self.process = subprocess.Popen(
            ["setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}", "--clear-groups", "sway", "-c", config],
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
        shutil.rmtree(self.dir, ignore_errors=True)

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
