"""The GNOME side of the end-to-end tests: a private headless GNOME Shell on Wayland with its
own buses, PipeWire and WirePlumber, the desktop portals, and a hand that answers their
dialogs the way a user at the desktop would.

Everything runs as an unprivileged user made for the tests (GNOME Shell, like sway, is a
user's program), in a home and a runtime directory of its own. A second dbus-daemon stands
in for the system bus: gnome-shell's login-manager code gives up at start without one.
Everything is stopped by process id. A desktop that cannot start fails the test with the
reason.
"""

import glob
import json
import os
import pwd
import re
import select
import shutil
import subprocess
import tempfile
import time

from harness import EventClient, Program, _stop

TEST_USER = "velmar-gnome"
WIDTH, HEIGHT = 1920, 1080
WAYLAND_DISPLAY = "wayland-velmar"


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


def test_user():
    """The unprivileged user the desktop runs as, made once."""
    try:
        return pwd.getpwnam(TEST_USER)
    except KeyError:
        subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", TEST_USER],
                       check=True, timeout=30)
        return pwd.getpwnam(TEST_USER)


class GnomeDesktop:
    """gnome-shell --headless with one virtual monitor, as TEST_USER. `extensions` are folders
    copied into the user's extensions folder and enabled before the shell starts."""

    def __init__(self, extensions=(), x11=True):
        for program in ("gnome-shell", "dbus-daemon", "pipewire", "wireplumber", "/usr/libexec/xdg-desktop-portal"):
            if not shutil.which(program):
                raise RuntimeError(f"{program} is not installed (Debian packages gnome-shell, dbus, pipewire, "
                                   "wireplumber, xdg-desktop-portal, xdg-desktop-portal-gnome)")
        if os.geteuid() != 0:
            raise RuntimeError("the GNOME tests start the desktop as a user of their own, which needs root")
        self.user = test_user()
        self.processes = []
        self.started_at = time.monotonic()
        self.dir = tempfile.mkdtemp(prefix="velmar-gnome-")
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
            "HOME": self.home, "USER": TEST_USER, "LOGNAME": TEST_USER, "PATH": "/usr/bin:/bin",
            "XDG_RUNTIME_DIR": self.runtime, "XDG_CURRENT_DESKTOP": "GNOME", "XDG_SESSION_TYPE": "wayland",
            "XDG_SESSION_DESKTOP": "gnome", "WAYLAND_DISPLAY": WAYLAND_DISPLAY,
            "DBUS_SESSION_BUS_ADDRESS": self.session_bus, "DBUS_SYSTEM_BUS_ADDRESS": self.system_bus,
            "NO_AT_BRIDGE": "1", "GTK_A11Y": "none", "LANG": "C.UTF-8"}
        try:
            self._start(extensions, x11)
        except Exception:
            self.stop()
            raise
        self.start_seconds = time.monotonic() - self.started_at

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

    def _start(self, extensions, x11):
        for address in (self.session_bus, self.system_bus):
            self._spawn(["dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address])
        self._wait("the buses", lambda: all(os.path.exists(a.split("=", 1)[1]) for a in
                                            (self.session_bus, self.system_bus)), 10)
        # Services the session bus starts on demand (the portals, the permission store) take
        # their environment from the bus.
        self.run(["dbus-update-activation-environment", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP",
                  "XDG_SESSION_TYPE", "DBUS_SYSTEM_BUS_ADDRESS", "XDG_SESSION_DESKTOP", "NO_AT_BRIDGE", "GTK_A11Y"])
        self._install_extensions(extensions)
        self._spawn(["pipewire"])
        self._wait("PipeWire", lambda: os.path.exists(os.path.join(self.runtime, "pipewire-0")), 10)
        self._spawn(["wireplumber"])
        argv = ["gnome-shell", "--headless", "--wayland", "--virtual-monitor", f"{WIDTH}x{HEIGHT}",
                f"--wayland-display={WAYLAND_DISPLAY}"]
        if not x11:
            argv.append("--no-x11")
        self.shell = self._spawn(argv)
        self._wait("GNOME Shell", lambda: "org.gnome.Mutter.RemoteDesktop" in self._bus_names()
                   and '"org.gnome.Shell"' in self._bus_names(), 60)
        # The shell opens the overview at start; the hand closes it with Escape, and its
        # first key settles the virtual devices of the headless seat.
        self.hand = Hand(self)
        self.hand.key(KEY_ESCAPE)
        self._wait("the overview to close", lambda: not self.hand.overview_visible(), 10)

    def _install_extensions(self, extensions):
        if not extensions:
            return
        folder = os.path.join(self.home, ".local", "share", "gnome-shell", "extensions")
        os.makedirs(folder)
        uuids = []
        for source in extensions:
            uuid = os.path.basename(os.path.normpath(source))
            shutil.copytree(source, os.path.join(folder, uuid))
            uuids.append(uuid)
        for root, dirs, files in os.walk(os.path.join(self.home, ".local")):
            for name in dirs + files + [""]:
                os.chown(os.path.join(root, name), self.user.pw_uid, self.user.pw_gid)
        self.run(["gsettings", "set", "org.gnome.shell", "enabled-extensions", repr(uuids)])

    def env(self):
        """What the program and clients need to find this desktop, its buses, PipeWire and
        its XWayland (as a session sets DISPLAY and XAUTHORITY)."""
        env = {key: self.base_env[key] for key in (
            "HOME", "XDG_RUNTIME_DIR", "XDG_CURRENT_DESKTOP", "XDG_SESSION_TYPE", "WAYLAND_DISPLAY",
            "DBUS_SESSION_BUS_ADDRESS", "DBUS_SYSTEM_BUS_ADDRESS")}
        env.update(self.x11_env())
        return env

    def state_folder(self):
        """A new state folder of the desktop's user, where a grant's token is kept."""
        folder = tempfile.mkdtemp(prefix="state-", dir=self.dir)
        os.chown(folder, self.user.pw_uid, self.user.pw_gid)
        return folder

    def start_program(self, state):
        """The program as the desktop's user, keeping its state in `state`."""
        return Program(env=dict(self.env(), XDG_STATE_HOME=state), user=self.user)

    def grant_screen(self, program):
        """A request for the screen, answered with "Share" in the dialog it shows; the status
        after."""
        code, body, _ = program.request("POST", "/request", {"what": "screen"})
        assert code == 200, body
        wait_status(program, lambda b: "waiting for the user" in b["screen_detail"])
        time.sleep(1.5)  # the dialog fades in
        self.hand.share_screen()
        return wait_status(program, lambda b: b["screen"] == "granted")

    def grant_input(self, program):
        """A request for accessibility, answered with input allowed in the dialog it shows;
        the status after."""
        code, body, _ = program.request("POST", "/request", {"what": "accessibility"})
        assert code == 200, body
        time.sleep(2.0)
        self.hand.allow_remote_desktop()
        return wait_status(program, lambda b: b["accessibility"])

    def x11_env(self):
        """DISPLAY and XAUTHORITY of the desktop's XWayland: the display the shell reports in
        its log, the authority file it writes in the runtime directory."""
        self.log.flush()
        with open(self.log_path, errors="replace") as f:
            found = re.search(r"Using public X11 display (:\d+)", f.read())
        cookies = glob.glob(os.path.join(self.runtime, ".mutter-Xwaylandauth.*"))
        if not found or not cookies:
            return {}
        return {"DISPLAY": found.group(1), "XAUTHORITY": cookies[0]}

    def x11_env(self):
        """DISPLAY and XAUTHORITY of the shell's XWayland, for X clients: mutter picks the
        display number and writes the cookie into the runtime directory."""
        self.log.flush()
        with open(self.log_path, errors="replace") as f:
            found = re.search(r"Using public X11 display (:\d+)", f.read())
        cookies = glob.glob(os.path.join(self.runtime, ".mutter-Xwaylandauth.*"))
        if not found or not cookies:
            raise RuntimeError(f"the shell started no XWayland: {self.log_tail()}")
        return {"DISPLAY": found.group(1), "XAUTHORITY": cookies[0], "GDK_BACKEND": "x11"}

    def log_tail(self):
        self.log.flush()
        with open(self.log_path, errors="replace") as f:
            return f.read()[-3000:]

    def stop(self):
        if getattr(self, "hand", None):
            self.hand.stop()
        # The shell first, so that it does not see its buses and PipeWire go away under it.
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


KEY_ESCAPE = 0xff1b
KEY_RETURN = 0xff0d
KEY_TAB = 0xff09


class Hand:
    """A user's hand at the desktop (gnome_hand.py, run as the desktop's user). The tests use
    it only to answer the consent dialogs as a user would, never to do the program's work."""

    def __init__(self, desktop):
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "gnome_hand.py")
        self.process = desktop.spawn_piped(["/usr/bin/python3", script])
        ready = self._answer(15)
        if ready != {"ready": True}:
            raise RuntimeError(f"the hand did not get ready: {ready!r} {desktop.log_tail()}")

    def _answer(self, timeout):
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        line = self.process.stdout.readline() if ready else ""
        return json.loads(line) if line else None

    def _do(self, command):
        self.process.stdin.write(json.dumps(command) + "\n")
        self.process.stdin.flush()
        answer = self._answer(15)
        if not answer or "error" in answer:
            raise RuntimeError(f"the hand could not {command!r}: {answer!r}")
        return answer["ok"]

    def key(self, keysym):
        self._do({"key": keysym})

    def click(self, x, y):
        self._do({"click": [x, y]})

    def move(self, x, y):
        self._do({"move": [x, y]})

    def overview_visible(self):
        return self._do({"overview": None})

    # The consent dialogs sit in the middle of the 1920x1080 monitor. The screen-sharing one
    # lists the monitor unselected, with "Share" greyed out until it is chosen; the
    # remote-desktop one lists it chosen, with its "Allow remote interaction" switch off.
    SHARE_BUTTON = (1172, 428)
    MONITOR_ROW = (960, 582)
    INTERACTION_SWITCH = (1150, 626)

    def share_screen(self):
        """Chooses the monitor in the screen-sharing dialog and presses "Share"."""
        self.click(*self.MONITOR_ROW)
        time.sleep(0.3)
        self.click(*self.SHARE_BUTTON)

    def allow_remote_desktop(self, interaction=True):
        """Answers the remote-desktop dialog with "Share", the switch for input turned on or
        left off."""
        if interaction:
            self.click(*self.INTERACTION_SWITCH)
            time.sleep(0.3)
        self.click(*self.SHARE_BUTTON)

    def cancel_dialog(self):
        self.key(KEY_ESCAPE)

    def stop(self):
        self.process.stdin.close()
        _stop(self.process)
        self.process.stdout.close()


class GnomeGtkClient(EventClient):
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
