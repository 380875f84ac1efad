"""The GNOME backend on a private headless GNOME Shell (1920x1080), figures beside their
baselines in the same run: the default screenshot and a full PNG beside the desktop's own
Screenshot portal (which writes a PNG); a click and typing 40 characters that the layout
lacks (pasted through the clipboard) beside the pauses they are made of, so the difference is
the cost of the request and of posting the events. The screen and input are granted in the
desktop's dialogs first. Run: python3 bench/gnome.py as root (VELMAR_BINARY, VELMAR_BUILD_DIR
as for the end-to-end tests)."""

import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from gnome import GnomeDesktop, GnomeGtkClient  # noqa: E402

ROUNDS = 9
FORTY = "".join(chr(c) for c in range(0x4E00, 0x4E28))
PAUSES_40 = 3 * (4 + 8)


def median_ms(work, rounds=ROUNDS):
    times = []
    for i in range(rounds):
        start = time.perf_counter()
        work(i)
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times)


def main():
    with GnomeDesktop() as desktop:
        client = GnomeGtkClient(desktop, "336699", "Bench")
        program = desktop.start_program(desktop.state_folder())
        try:
            def request(method, path, body=None):
                status, answer, _ = program.request(method, path, body)
                if status != 200:
                    raise SystemExit(f"{path}: {status} {answer}")
                return answer

            if desktop.grant_screen(program)["screen"] != "granted" or not desktop.grant_input(program)["accessibility"]:
                raise SystemExit("the dialogs were not answered")
            script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "gnome_portal_screenshot.py")
            portal = float(desktop.run(["/usr/bin/python3", script, str(ROUNDS)], timeout=120).strip())

            print(f"{'pictures of 1920x1080':<36} {'median ms':>10}")
            for name, work in [
                ("default screenshot (JPEG, budget)", lambda i: request("POST", "/screenshot", {})),
                ("full PNG", lambda i: request("POST", "/screenshot", {"format": "png", "max_pixels": 50_000_000})),
            ]:
                print(f"{name:<36} {median_ms(work):>10.2f}")
            print(f"{'Screenshot portal PNG (baseline)':<36} {portal:>10.2f}")

            print(f"\n{'input':<36} {'median ms':>10} {'pauses ms':>10} {'overhead ms':>12}")
            request("POST", "/execute", {"action": "click", "x": 960, "y": 540})
            cases = [
                ("click", lambda i: request("POST", "/execute", {"action": "click", "x": 900 + i, "y": 540}),
                 30 + 100 + 40 + 40),
                ("type 40 CJK (pasted)", lambda i: request("POST", "/execute", {"action": "type", "text": FORTY}),
                 PAUSES_40),
            ]
            for name, work, pauses in cases:
                median = median_ms(work)
                client.drain(0.1)
                print(f"{name:<36} {median:>10.2f} {pauses:>10} {median - pauses:>12.2f}")
        finally:
            program.stop()
            client.stop()


if __name__ == "__main__":
    main()
