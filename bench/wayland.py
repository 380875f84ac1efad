"""The Wayland backend on a private headless sway (1920x1080), figures beside their
baselines in the same run: the default screenshot of a screen that did not change, of one
where only the pointer moved, and of one whose window was repainted, and a full PNG, beside
grim's PNG and its unencoded PPM of the same output; with VELMAR_BINARY_BEFORE set to another
build, its pictures are measured in the same run too. Then a click and typing 40 distinct
non-ASCII characters beside the pauses they are made of, so the difference is the cost of the
request and of posting the events.
Run: python3 bench/wayland.py as root (VELMAR_BINARY, VELMAR_BUILD_DIR as for the
end-to-end tests)."""

import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness  # noqa: E402
from harness import Program  # noqa: E402
from wayland import GtkClient, SwayDesktop  # noqa: E402

ROUNDS = 9
# Two sets of forty distinct characters: typed in turn, each needs keymaps of its own, as
# more than one keymap holds.
FRESH = ["".join(chr(c) for c in range(0x4E00, 0x4E28)), "".join(chr(c) for c in range(0x100, 0x128))]
PAUSES_40 = 3 * (4 + 8)


def median_ms(work, rounds=ROUNDS, before=None):
    """The median time of work(i); before(i), if given, runs first and is not timed."""
    times = []
    for i in range(rounds):
        if before:
            before(i)
        start = time.perf_counter()
        work(i)
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times)


def requester(program):
    def request(method, path, body=None):
        status, answer, _ = program.request(method, path, body)
        if status != 200:
            raise SystemExit(f"{path}: {status} {answer}")
        return answer
    return request


def bench_pictures(desktop, client, builds):
    """The pictures' figures for each build, beside grim's."""
    env = dict(os.environ, **desktop.env())
    default, png = {}, {"format": "png", "max_pixels": 50_000_000}
    figures = {}
    for name, binary in builds:
        harness.BINARY = binary
        try:
            with Program(env=desktop.env()) as program:
                request = requester(program)
                request("GET", "/status")
                moves = [{"action": "move", "x": 500 + 6 * (i % 2), "y": 500} for i in range(2)]
                colours = ["336699", "336698"]
                cases = [
                    ("default JPEG, nothing changed", default, None),
                    ("default JPEG, the pointer moved 6 px", default,
                     lambda i: request("POST", "/execute", moves[i % 2])),
                    ("default JPEG, the window repainted", default, lambda i: client.recolour(colours[i % 2])),
                    ("full PNG, nothing changed", png, None),
                ]
                for case, body, before in cases:
                    request("POST", "/screenshot", body)
                    figures[(name, case)] = median_ms(lambda i: request("POST", "/screenshot", body), before=before)
        finally:
            harness.BINARY = builds[-1][1]
    grim = [
        ("grim PNG", lambda i: subprocess.run(["grim", "-t", "png", "/tmp/velmar-grim.png"], env=env, check=True)),
        # This grim is built without JPEG: its PPM is the capture without encoding.
        ("grim PPM", lambda i: subprocess.run(["grim", "-t", "ppm", "/tmp/velmar-grim.ppm"], env=env, check=True)),
    ]
    print(f"{'pictures of 1920x1080 (median ms)':<40}" + "".join(f"{name:>12}" for name, _ in builds))
    for case, *_ in cases:
        print(f"{case:<40}" + "".join(f"{figures[(name, case)]:12.2f}" for name, _ in builds))
    for name, work in grim:
        print(f"{name + ' (baseline)':<40}{median_ms(work):12.2f}")


def main():
    builds = [("this build", harness.BINARY)]
    if os.environ.get("VELMAR_BINARY_BEFORE"):
        builds.insert(0, ("before", os.environ["VELMAR_BINARY_BEFORE"]))
    with SwayDesktop(1920, 1080) as desktop:
        client = GtkClient(desktop)
        try:
            bench_pictures(desktop, client, builds)
            with Program(env=desktop.env()) as program:
                request = requester(program)
                print(f"\n{'input':<36} {'median ms':>10} {'pauses ms':>10} {'overhead ms':>12}")
                request("POST", "/execute", {"action": "move", "x": 500, "y": 500})
                cases = [
                    ("click", lambda i: request("POST", "/execute", {"action": "click", "x": 100 + i, "y": 100}),
                     30 + 100 + 40 + 40),
                    ("type 40 non-ASCII, new keymaps", lambda i: request(
                        "POST", "/execute", {"action": "type", "text": FRESH[i % 2]}), PAUSES_40),
                    ("type 40 non-ASCII, keymap held", lambda i: request(
                        "POST", "/execute", {"action": "type", "text": FRESH[0]}), PAUSES_40),
                ]
                for name, work, pauses in cases:
                    median = median_ms(work)
                    client.drain(0.1)
                    print(f"{name:<36} {median:>10.2f} {pauses:>10} {median - pauses:>12.2f}")
        finally:
            client.stop()
            os.path.exists("/tmp/velmar-grim.png") and os.remove("/tmp/velmar-grim.png")
            os.path.exists("/tmp/velmar-grim.ppm") and os.remove("/tmp/velmar-grim.ppm")


if __name__ == "__main__":
    main()
