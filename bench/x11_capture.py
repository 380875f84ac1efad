"""Starts a private 1920x1080 Xvfb with 100 windows of the test client (one of them large)
and runs the x11_capture benchmark against it. Run: python3 bench/x11_capture.py with
VELMAR_BUILD_DIR set to the build directory (the bench_x11 target does this)."""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import BUILD_DIR, VirtualDesktop, _environment  # noqa: E402


def main():
    windows = ["Large window:1200x800+300+100:336699"]
    for i in range(99):
        windows.append(f"Window {i}:{120 + i}x{80 + i}+{(i * 17) % 1700}+{(i * 29) % 900}:{(i * 2654435761) & 0xffffff:06x}")
    with VirtualDesktop(1920, 1080) as desktop:
        argv = [os.path.join(BUILD_DIR, "velmar-test-xclient")]
        for window in windows:
            argv += ["--window", window]
        client = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  env=_environment(desktop.env()))
        try:
            if not client.stdout.readline():
                raise SystemExit("the test client did not open its windows")
            subprocess.run([os.path.join(BUILD_DIR, "bench", "x11_capture")], check=True,
                           env=_environment(desktop.env()))
        finally:
            client.stdin.close()
            client.wait(5)


if __name__ == "__main__":
    main()
