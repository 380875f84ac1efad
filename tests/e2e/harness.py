"""Shared pieces of the end-to-end tests: the real binary, a private X server, raw HTTP.

Everything here starts real processes and stops them by process id. A server that cannot
start fails the test with the reason: a skipped real-platform test is no pass.
"""

import json
import os
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time

from openapi_check import check_answer

BINARY = os.environ.get("VELMAR_BINARY", os.path.join(os.path.dirname(__file__), "..", "..", "build", "velmar-computer-use"))
BUILD_DIR = os.environ.get("VELMAR_BUILD_DIR", os.path.dirname(BINARY))


def _environment(extra=None):
    env = dict(os.environ)
    # A leak report at exit would turn every deliberate exit code into a failure.
    env.setdefault("ASAN_OPTIONS", "detect_leaks=0")
    if extra:
        env.update(extra)
    return env


class VirtualDesktop:
    """A private Xvfb on a display number it picks itself (-displayfd)."""

    def __init__(self, width=1920, height=1080, depth=24, extra_args=()):
        if not shutil.which("Xvfb"):
            raise RuntimeError("Xvfb is not installed (Debian package xvfb)")
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", f"{width}x{height}x{depth}",
             "-nolisten", "tcp", "-noreset", "+extension", "XTEST", "+extension", "Composite", *extra_args],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 10
        while not number.endswith(b"\n"):
            ready, _, _ = select.select([read_end], [], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                self.stop()
                raise RuntimeError("Xvfb did not report a display within 10 s")
            chunk = os.read(read_end, 16)
            if not chunk:
                self.stop()
                raise RuntimeError("Xvfb exited before reporting a display")
            number += chunk
        os.close(read_end)
        self.display = ":" + number.decode().strip()

    def env(self):
        return {"DISPLAY": self.display}

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

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
