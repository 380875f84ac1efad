"""Shared pieces of the end-to-end tests: the real binary, a private X server, a private
sound server, raw HTTP.

Everything here starts real processes and stops them by process id. A server that cannot
start fails the test with the reason: a skipped real-platform test is no pass.
"""

import contextlib
import json
import os
import random
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from openapi_check import check_answer

BINARY = os.environ.get("VELMAR_BINARY", os.path.join(os.path.dirname(__file__), "..", "..", "build", "velmar-computer-use"))
BUILD_DIR = os.environ.get("VELMAR_BUILD_DIR", os.path.dirname(BINARY))
# A sound server that is never there: without it the program would look for the user's.
NO_PULSE = {"PULSE_SERVER": "unix:/nonexistent/velmar/native"}


def _environment(extra=None):
    env = dict(os.environ)
    # The display server is the one the test names: a Wayland desktop the tests run inside
    # would otherwise take the place of their own X server.
    env.pop("WAYLAND_DISPLAY", None)
    # A leak report at exit would turn every deliberate exit code into a failure.
    env.setdefault("ASAN_OPTIONS", "detect_leaks=0")
    if extra:
        env.update(extra)
    return env


def _start_x_server(argv, what):
    """Starts an X server that reports its display number on a pipe (-displayfd); returns
    the process and the display name once the server accepts connections."""
    read_end, write_end = os.pipe()
    process = subprocess.Popen(argv[:1] + ["-displayfd", str(write_end)] + argv[1:], pass_fds=(write_end,),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    deadline = time.monotonic() + 10
    try:
        while not number.endswith(b"\n"):
            ready, _, _ = select.select([read_end], [], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                raise RuntimeError(f"{what} did not report a display within 10 s")
            chunk = os.read(read_end, 16)
            if not chunk:
                raise RuntimeError(f"{what} exited before reporting a display")
            number += chunk
    except RuntimeError:
        _stop(process)
        raise
    finally:
        os.close(read_end)
    return process, ":" + number.decode().strip()


def _stop(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def unused_display_number():
    """A number far from the low ones that -displayfd hands out, so that a server can be
    started again on it without another test taking it in between."""
    for _ in range(100):
        number = random.randrange(300, 1000)
        if not os.path.exists(f"/tmp/.X11-unix/X{number}") and not os.path.exists(f"/tmp/.X{number}-lock"):
            return number
    raise RuntimeError("no free X display number")


class VirtualDesktop:
    """A private Xvfb on a display number it picks itself (-displayfd), or on the number
    given."""

    def __init__(self, width=1920, height=1080, depth=24, extra_args=(), number=None):
        if not shutil.which("Xvfb"):
            raise RuntimeError("Xvfb is not installed (Debian package xvfb)")
        self.options = ["-screen", "0", f"{width}x{height}x{depth}", "-nolisten", "tcp", "-noreset",
                        "+extension", "XTEST", "+extension", "Composite", *extra_args]
        if number is not None:
            self.options.insert(0, f":{number}")
        self.process, self.display = _start_x_server(["Xvfb", *self.options], "Xvfb")

    def restart(self):
        """Ends the server and starts a new one on the same display, as a session that
        restarts its X server does. Start the desktop on a number of its own for this."""
        self.stop()
        self.process, _ = _start_x_server(["Xvfb", *self.options], "Xvfb")

    def env(self):
        return {"DISPLAY": self.display}

    def stop(self):
        _stop(self.process)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class DummyDesktop:
    """A private Xorg with the dummy video driver, which unlike Xvfb has several outputs
    (DUMMY0, DUMMY1, ...) that xrandr can lay out as monitors. Xorg needs root."""

    CONFIG = """
Section "Device"
    Identifier "dummy"
    Driver "dummy"
    VideoRam 64000
EndSection
Section "Screen"
    Identifier "screen"
    Device "dummy"
    DefaultDepth 24
    SubSection "Display"
        Depth 24
        Virtual 2048 1024
    EndSubSection
EndSection
Section "ServerFlags"
    Option "AutoAddDevices" "false"
EndSection
"""

    def __init__(self):
        xorg = shutil.which("Xorg")
        if not xorg or not os.path.exists("/usr/lib/xorg/modules/drivers/dummy_drv.so"):
            raise RuntimeError("Xorg with the dummy driver is not installed "
                               "(Debian packages xserver-xorg-core, xserver-xorg-video-dummy)")
        if os.geteuid() != 0:
            raise RuntimeError("Xorg with the dummy driver needs root")
        self.dir = tempfile.mkdtemp(prefix="velmar-xorg-")
        config = os.path.join(self.dir, "xorg.conf")
        with open(config, "w") as f:
            f.write(self.CONFIG)
        try:
            self.process, self.display = _start_x_server(
                [xorg, "-config", config, "-logfile", os.path.join(self.dir, "log"), "-noreset", "-nolisten",
                 "tcp", "-novtswitch", "-sharevts"], "Xorg")
        except RuntimeError:
            shutil.rmtree(self.dir, ignore_errors=True)
            raise

    def xrandr(self, *args):
        """Changes the layout, then asks xrandr for it: the dummy driver reports an output as
        connected only once a client has probed the outputs, as desktop tools do."""
        for command in ([*args], []):
            subprocess.run(["xrandr", "-display", self.display, *command], check=True, timeout=30,
                           stdout=subprocess.DEVNULL)

    def env(self):
        return {"DISPLAY": self.display}

    def stop(self):
        _stop(self.process)
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class Program:
    """The real binary with a token file; waits for its ready line."""

    def __init__(self, token="secret-token", args=None, env=None, token_text=None, wait_ready=True, extra_args=(),
                 user=None):
        """`user`, a pwd entry: the program runs as that user (a desktop whose session bus
        admits only its own user), with the token file its own."""
        self.dir = tempfile.mkdtemp(prefix="velmar-e2e-")
        self.token = token
        self.token_file = os.path.join(self.dir, "token")
        with open(self.token_file, "w") as f:
            f.write(token_text if token_text is not None else token + "\n")
        argv = [BINARY] + (args if args is not None else ["--token-file", self.token_file, *extra_args])
        if user is not None:
            for path in (self.dir, self.token_file):
                os.chown(path, user.pw_uid, user.pw_gid)
            argv = ["setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}", "--clear-groups", *argv]
        self.process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=_environment(env))
        self.ready = None
        self.port = None
        if wait_ready:
            line = self.read_stdout_line(10)
            if not line:
                err = self.stop()
                raise RuntimeError(f"no ready line; stderr: {err!r}")
            self.ready = line
            self.port = json.loads(line)["port"]

    def read_stdout_line(self, timeout):
        fd = self.process.stdout.fileno()
        data = b""
        deadline = time.monotonic() + timeout
        while not data.endswith(b"\n"):
            ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                return data.decode() if data else None
            chunk = os.read(fd, 1)
            if not chunk:
                break
            data += chunk
        return data.decode()

    def wait(self, timeout):
        """Exit code and standard error once the process has ended."""
        code = self.process.wait(timeout)
        err = self.process.stderr.read().decode(errors="replace")
        self.stop()
        return code, err

    def request(self, method, path, body=None, token=None, headers=None, timeout=30):
        """One request; returns (status, parsed JSON body, raw response bytes)."""
        token = self.token if token is None else token
        head = [f"{method} {path} HTTP/1.1", "Host: 127.0.0.1"]
        if token is not False:
            head.append(f"Authorization: Bearer {token}")
        for name, value in (headers or {}).items():
            head.append(f"{name}: {value}")
        payload = b""
        if body is not None:
            payload = body if isinstance(body, bytes) else json.dumps(body).encode()
            head.append(f"Content-Length: {len(payload)}")
        raw = send_raw(self.port, ("\r\n".join(head) + "\r\n\r\n").encode() + payload, timeout=timeout)
        status, parsed = parse_response(raw, request=(method, path))
        return status, parsed, raw

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        err = ""
        if self.process.stderr and not self.process.stderr.closed:
            err = self.process.stderr.read().decode(errors="replace")
        for stream in (self.process.stdout, self.process.stderr):
            if stream:
                stream.close()
        shutil.rmtree(self.dir, ignore_errors=True)
        return err

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def send_raw(port, data, timeout=30, half_close=False, pieces=None, host="127.0.0.1"):
    """Sends bytes (optionally in pieces, optionally half-closing) and reads until close."""
    with socket.create_connection((host, port), timeout=timeout) as s:
        for piece in (pieces if pieces is not None else [data]):
            s.sendall(piece)
        if half_close:
            s.shutdown(socket.SHUT_WR)
        return read_all(s)


def read_all(s):
    chunks = []
    while True:
        try:
            chunk = s.recv(1 << 20)
        except ConnectionResetError:
            break
        if not chunk:
            break
        chunks.append(chunk)
    return b"".join(chunks)


def parse_response(raw, request=None):
    """(status, parsed JSON body) of an answer that docs/openapi.yaml describes for the
    request (method, path), or for any request when that is not given."""
    if not raw:
        return None, None
    head, _, body = raw.partition(b"\r\n\r\n")
    status = int(head.split(b" ", 2)[1])
    parsed = json.loads(body) if body else None
    check_answer(head, status, parsed, request)
    return status, parsed


class EventClient:
    """A test client that reports what it receives as JSON lines on its standard output and
    ends when its standard input closes. Subclasses start `self.process` with pipes."""

    def next_event(self, timeout):
        """The next line the client printed, or None when nothing came in time."""
        deadline = time.monotonic() + timeout
        fd = self.process.stdout.fileno()
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            ready, _, _ = select.select([fd], [], [], left)
            if not ready:
                return None
            chunk = os.read(fd, 65536)
            if not chunk:
                return None
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def events_until(self, done, timeout=10):
        """Events until done(events) holds or the time is up."""
        events = []
        deadline = time.monotonic() + timeout
        while not done(events):
            event = self.next_event(max(0.0, deadline - time.monotonic()))
            if event is None:
                break
            events.append(event)
        return events

    def drain(self, quiet=0.3):
        """Everything that arrives until nothing has come for `quiet` seconds."""
        events = []
        while (event := self.next_event(quiet)) is not None:
            events.append(event)
        return events

    def stop(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        err = self.process.stderr.read().decode(errors="replace")
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            if not stream.closed:
                stream.close()
        return err

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()



class XClient(EventClient):
    """The project's X test client: titled windows of one colour each, given as
    TITLE:WxH+X+Y:RRGGBB. It reports the input its windows receive as JSON lines, and its
    windows stay until stop()."""

    def __init__(self, display, windows, set_wm_state=False):
        program = os.path.join(BUILD_DIR, "velmar-test-xclient")
        if not os.path.exists(program):
            raise RuntimeError(f"{program} is not built")
        argv = [program] + (["--set-wm-state"] if set_wm_state else [])
        for window in windows:
            argv += ["--window", window]
        self.process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        env=_environment({"DISPLAY": display}))
        self.buffer = b""
        ready = self.next_event(10)
        if not ready or ready.get("event") != "ready":
            err = self.stop()
            raise RuntimeError(f"the test client did not get ready: {ready!r} {err!r}")
        self.ids = {w["title"]: w["id"] for w in ready["windows"]}
        self.pid = self.process.pid


class SoundServer:
    """A private PulseAudio daemon in its own runtime directory, reached through env().

    The default sink is a null sink ("speakers"), so what is played into it can be heard
    only through its monitor; the default source is a sine source ("microphone"), a
    real-time microphone with a known tone, unless microphone_frequency is None, in which
    case the server falls back to the sink's monitor and there is no microphone.
    """

    SINK = "speakers"
    MICROPHONE = "microphone"

    def __init__(self, sink_rate=48000, sink_channels=2, microphone_frequency=440, microphone_rate=44100):
        if not shutil.which("pulseaudio") or not shutil.which("pactl"):
            raise RuntimeError("pulseaudio and pactl are not installed (Debian packages pulseaudio, pulseaudio-utils)")
        self.root = tempfile.mkdtemp(prefix="velmar-pulse-")
        for name in ("home", "run", "state"):
            os.mkdir(os.path.join(self.root, name))
        self.socket = os.path.join(self.root, "run", "native")
        self.script = os.path.join(self.root, "default.pa")
        lines = [f"load-module module-native-protocol-unix auth-anonymous=1 socket={self.socket}",
                 f"load-module module-null-sink sink_name={self.SINK} rate={sink_rate} channels={sink_channels}",
                 f"set-default-sink {self.SINK}"]
        if microphone_frequency is not None:
            lines += [f"load-module module-sine-source source_name={self.MICROPHONE} "
                      f"frequency={microphone_frequency} rate={microphone_rate}",
                      f"set-default-source {self.MICROPHONE}"]
        with open(self.script, "w") as f:
            f.write("\n".join(lines) + "\n")
        self.process = None
        self.start()

    def start(self):
        """Starts the daemon (again, after kill()) on the same socket and waits until it answers."""
        log = open(os.path.join(self.root, "daemon.log"), "ab")
        self.process = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--system=no", "--exit-idle-time=-1", "--disallow-exit",
             "--use-pid-file=no", "--log-target=stderr", "-F", self.script],
            stdout=log, stderr=log,
            env=_environment({"HOME": os.path.join(self.root, "home"), "XDG_RUNTIME_DIR": os.path.join(self.root, "run"),
                              "PULSE_RUNTIME_PATH": os.path.join(self.root, "run"),
                              "PULSE_STATE_PATH": os.path.join(self.root, "state")}))
        log.close()
        deadline = time.monotonic() + 10
        while self._pactl("info").returncode != 0:
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("the PulseAudio daemon did not start: " + self.log()[-2000:])
            time.sleep(0.05)
        self.pid = self.process.pid

    def env(self):
        """What a client needs to reach this server and no other."""
        return {"PULSE_SERVER": "unix:" + self.socket}

    def _pactl(self, *args):
        return subprocess.run(["pactl", *args], capture_output=True, text=True, timeout=10,
                              env=_environment(dict(self.env(), HOME=os.path.join(self.root, "home"))))

    def pactl(self, *args):
        """Runs pactl against this server; its output, or RuntimeError with its complaint."""
        result = self._pactl(*args)
        if result.returncode != 0:
            raise RuntimeError(f"pactl {' '.join(args)}: {result.stderr.strip()}")
        return result.stdout

    def load_module(self, name, **arguments):
        """Loads a module with key=value arguments; its index, for unload_module."""
        return int(self.pactl("load-module", name, *(f"{k}={v}" for k, v in arguments.items())).strip())

    def unload_module(self, index):
        self.pactl("unload-module", str(index))

    def play_tone(self, frequency=1000, sink=None):
        """Plays a sine tone into the sink (the first one made) until stop_tone(); returns
        its handle."""
        return self.load_module("module-sine", sink=sink or self.SINK, frequency=frequency)

    def add_output(self, name):
        """Another output, as headphones or a headset that is plugged in; its module, for
        unload_module (which is unplugging it)."""
        return self.load_module("module-null-sink", sink_name=name)

    def output_module(self, name):
        """The module that made the output."""
        for line in self.pactl("list", "short", "modules").splitlines():
            index, module, arguments = (line.split("\t") + ["", ""])[:3]
            if module == "module-null-sink" and f"sink_name={name}" in arguments.split():
                return int(index)
        raise RuntimeError(f"no module made the output {name}")

    def set_default_sink(self, name):
        self.pactl("set-default-sink", name)

    def stop_tone(self, handle):
        self.unload_module(handle)

    def set_default_source(self, name):
        self.pactl("set-default-source", name)

    def log(self):
        try:
            with open(os.path.join(self.root, "daemon.log"), "rb") as f:
                return f.read().decode(errors="replace")
        except OSError:
            return ""

    def kill(self):
        """Ends the daemon at once, as a crash would: its clients see the connection drop."""
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait(5)

    def restart(self):
        self.kill()
        self.start()

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class PipeWireSoundServer(SoundServer):
    """The same private sound system as SoundServer, served by PipeWire with its PulseAudio
    server and session manager, as most current desktops have it. PipeWire's PulseAudio
    server has no tone modules: tones are played into null sinks by pacat, and the
    microphone is a source remapped from the monitor of a sink of its own (a monitor itself
    is no microphone). Tones are at a third of full scale, so that two of them mixed do not
    clip."""

    SINK = "speakers"
    MICROPHONE = "microphone"
    _MICROPHONE_SINK = "microphone-feed"

    def __init__(self, microphone_frequency=440):
        for program in ("pipewire", "pipewire-pulse", "wireplumber", "dbus-run-session", "pactl", "pacat", "sox"):
            if not shutil.which(program):
                raise RuntimeError(f"{program} is not installed (Debian packages pipewire, pipewire-pulse, "
                                   "wireplumber, dbus, pulseaudio-utils, sox)")
        self.microphone_frequency = microphone_frequency
        self.root = tempfile.mkdtemp(prefix="velmar-pipewire-")
        self.process = None
        self.tones = {}
        self.start()

    def _env(self):
        return _environment({"HOME": os.path.join(self.root, "home"), "XDG_RUNTIME_DIR": os.path.join(self.root, "run"),
                             "PIPEWIRE_RUNTIME_DIR": os.path.join(self.root, "run")})

    def start(self):
        """Starts the whole sound system (again, after kill()) and waits until it answers."""
        for name in ("home", "run"):
            os.makedirs(os.path.join(self.root, name), exist_ok=True)
        script = "pipewire & sleep 0.3; wireplumber & pipewire-pulse & wait"
        log = open(os.path.join(self.root, "daemon.log"), "ab")
        self.process = subprocess.Popen(["dbus-run-session", "--", "sh", "-c", script], stdout=log, stderr=log,
                                        env=self._env(), start_new_session=True)
        log.close()
        deadline = time.monotonic() + 15
        while self._pactl("info").returncode != 0:
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("PipeWire did not start: " + self.log()[-2000:])
            time.sleep(0.1)
        self.pid = self.process.pid
        self.load_module("module-null-sink", sink_name=self.SINK)
        self.set_default_sink(self.SINK)
        if self.microphone_frequency is not None:
            self.load_module("module-null-sink", sink_name=self._MICROPHONE_SINK)
            self.load_module("module-remap-source", master=self._MICROPHONE_SINK + ".monitor",
                             source_name=self.MICROPHONE)
            self.set_default_source(self.MICROPHONE)
            self._tone(self._MICROPHONE_SINK, self.microphone_frequency)
        else:
            self.set_default_source(self.SINK + ".monitor")

    def env(self):
        return {"PULSE_SERVER": "unix:" + os.path.join(self.root, "run", "pulse", "native")}

    def _tone(self, sink, frequency):
        """A tone played into the sink by pacat, paced by the sink; its handle."""
        rate = "48000"
        source = subprocess.Popen(["sox", "-n", "-t", "raw", "-r", rate, "-e", "floating-point", "-b", "32", "-c", "1",
                                   "-", "synth", "86400", "sine", str(frequency), "vol", "0.33"],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        player = subprocess.Popen(["pacat", "--playback", f"--device={sink}", "--format=float32le", f"--rate={rate}",
                                   "--channels=1"], stdin=source.stdout, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, env=_environment(self.env()))
        source.stdout.close()
        handle = player.pid
        self.tones[handle] = (source, player)
        return handle

    def play_tone(self, frequency=1000, sink=None):
        return self._tone(sink or self.SINK, frequency)

    def set_default_sink(self, name):
        self._choose("set-default-sink", name)

    def set_default_source(self, name):
        self._choose("set-default-source", name)

    def _choose(self, command, name):
        # A device just made is known to the session manager a moment later: until then the
        # server answers that choosing it is not supported.
        deadline = time.monotonic() + 5
        while True:
            try:
                self.pactl(command, name)
                return
            except RuntimeError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)

    def stop_tone(self, handle):
        for process in self.tones.pop(handle, ()):
            process.kill()
            process.wait()

    def kill(self):
        """Ends the whole sound system at once, as a crash would."""
        for handle in list(self.tones):
            self.stop_tone(handle)
        if self.process and self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait(5)

    def stop(self):
        self.kill()
        shutil.rmtree(self.root, ignore_errors=True)


class DesktopCase(unittest.TestCase):
    """A suite whose tests share one private desktop, an optional sound server, the clients
    on that desktop and one program. Each subclass says what it needs; whatever was started
    is stopped in the reverse order, also when a later start fails.

    make_desktop()   the desktop: a VirtualDesktop of DESKTOP_SIZE with DESKTOP_ARGS, or
                     None for a program with no display at all
    SOUND_SERVER     a sound-server class started with SOUND_OPTIONS, or None: the program
                     then finds no sound server
    start_clients()  what else runs on the desktop, each handed to keep()
    START_PROGRAM    whether one program is started for the whole suite, as cls.program;
                     a suite that wants one program per test calls start_program() itself
    """

    DESKTOP_SIZE = (1920, 1080)
    DESKTOP_ARGS = ()
    SOUND_SERVER = None
    SOUND_OPTIONS = {}
    START_PROGRAM = True

    @classmethod
    def setUpClass(cls):
        cls._started = contextlib.ExitStack()
        try:
            cls.desktop = cls.keep(cls.make_desktop())
            cls.sound = cls.keep(cls.SOUND_SERVER(**cls.SOUND_OPTIONS)) if cls.SOUND_SERVER else None
            cls.start_clients()
            cls.program = cls.keep(cls.start_program()) if cls.START_PROGRAM else None
        except BaseException:
            cls._started.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls._started.close()

    @classmethod
    def keep(cls, process):
        """Stops `process` (anything with stop()) when the suite ends; answers it."""
        if process is not None:
            cls._started.callback(process.stop)
        return process

    @classmethod
    def make_desktop(cls):
        return VirtualDesktop(*cls.DESKTOP_SIZE, extra_args=cls.DESKTOP_ARGS)

    @classmethod
    def start_clients(cls):
        pass

    @classmethod
    def program_env(cls):
        env = dict(cls.desktop.env()) if cls.desktop else {}
        env.update(cls.sound.env() if cls.sound else NO_PULSE)
        return env

    @classmethod
    def start_program(cls, **options):
        return Program(env=cls.program_env(), **options)
