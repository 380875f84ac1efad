"""The KDE side of the end-to-end tests: a private headless KWin (KDE Plasma's compositor) on
Wayland with its XWayland, in a session of its own (user_session.py), and the desktop files
that make KWin trust a program.

KWin carries a file capability that a sandbox without it refuses to run; a copy of the
binary, which drops it, runs as an ordinary user. KWin offers its privileged interfaces (fake
input, window management, the screenshot service) only to executables that a desktop file in
an applications folder names.
"""

import os
import re
import shutil
import subprocess
import time

from user_session import HEIGHT, WIDTH, DesktopGtkClient, UserSession, status, wait_status  # noqa: F401

TEST_USER = "velmar-kde"
WAYLAND_DISPLAY = "wayland-kde"
# What the program asks KWin for, as the package's desktop file declares it.
WAYLAND_INTERFACES = "org_kde_kwin_fake_input,org_kde_plasma_window_management"
DBUS_INTERFACES = "org.kde.KWin.ScreenShot2"


class KdeDesktop(UserSession):
    """kwin_wayland --virtual with one 1920x1080 output and XWayland, as TEST_USER."""

    def __init__(self):
        for program in ("kwin_wayland", "dbus-daemon", "Xwayland"):
            if not shutil.which(program):
                raise RuntimeError(f"{program} is not installed (Debian packages kwin-wayland, dbus, xwayland)")
        super().__init__(TEST_USER, "velmar-kde-", {
            "XDG_CURRENT_DESKTOP": "KDE", "XDG_SESSION_DESKTOP": "KDE", "WAYLAND_DISPLAY": WAYLAND_DISPLAY,
            "KDE_FULL_SESSION": "true", "QT_QPA_PLATFORM": "wayland"})

    def start_desktop(self):
        os.makedirs(self.applications())
        os.chown(os.path.dirname(os.path.dirname(self.applications())), self.user.pw_uid, self.user.pw_gid)
        bin_dir = os.path.join(self.dir, "bin")
        os.mkdir(bin_dir)
        kwin = os.path.join(bin_dir, "kwin_wayland")
        shutil.copyfile(shutil.which("kwin_wayland"), kwin)
        os.chmod(kwin, 0o755)
        self.kwin_binary = kwin
        self._start_kwin()

    def _start_kwin(self):
        self.kwin = self._spawn([self.kwin_binary, "--virtual", "--width", str(WIDTH), "--height", str(HEIGHT),
                                 "--socket", WAYLAND_DISPLAY, "--no-lockscreen", "--xwayland"])
        self._wait("KWin", lambda: os.path.exists(os.path.join(self.runtime, WAYLAND_DISPLAY))
                   and '"org.kde.KWin"' in self._bus_names(), 60)
        self._wait("XWayland", lambda: self.x11_env(), 30)

    def stop_kwin(self):
        """KWin gone, with its XWayland and every window; the buses stay."""
        self.processes.remove(self.kwin)
        self.kwin.terminate()
        try:
            self.kwin.wait(10)
        except subprocess.TimeoutExpired:
            self.kwin.kill()
            self.kwin.wait()
        self._wait("KWin to leave the bus", lambda: '"org.kde.KWin"' not in self._bus_names(), 10)

    def start_kwin_again(self):
        self._start_kwin()

    def applications(self):
        return os.path.join(self.home, ".local", "share", "applications")

    def trust(self, executable, name="velmar-computer-use-test"):
        """A desktop file that makes KWin trust `executable` with what the program asks for."""
        path = os.path.join(self.applications(), name + ".desktop")
        with open(path, "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=Velmar Computer Use\n"
                    f"Exec={executable}\nNoDisplay=true\n"
                    f"X-KDE-Wayland-Interfaces={WAYLAND_INTERFACES}\n"
                    f"X-KDE-DBUS-Restricted-Interfaces={DBUS_INTERFACES}\n")
        for folder in (self.applications(), os.path.dirname(self.applications())):
            os.chown(folder, self.user.pw_uid, self.user.pw_gid)
        os.chown(path, self.user.pw_uid, self.user.pw_gid)
        return path

    def x11_env(self):
        """DISPLAY and XAUTHORITY of KWin's XWayland, read from its command line; nothing
        before it runs."""
        for pid in self._session_processes():
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as f:
                    argv = [a.decode() for a in f.read().split(b"\0") if a]
            except OSError:
                continue
            if argv and os.path.basename(argv[0]) == "Xwayland":
                display = next((a for a in argv if re.fullmatch(r":\d+", a)), None)
                auth = argv[argv.index("-auth") + 1] if "-auth" in argv else None
                if display:
                    return {"DISPLAY": display, **({"XAUTHORITY": auth} if auth else {})}
        return {}

    def env(self):
        return {**super().env(), **self.x11_env()}
