"""Round trips of POST /screenshot on a private Xvfb, beside baselines measured on the same
screen in the same run: `scrot` to PNG plus Base64, and ImageMagick's `import -window root` to
JPEG. Then pictures of a screen that changes between requests as a desktop does (nothing, a
clock's square, a line of text typed, everything), drawn by an X client of the script's own;
with VELMAR_BINARY_BEFORE set to another build, its figures are measured in the same run. Two screens: a photo-like picture (noisy, compresses like a photograph) and a screen of
text and flat areas (an editor beside a web page). Prints medians, ratios, PNG sizes against
libpng's default settings on the same pixels, the program's peak resident memory and its
memory once requests stop, and the round trips again with everything confined to one core.

Run: python3 bench/screenshot_request.py (VELMAR_BINARY, VELMAR_BUILD_DIR as for the
end-to-end tests); use a Release build for the figures. On a busy machine compare figures
within one run: the load average is printed at the start and the end."""

import base64
import ctypes
import json
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness  # noqa: E402
from harness import Program, VirtualDesktop, parse_response  # noqa: E402

ROUNDS = 15
NO_PULSE = {"PULSE_SERVER": "unix:/nonexistent/velmar/native"}
FULL_PNG = {"format": "png", "max_pixels": 50_000_000}
# The program gives picture memory back 10 s after the last request (src/app/main.cpp, and
# X11ScreenCapture's idleRelease for the shared segment); idle memory is read a little later.
IDLE_WAIT = 12


def photo_like_screen(width, height, path):
    subprocess.run(["convert", "-size", f"{width}x{height}", "-seed", "7", "plasma:fractal", path],
                   check=True, timeout=120)


def text_screen(width, height, path):
    """An editor beside a web page, drawn by ImageMagick: a title bar, a side bar, a status
    bar, grey boxes, and anti-aliased text in a few colours (this program's own sources)."""
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")
    lines = []
    for name in ("imaging/StripCompressor.cpp", "imaging/AreaShrink.cpp", "screenshot/Screenshot.cpp"):
        with open(os.path.join(root, name)) as f:
            lines += f.read().splitlines()
    side, split = width // 8, width * 3 // 5
    draw = ["convert", "-size", f"{width}x{height}", "xc:#ffffff",
            "-fill", "#2c2c2c", "-draw", f"rectangle 0,0 {width},30",
            "-fill", "#f3f3f3", "-draw", f"rectangle 0,30 {side},{height}",
            "-fill", "#e8e8e8", "-draw", f"rectangle {split},30 {split + 2},{height - 22}",
            "-fill", "#007acc", "-draw", f"rectangle 0,{height - 22} {width},{height}",
            "-antialias", "-font", "DejaVu-Sans-Mono", "-pointsize", "13"]
    for i, name in enumerate(["CMakeLists.txt", "README.md", "bench/", "scripts/", "src/", "app/", "base/", "capture/",
                              "http/", "platform/", "screenshot/", "service/", "tests/"]):
        draw += ["-fill", "#333333", "-annotate", f"+12+{52 + 20 * i}", name]
    y = 52
    for number, line in enumerate(lines, 1):
        if y > height - 30:
            break
        text = line.strip().replace("%", "%%")
        if text:
            colour = "#008000" if text.startswith("//") else "#0000c0" if text.startswith("#") else "#1e1e1e"
            indent = (len(line) - len(line.lstrip())) * 8
            draw += ["-fill", "#999999", "-annotate", f"+{side + 16}+{y}", f"{number:4d}",
                     "-fill", colour, "-annotate", f"+{side + 60 + indent}+{y}", text]
        y += 17
    words = " ".join(l.strip().lstrip("/") for l in lines if l.strip().startswith("//")).split()
    draw += ["-font", "DejaVu-Sans-Bold", "-pointsize", "24", "-fill", "#111111", "-annotate", f"+{split + 24}+80",
             "Release notes", "-font", "DejaVu-Sans", "-pointsize", "14"]
    y, at = 120, 0
    while y < height - 60:
        draw += ["-fill", "#0645ad" if (y // 22) % 7 == 0 else "#202122", "-annotate", f"+{split + 24}+{y}",
                 " ".join(words[at:at + 11]).replace("%", "%%")]
        at = (at + 11) % max(1, len(words) - 11)
        y += 22
        if (y // 22) % 9 == 0:
            draw += ["-fill", "#eaecf0", "-draw", f"rectangle {split + 24},{y} {width - 24},{y + 60}"]
            y += 84
    subprocess.run(draw + [path], check=True, timeout=120)


SCREENS = {"photo-like": photo_like_screen, "text": text_screen}


def show(desktop, picture):
    """Covers the screen with a window showing the picture; returns the viewer's process."""
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


def memory_mb(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    return -1.0


def resident(pid):
    """Resident MB, with how much of it is the program's own memory and how much pages of the
    libraries and files it maps, which the system shares and can drop."""
    return (f"{memory_mb(pid, 'VmRSS'):8.1f} MB  ({memory_mb(pid, 'RssAnon'):.1f} MB its own,"
            f" {memory_mb(pid, 'RssFile'):.1f} MB of mapped libraries)")


def libpng_default_size(png):
    """Bytes of the same pixels through libpng at its default level and filters (ImageMagick's
    quality 65: zlib level 6, adaptive filtering), without ancillary chunks."""
    return len(subprocess.run(["convert", "png:-", "-strip", "-quality", "65", "png24:-"], input=png,
                              capture_output=True, check=True).stdout)


# Answers are read into one buffer kept for the whole run, as a parent would read them.
# Reading each into fresh memory made Python fault in a new 5 to 10 MB for the first dozen
# answers (until its allocator kept large blocks), which was the client's time, not ours.
ANSWER_BUFFER = bytearray(64 << 20)


def shot(program, body, before=None):
    """Median round trip in ms and the last answer's picture. Only the round trip is timed;
    two untimed requests first, as the program's first picture also sets up its capture.
    `before` runs ahead of every request, untimed (a change to the screen)."""
    payload = json.dumps(body).encode()
    request = (f"POST /screenshot HTTP/1.1\r\nAuthorization: Bearer {program.token}\r\n"
               f"Content-Length: {len(payload)}\r\n\r\n").encode() + payload
    times = []
    for round_number in range(ROUNDS + 2):
        if before:
            before()
        start = time.perf_counter()
        with socket.create_connection(("127.0.0.1", program.port), timeout=30) as s:
            s.sendall(request)
            view = memoryview(ANSWER_BUFFER)
            length = 0
            while (n := s.recv_into(view[length:])) != 0:
                length += n
        if round_number >= 2:
            times.append((time.perf_counter() - start) * 1000)
    status, answer = parse_response(bytes(ANSWER_BUFFER[:length]))
    if status != 200:
        raise SystemExit(f"{status} {answer}")
    return statistics.median(times), answer["width"], answer["height"], base64.b64decode(answer["base64"])


def scrot_ms(desktop, folder):
    scrot_file = os.path.join(folder, "scrot.png")
    xenv = dict(os.environ, **desktop.env())

    def scrot():
        if os.path.exists(scrot_file):
            os.remove(scrot_file)
        subprocess.run(["scrot", "-o", scrot_file], env=xenv, check=True)
        with open(scrot_file, "rb") as f:
            base64.b64encode(f.read())

    return median_ms(scrot), os.path.getsize(scrot_file)


def bench_screen(kind, width, height, folder, baselines):
    picture = os.path.join(folder, f"{kind}-{width}x{height}.png")
    SCREENS[kind](width, height, picture)
    with VirtualDesktop(width, height) as desktop:
        viewer = show(desktop, picture)
        with Program(env=dict(desktop.env(), **NO_PULSE)) as program:
            print(f"\n{kind} screen {width}x{height}")
            default, w, h, jpeg = shot(program, {})
            print(f"  program default JPEG          {default:8.1f} ms  {w}x{h}, {len(jpeg)} bytes")
            full, w, h, png = shot(program, FULL_PNG)
            reference = libpng_default_size(png)
            print(f"  program full-size PNG         {full:8.1f} ms  {w}x{h}, {len(png)} bytes,"
                  f" {len(png) / reference:.2f}x libpng's default size ({reference} bytes; target <= 1.3)")
            if baselines:
                scrot, scrot_size = scrot_ms(desktop, folder)
                xenv = dict(os.environ, **desktop.env())
                imagemagick = median_ms(lambda: subprocess.run(["import", "-window", "root", "jpg:-"], env=xenv,
                                                               check=True, capture_output=True))
                print(f"  baseline scrot PNG + Base64   {scrot:8.1f} ms  ({scrot_size} bytes)")
                print(f"  baseline import root JPEG     {imagemagick:8.1f} ms")
                print(f"  ratio default / scrot         {default / scrot:8.3f}")
                print(f"  ratio full-size PNG / scrot   {full / scrot:8.3f}")
                print(f"  ratio default / import        {default / imagemagick:8.3f}")
        viewer.terminate()


class Drawer:
    """Draws on the screen through Xlib, over whatever window is there, and waits until the
    server has done it: a clock's 200 x 200 square in a new colour, one more character of a
    line of text, or the whole screen inverted."""

    def __init__(self, display_name):
        x = ctypes.CDLL("libX11.so.6")
        x.XOpenDisplay.restype = ctypes.c_void_p
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XDefaultRootWindow.restype = ctypes.c_ulong
        x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        x.XCreateGC.restype = ctypes.c_void_p
        x.XCreateGC.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_void_p]
        x.XSetForeground.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_ulong]
        x.XSetFunction.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int]
        x.XFillRectangle.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                                     ctypes.c_uint, ctypes.c_uint]
        x.XDrawString.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                                  ctypes.c_char_p, ctypes.c_int]
        x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        self.x = x
        self.display = x.XOpenDisplay(display_name.encode())
        if not self.display:
            raise SystemExit(f"cannot open display {display_name}")
        x.XSetSubwindowMode.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int]
        self.window = x.XDefaultRootWindow(self.display)
        self.gc = x.XCreateGC(self.display, self.window, 0, None)
        x.XSetSubwindowMode(self.display, self.gc, 1)  # IncludeInferiors: over the windows too
        self.rounds = 0

    def clock(self):
        self.rounds += 1
        self.x.XSetForeground(self.display, self.gc, (self.rounds * 0x3f1f7) & 0xffffff)
        self.x.XFillRectangle(self.display, self.window, self.gc, 1600, 60, 200, 200)
        self.x.XSync(self.display, 0)

    def type(self):
        column, line = self.rounds % 180, self.rounds // 180
        self.rounds += 1
        self.x.XSetForeground(self.display, self.gc, 0)
        self.x.XDrawString(self.display, self.window, self.gc, 100 + 9 * column, 540 + 16 * line,
                           b"abcdefghijklmnopqrstuvwxyz"[column % 26:column % 26 + 1], 1)
        self.x.XSync(self.display, 0)

    def invert(self):
        self.x.XSetFunction(self.display, self.gc, 10)  # GXinvert
        self.x.XFillRectangle(self.display, self.window, self.gc, 0, 0, 1920, 1080)
        self.x.XSetFunction(self.display, self.gc, 3)  # GXcopy
        self.x.XSync(self.display, 0)


def bench_changes(folder):
    """The 1920x1080 photo-like screen changing between requests as a desktop does, for this
    build and, with VELMAR_BINARY_BEFORE, another one, beside scrot in the same run."""
    picture = os.path.join(folder, "photo-like-1920x1080.png")
    builds = [("this build", harness.BINARY)]
    if os.environ.get("VELMAR_BINARY_BEFORE"):
        builds.insert(0, ("before", os.environ["VELMAR_BINARY_BEFORE"]))
    with VirtualDesktop(1920, 1080) as desktop:
        viewer = show(desktop, picture)
        drawer = Drawer(desktop.env()["DISPLAY"])
        cases = [("default JPEG, nothing changed", {}, None),
                 ("default JPEG, a 200x200 square changed", {}, drawer.clock),
                 ("default JPEG, a line of text typed", {}, drawer.type),
                 ("default JPEG, everything changed", {}, drawer.invert),
                 ("full-size PNG, a 200x200 square changed", FULL_PNG, drawer.clock),
                 ("full-size PNG, nothing changed", FULL_PNG, None)]
        figures = {}
        for name, binary in builds:
            harness.BINARY = binary
            try:
                with Program(env=dict(desktop.env(), **NO_PULSE)) as program:
                    for case, body, before in cases:
                        figures[(name, case)] = shot(program, body, before)[0]
            finally:
                harness.BINARY = builds[-1][1]
        scrot, _ = scrot_ms(desktop, folder)
        viewer.terminate()
    print("\nphoto-like screen 1920x1080 changing between requests (median ms)")
    print(f"  {'':44}" + "".join(f"{name:>12}" for name, _ in builds) + f"{'scrot+Base64':>14}")
    for case, *_ in cases:
        print(f"  {case:44}" + "".join(f"{figures[(name, case)]:12.1f}" for name, _ in builds) + f"{scrot:14.1f}")


def bench_memory(width, height, folder):
    """Peak and idle resident memory of a program that answers only full-size PNGs of the
    photo-like screen, the largest pictures."""
    picture = os.path.join(folder, f"photo-like-{width}x{height}.png")
    photo_like_screen(width, height, picture)
    with VirtualDesktop(width, height) as desktop:
        viewer = show(desktop, picture)
        with Program(env=dict(desktop.env(), **NO_PULSE)) as program:
            pid = program.process.pid
            print(f"\nmemory, full-size PNG of the photo-like screen {width}x{height}")
            print(f"  resident before any picture   {resident(pid)}")
            full, *_ = shot(program, FULL_PNG)
            print(f"  peak resident                 {memory_mb(pid, 'VmHWM'):8.1f} MB  (target < 80; {full:.1f} ms a picture)")
            print(f"  resident right after          {resident(pid)}")
            time.sleep(IDLE_WAIT)
            print(f"  resident {IDLE_WAIT} s later           {resident(pid)}  (target < 10)")
        viewer.terminate()


def bench_one_core(folder):
    """The 1920x1080 photo-like screen with this script, the X server and the program all
    confined to core 0, as on a one-core machine."""
    everywhere = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(everywhere)})
    try:
        picture = os.path.join(folder, "photo-like-1920x1080.png")
        with VirtualDesktop(1920, 1080) as desktop:
            viewer = show(desktop, picture)
            with Program(env=dict(desktop.env(), **NO_PULSE)) as program:
                print("\none core (everything on one CPU), photo-like screen 1920x1080")
                default, *_ = shot(program, {})
                full, *_ = shot(program, FULL_PNG)
                print(f"  program default JPEG          {default:8.1f} ms")
                print(f"  program full-size PNG         {full:8.1f} ms")
            viewer.terminate()
    finally:
        os.sched_setaffinity(0, everywhere)


def main():
    print(f"{len(os.sched_getaffinity(0))} cores; load average {os.getloadavg()[0]:.2f} at the start;"
          f" medians of {ROUNDS} rounds")
    with tempfile.TemporaryDirectory() as folder:
        bench_screen("photo-like", 1920, 1080, folder, baselines=True)
        bench_changes(folder)
        bench_screen("text", 1920, 1080, folder, baselines=True)
        bench_screen("photo-like", 2560, 1600, folder, baselines=False)
        bench_screen("text", 2560, 1600, folder, baselines=False)
        bench_memory(2560, 1600, folder)
        bench_one_core(folder)
    print(f"\nload average {os.getloadavg()[0]:.2f} at the end")


if __name__ == "__main__":
    main()
