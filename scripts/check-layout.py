#!/usr/bin/env python3
"""Holds every #include under src/ to the layers of the program, and each library's headers
to the one folder that speaks to that library. Prints each include that runs the wrong way
and exits 1 if there is one.

  base/                    nothing of the program's own
  imaging/                 base/
  platform/*.hpp           the other interfaces, imaging/, base/
  the domain folders       each other, platform/*.hpp, imaging/, base/ (app/main.cpp also
                           the Linux platform's assembly, which it starts)
  platform/<service>/      its own folder, platform/*.hpp, imaging/, base/ (and the services
                           it is built on: gnome/ on wayland/, x11/ (its XWayland's clipboard),
                           portal/, pipewire/ and keysyms/;
                           x11/ on keysyms/)
  platform/linux/          the services it assembles as well
"""

import os
import re
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")
DOMAIN = {"app", "audio", "capture", "http", "input", "mcp", "permissions", "screenshot", "service"}
SERVICES = {"keysyms", "x11", "kde", "wayland", "portal", "pipewire", "gnome", "pulseaudio", "ffmpeg", "fake"}
# Services built on others: a desktop reached through its portals and its Wayland connection.
BUILDS_ON = {"platform/gnome": {"platform/wayland", "platform/x11", "platform/portal", "platform/pipewire",
                                "platform/keysyms"},
             "platform/kde": {"platform/wayland", "platform/keysyms"},
             "platform/x11": {"platform/keysyms"}}

# A library's headers, and the folders that may include them.
LIBRARIES = [
    (re.compile(r"^(xcb/|X11/|xkbcommon/xkbcommon-x11)"), {"platform/x11"}),
    (re.compile(r"^(wayland-|xkbcommon/)"), {"platform/wayland", "platform/kde"}),
    (re.compile(r"^systemd/"), {"platform/portal", "platform/gnome", "platform/kde"}),
    (re.compile(r"^(pipewire/|spa/)"), {"platform/pipewire"}),
    (re.compile(r"^pulse/"), {"platform/pulseaudio"}),
    # Only the audio module, loaded when a recording starts, carries FFmpeg's libraries.
    (re.compile(r"^(libavformat|libavcodec|libswresample|libavutil|libswscale)/"), {"platform/ffmpeg"}),
    (re.compile(r"^(turbojpeg|libdeflate)\.h$"), {"imaging"}),
]

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def folder_of(path):
    """'platform/x11' for src/platform/x11/X.cpp, 'platform' for src/platform/X.hpp,
    'audio' for src/audio/X.cpp."""
    parts = path.split("/")
    if parts[0] == "platform" and len(parts) > 2:
        return "platform/" + parts[1]
    return parts[0]


def allowed(source_folder, source_file, target):
    target_folder = folder_of(target)
    if target_folder == source_folder or target_folder == "base":
        return True
    if source_folder == "base":
        return False
    if target_folder == "imaging":
        return True
    if source_folder == "imaging":
        return False
    if target_folder == "platform":
        return True
    if source_folder == "platform":
        return False
    if source_folder in DOMAIN:
        if target_folder in DOMAIN:
            return True
        return source_file == "app/main.cpp" and target == "platform/linux/LinuxPlatform.hpp"
    if target_folder in BUILDS_ON.get(source_folder, ()):
        return True
    if source_folder == "platform/linux":
        return target_folder.startswith("platform/") and target_folder != "platform/fake"
    return False


def main():
    faults = []
    for directory, _, names in os.walk(ROOT):
        for name in sorted(names):
            if not name.endswith((".cpp", ".hpp", ".h", ".c")):
                continue
            path = os.path.join(directory, name)
            relative = os.path.relpath(path, ROOT)
            source_folder = folder_of(relative)
            with open(path, encoding="utf-8") as f:
                for number, line in enumerate(f, 1):
                    match = INCLUDE.match(line)
                    if not match:
                        continue
                    bracket, target = match.groups()
                    if bracket == "<":
                        for pattern, folders in LIBRARIES:
                            if pattern.search(target) and source_folder not in folders:
                                faults.append(f"src/{relative}:{number}: <{target}> belongs to {', '.join(sorted(folders))}")
                    elif "/" in target and not allowed(source_folder, relative, target):
                        faults.append(f"src/{relative}:{number}: {source_folder} may not include \"{target}\"")
    for fault in faults:
        print(fault, file=sys.stderr)
    print(f"layout: {len(faults)} include(s) running the wrong way")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
