#!/usr/bin/env python3
"""A client to start from: runs Velmar Computer Use and shows each endpoint once.

    python3 client.py --binary /usr/bin/velmar-computer-use --out DIR

It writes a fresh token into a file that only its owner can read, starts the program with
it, and reads the port from the ready line. Then it asks for the status and the window
list, saves a screenshot into DIR, clicks in the middle of the main display, types a line,
presses a key chord, records 10 seconds of sound into DIR/audio (start, status, stop, the
part files), and quits the program.

The program works on the desktop of this environment: the X display named by DISPLAY and
the PulseAudio server that PulseAudio clients find (PULSE_SERVER, or the user's own). The
click and the keys go to whatever window is under the middle of the screen, so run it on
a desktop where that does no harm (scripts/run.sh starts a private one).

Standard library only. The HTTP interface is described in docs/openapi.yaml.
"""

import argparse
import base64
import http.client
import json
import os
import secrets
import selectors
import shutil
import subprocess
import sys
import tempfile
import time

RECORDING_SECONDS = 10


class APIError(Exception):
    """An answer other than 200: the HTTP status and the error body's code and message."""

    def __init__(self, status, code, message):
        super().__init__(f"{status} {code}: {message}")
        self.status, self.code, self.message = status, code, message


class Program:
    """The running program: its process, and one HTTP request per call, as it expects."""

    def __init__(self, binary):
        # A private directory (mode 0700) and a file created with mode 0600: nobody else on
        # the machine can read the token, not even for a moment.
        self.folder = tempfile.mkdtemp(prefix="velmar-client-")
        self.token = secrets.token_urlsafe(32)
        token_file = os.path.join(self.folder, "token")
        descriptor = os.open(token_file, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(descriptor, "w") as f:
            f.write(self.token + "\n")
        # --parent-pid: should this client die, the program ends too (within 2 seconds).
        self.process = subprocess.Popen([binary, "--token-file", token_file, "--parent-pid", str(os.getpid())],
                                        stdout=subprocess.PIPE)
        try:
            ready = json.loads(self._ready_line(timeout=10))
        except BaseException:
            self.close()
            raise
        self.port, self.pid, self.version = ready["port"], ready["pid"], ready["version"]

    def _ready_line(self, timeout):
        """The first line of standard output, which the program prints once it listens."""
        line = b""
        deadline = time.monotonic() + timeout
        with selectors.DefaultSelector() as selector:
            selector.register(self.process.stdout, selectors.EVENT_READ)
            while not line.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or not selector.select(left):
                    raise RuntimeError(f"no ready line within {timeout} s")
                chunk = os.read(self.process.stdout.fileno(), 4096)
                if not chunk:
                    raise RuntimeError(f"the program ended with code {self.process.wait()} before it was ready")
                line += chunk
        return line.decode()

    def call(self, method, path, body=None, timeout=60):
        """The answer's JSON object; APIError for any status but 200. A picture can take up
        to about 30 s and an audio start more than 20 s, so the time-out is generous."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            headers = {"Authorization": "Bearer " + self.token}
            data = None
            if body is not None:
                data = json.dumps(body).encode()
                headers["Content-Type"] = "application/json"
            connection.request(method, path, body=data, headers=headers)
            response = connection.getresponse()
            answer = json.loads(response.read())
        finally:
            connection.close()
        if response.status != 200:
            raise APIError(response.status, answer.get("error"), answer.get("message"))
        return answer

    def quit(self):
        """Asks the program to end in order (keys released, recording finished); its exit code."""
        self.call("POST", "/quit")
        return self.process.wait(10)

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)
        self.process.stdout.close()
        shutil.rmtree(self.folder, ignore_errors=True)


def show_status(program):
    status = program.call("GET", "/status")
    display = status["display"]
    print(f"status: display {display['width']}x{display['height']} at scale {display['scale']}; "
          f"screen {status['screen']}, accessibility {status['accessibility']}, microphone {status['microphone']}")
    return status


def show_windows(program):
    windows = program.call("GET", "/windows")["windows"]
    print(f"windows: {len(windows)}")
    for window in windows[:10]:
        x, y, width, height = window["bounds"]
        print(f"  {window['id']:>10}  {width:.0f}x{height:.0f}+{x:.0f}+{y:.0f}  {window['app']!r} {window['title']!r}")


def save_screenshot(program, out):
    shot = program.call("POST", "/screenshot", {"format": "jpeg", "quality": 80, "max_pixels": 2_000_000})
    path = os.path.join(out, "screenshot." + ("png" if shot["mime"] == "image/png" else "jpg"))
    with open(path, "wb") as f:
        f.write(base64.b64decode(shot["base64"]))
    print(f"screenshot: {shot['width']}x{shot['height']} {shot['mime']} of a "
          f"{shot['screen']['width']}x{shot['screen']['height']} display, saved to {path}")


def drive_input(program, status):
    x, y = status["display"]["width"] // 2, status["display"]["height"] // 2
    program.call("POST", "/execute", {"action": "click", "x": x, "y": y})
    print(f"click: at ({x}, {y})")
    text = "Hello from Velmar Computer Use"
    program.call("POST", "/execute", {"action": "type", "text": text})
    print(f"type: {text!r}")
    # "cmd" is the platform's shortcut modifier: Control on Linux. This chord selects all.
    program.call("POST", "/execute", {"action": "key", "keys": ["cmd", "a"]})
    print("key chord: cmd+a")


def record(program, out):
    directory = os.path.abspath(os.path.join(out, "audio"))
    started = program.call("POST", "/audio/start", {"directory": directory, "part_seconds": 10, "microphone": True})
    print(f"recording into {directory}: system audio {started['system_audio']}, microphone {started['microphone']}")
    time.sleep(RECORDING_SECONDS / 2)
    status = program.call("GET", "/audio/status")
    print(f"  after {RECORDING_SECONDS / 2:.0f} s: recording {status['recording']}, level {status['level']:.3f}, "
          f"{len(status['parts'])} part(s) finished")
    time.sleep(RECORDING_SECONDS / 2)
    stopped = program.call("POST", "/audio/stop")
    if stopped["error"]:
        print(f"  the recording failed: {stopped['error']}")
    print(f"  stopped: {len(stopped['parts'])} part(s)")
    for part in stopped["parts"]:
        print(f"  {part['file']}  {part['bytes']} bytes  {part['started_at']} to {part['ended_at']}")
    return stopped["parts"]


def main():
    parser = argparse.ArgumentParser(description="Runs Velmar Computer Use and shows each endpoint once.")
    parser.add_argument("--binary", default="velmar-computer-use", help="the program (default: from PATH)")
    parser.add_argument("--out", required=True, help="where the screenshot and the recording go")
    arguments = parser.parse_args()
    os.makedirs(arguments.out, exist_ok=True)

    program = Program(arguments.binary)
    failed = []

    def attempt(name, step, *args):
        # A step that fails does not stop the others: each shows its own endpoint.
        try:
            return step(program, *args)
        except (APIError, OSError, ValueError) as error:
            print(f"{name} failed: {error}", file=sys.stderr)
            failed.append(name)
            return None

    try:
        print(f"started: version {program.version}, pid {program.pid}, port {program.port}")
        status = attempt("status", show_status)
        attempt("windows", show_windows)
        attempt("screenshot", save_screenshot, arguments.out)
        if status:
            attempt("input", drive_input, status)
        attempt("recording", record, arguments.out)
        code = program.quit()
        print(f"quit: the program ended with code {code}")
        if code != 0:
            failed.append("quit")
    finally:
        program.close()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
