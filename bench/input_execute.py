"""Wall time of POST /execute for input actions on a private Xvfb, printed beside the sum of
the pauses the action is made of, so the difference is the cost of the request and of
posting the events. Run: python3 bench/input_execute.py (VELMAR_BINARY, VELMAR_BUILD_DIR
as for the end-to-end tests)."""

import json
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import Program, VirtualDesktop, parse_response, send_raw  # noqa: E402

ASCII40 = "The quick brown fox jumps over a lazy do"
NON_ASCII40 = "àáâãäåæçèéêëìíîïðñòóôõöøùúûüýþÿĀāĂăĄąĆćĈ"
# Forty characters, a dozen of them outside ASCII: text as people write it.
ACCENTED40 = "Déjà vu: l'été où Zoë goûta ça, très naïf"[:40]
ROUNDS = 9

# The pauses of each action in milliseconds.
CASES = [
    ("click", {"action": "click", "x": 100, "y": 100}, 30 + 100 + 40 + 40),
    ("drag", {"action": "drag", "x": 100, "y": 100, "x2": 400, "y2": 300}, 30 + 100 + 60 + 12 * 15 + 40),
    ("type 40 ASCII", {"action": "type", "text": ASCII40}, 3 * (4 + 8)),
    ("type 40 non-ASCII", {"action": "type", "text": NON_ASCII40}, 3 * (4 + 8)),
    ("type 40 accented", {"action": "type", "text": ACCENTED40}, 3 * (4 + 8)),
]


def main():
    assert len(ASCII40) == 40 and len(NON_ASCII40) == 40 and len(ACCENTED40) == 40
    with VirtualDesktop() as desktop:
        subprocess.run(["setxkbmap", "-display", desktop.display, "us"], check=True, timeout=30)
        with Program(env=desktop.env()) as program:
            program.request("GET", "/status")
            print(f"{'action':<20} {'median ms':>10} {'pauses ms':>10} {'overhead ms':>12}")
            for name, action, pauses in CASES:
                payload = json.dumps(action).encode()
                request = (f"POST /execute HTTP/1.1\r\nAuthorization: Bearer {program.token}\r\n"
                           f"Content-Length: {len(payload)}\r\n\r\n").encode() + payload
                times = []
                for _ in range(ROUNDS):
                    # Only the round trip is timed; the answer is read and checked afterwards.
                    start = time.perf_counter()
                    raw = send_raw(program.port, request)
                    times.append((time.perf_counter() - start) * 1000)
                    status, body = parse_response(raw, request=("POST", "/execute"))
                    if status != 200:
                        raise SystemExit(f"{name}: {status} {body}")
                median = statistics.median(times)
                print(f"{name:<20} {median:>10.2f} {pauses:>10} {median - pauses:>12.2f}")


if __name__ == "__main__":
    main()
