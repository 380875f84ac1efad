"""The GNOME side of the end-to-end tests: a private headless GNOME Shell on Wayland with its
own buses, PipeWire and WirePlumber, the desktop portals, and a hand that answers their
dialogs the way a user at the desktop would.

It runs as an unprivileged user made for the tests (GNOME Shell, like sway, is a user's
program) in a session of its own (user_session.py); gnome-shell's login-manager code gives up
at start without the stand-in for the system bus.
"""

import glob
import json
import os
import re
import select
import shutil
import time

from harness import _stop

from user_session import HEIGHT, WIDTH, DesktopGtkClient, UserSession, status, wait_status  # noqa: F401

TEST_USER = "velmar-gnome"
WAYLAND_DISPLAY = "wayland-velmar"
# The GTK test client as a window of this desktop.
GnomeGtkClient = DesktopGtkClient


class GnomeDesktop(UserSession):
    """gnome-shell --headless with one virtual monitor, as TEST_USER. `extensions` are folders
    copied into the user's extensions folder and enabled before the shell starts."""

    def __init__(self, extensions=(), x11=True):
        for program in ("gnome-shell", "dbus-daemon", "pipewire", "wireplumber", "/usr/libexec/xdg-desktop-portal"):
            if not shutil.which(program):
                raise RuntimeError(f"{program} is not installed (Debian packages gnome-shell, dbus, pipewire, "
                                   "wireplumber, xdg-desktop-portal, xdg-desktop-portal-gnome)")
        self.extensions = extensions
        self.x11 = x11
        super().__init__(TEST_USER, "velmar-gnome-", {
            "XDG_CURRENT_DESKTOP": "GNOME", "XDG_SESSION_DESKTOP": "gnome", "WAYLAND_DISPLAY": WAYLAND_DISPLAY})

    def start_desktop(self):
        # Services the session bus starts on demand (the portals, the permission store) take
        # their environment from the bus.
        self.run(["dbus-update-activation-environment", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP",
                  "XDG_SESSION_TYPE", "DBUS_SYSTEM_BUS_ADDRESS", "XDG_SESSION_DESKTOP", "NO_AT_BRIDGE", "GTK_A11Y"])
        self._install_extensions(self.extensions)
        self._spawn(["pipewire"])
        self._wait("PipeWire", lambda: os.path.exists(os.path.join(self.runtime, "pipewire-0")), 10)
        self._spawn(["wireplumber"])
        argv = ["gnome-shell", "--headless", "--wayland", "--virtual-monitor", f"{WIDTH}x{HEIGHT}",
                f"--wayland-display={WAYLAND_DISPLAY}"]
        if not self.x11:
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
        return {**super().env(), **self.x11_env()}

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
        its log, the authority file it writes in the runtime directory; nothing without one."""
        self.log.flush()
        with open(self.log_path, errors="replace") as f:
            found = re.search(r"Using public X11 display (:\d+)", f.read())
        cookies = glob.glob(os.path.join(self.runtime, ".mutter-Xwaylandauth.*"))
        if not found or not cookies:
            return {}
        return {"DISPLAY": found.group(1), "XAUTHORITY": cookies[0]}


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
