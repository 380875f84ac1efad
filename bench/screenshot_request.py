"""Round trips of POST /screenshot on a private Xvfb showing a photo-like screen, beside two
baselines measured on the same screen in the same run: `scrot` to PNG plus Base64, and
ImageMagick's `import -window root` to JPEG. Prints medians, ratios, sizes and the program's
peak resident memory. Run: python3 bench/screenshot_request.py (VELMAR_BINARY,
VELMAR_BUILD_DIR as for the end-to-end tests); use a Release build for the figures."""

import base64
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import Program, VirtualDesktop, parse_response, send_raw  # noqa: E402

ROUNDS = 15
NO_PULSE = {"PULSE_SERVER": "unix:/nonexistent/velmar/native"}


def photo_like_screen(desktop, width, height, folder):
    """Covers the screen with a window showing a smooth, noisy, photo-like picture. Returns
    the process showing it."""
    picture = os.path.join(folder, "screen.png")
    subprocess.run(["convert", "-size", f"{width}x{height}", "-seed", "7", "plasma:fractal", picture],
                   check=True, timeout=120)
    viewer = subprocess.Popen(["display", "-geometry", "+0+0", picture], env=dict(os.environ, **desktop.env()),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(3)
    return viewer


def median_ms(action):
    times = []
    for _ in range(ROUNDS):
        start = time.perf_counter()
        action()
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times)


def peak_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return -1


def bench_screen(width, height, with_baselines):
    with VirtualDesktop(width, height) as desktop, tempfile.TemporaryDirectory() as folder:
        viewer = photo_like_screen(desktop, width, height, folder)
        env = dict(desktop.env(), **NO_PULSE)
        with Program(env=env) as program:
            sizes = {}

            def shot(body):
                # Only the round trip is timed; the answer is read afterwards, once.
                payload = json.dumps(body).encode()
                request = (f"POST /screenshot HTTP/1.1\r\nAuthorization: Bearer {program.token}\r\n"
                           f"Content-Length: {len(payload)}\r\n\r\n").encode() + payload
                answers = []


                def timed():
                    start = time.perf_counter()
                    answers.append(send_raw(program.port, request))
                    return (time.perf_counter() - start) * 1000

                times = [timed() for _ in range(ROUNDS)]
                status, answer = parse_response(answers[-1])
                if status != 200:
                    raise SystemExit(f"{status} {answer}")
                sizes[str(body)] = (answer["width"], answer["height"], len(base64.b64decode(answer["base64"])))
                return statistics.median(times)

            print(f"\nscreen {width}x{height}")
            default = shot({})
            print(f"  program default JPEG        {default:8.1f} ms  {sizes['{}']}")
            png_body = {"format": "png", "max_pixels": 50_000_000}
            full_png = shot(png_body)
            print(f"  program full-size PNG       {full_png:8.1f} ms  {sizes[str(png_body)]}")
            print(f"  program peak resident memory {peak_kb(program.process.pid) / 1024:7.1f} MB")

            if not with_baselines:
                viewer.terminate()
                return
            scrot_file = os.path.join(folder, "scrot.png")
            xenv = dict(os.environ, **desktop.env())

            def scrot():
                if os.path.exists(scrot_file):
                    os.remove(scrot_file)
                subprocess.run(["scrot", "-o", scrot_file], env=xenv, check=True)
                with open(scrot_file, "rb") as f:
                    base64.b64encode(f.read())

            def imagemagick():
                subprocess.run(["import", "-window", "root", "jpg:-"], env=xenv, check=True, capture_output=True)

            scrot_ms = median_ms(scrot)
            import_ms = median_ms(imagemagick)
            print(f"  baseline scrot PNG + Base64 {scrot_ms:8.1f} ms  ({os.path.getsize(scrot_file)} bytes)")
            print(f"  baseline import root JPEG   {import_ms:8.1f} ms")
            print(f"  ratio default / scrot       {default / scrot_ms:8.3f} (target <= 0.15)")
            print(f"  ratio default / import      {default / import_ms:8.3f}")
            print(f"  PNG size / scrot PNG size   {sizes[str(png_body)][2] / os.path.getsize(scrot_file):8.3f}"
                  " (target <= 1.3 of the default PNG encoder's size)")
            viewer.terminate()


def main():
    bench_screen(1920, 1080, with_baselines=True)
    bench_screen(2560, 1600, with_baselines=False)


if __name__ == "__main__":
    main()
