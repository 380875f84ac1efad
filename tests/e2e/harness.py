"""Shared pieces of the end-to-end tests: the real binary, a private X server, raw HTTP.

Everything here starts real processes and stops them by process id. A server that cannot
start fails the test with the reason: a skipped real-platform test is no pass.
"""

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

BINARY = os.environ.get("VELMAR_BINARY", os.path.join(os.path.dirname(__file__), "..", "..", "build", "velmar-computer-use"))
BUILD_DIR = os.environ.get("VELMAR_BUILD_DIR", os.path.dirname(BINARY))


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

    def __init__(self, token="secret-token", args=None, env=None, token_text=None, wait_ready=True, extra_args=()):
        self.dir = tempfile.mkdtemp(prefix="velmar-e2e-")
        self.token = token
        self.token_file = os.path.join(self.dir, "token")
        with open(self.token_file, "w") as f:
            f.write(token_text if token_text is not None else token + "\n")
        argv = [BINARY] + (args if args is not None else ["--token-file", self.token_file, *extra_args])
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
        status, parsed = parse_response(raw)
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


def parse_response(raw):
    if not raw:
        return None, None
    head, _, body = raw.partition(b"\r\n\r\n")
    status = int(head.split(b" ", 2)[1])
    return status, json.loads(body) if body else None


class XClient:
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
            stream.close()
        return err
