#!/usr/bin/env bash
# Installs what building, running and testing Velmar Computer Use needs on Debian.
# Idempotent: packages already present are skipped, so a second run costs a dpkg query.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config clang libclang-rt-dev
  # libraries
  nlohmann-json3-dev libasio-dev libgtest-dev libgmock-dev libbenchmark-dev
  libxcb1-dev libxcb-randr0-dev libxcb-shm0-dev libxcb-xtest0-dev libxcb-composite0-dev
  libxcb-xfixes0-dev libxcb-res0-dev libxcb-xkb-dev libxcb-keysyms1-dev libxcb-icccm4-dev
  libxkbcommon-x11-dev
  libpulse-dev libavformat-dev libavcodec-dev libavutil-dev libswresample-dev libswscale-dev
  libturbojpeg0-dev libdeflate-dev
  # an independent PNG decoder for the encoder tests and the PNG baseline of the benchmark
  libpng-dev
  # the private virtual desktop and the tools the tests drive it with
  xvfb x11-xkb-utils x11-utils x11-xserver-utils xauth pulseaudio pulseaudio-utils
  # the PipeWire sound system of current desktops, for the audio tests on it
  pipewire pipewire-pulse wireplumber dbus
  # what the private desktop shows: a clock and a terminal, with fonts for the CJK, the
  # symbols and the emoji that the tests and a newcomer type into it
  x11-apps xterm fonts-dejavu-core fonts-wqy-zenhei fonts-symbola
  # the Wayland backend: the client library, its protocol files and scanner, keymaps
  libwayland-dev libwayland-bin wayland-protocols libxkbcommon-dev
  # a headless sway for the Wayland tests and the private Wayland desktop, a terminal and
  # the GTK client that reports its input (Debian's Python with the GTK bindings); grim is
  # the baseline of the Wayland picture benchmark
  sway foot python3-gi gir1.2-gtk-3.0 grim
  # a headless KWin (KDE Plasma) with XWayland, and the KDE protocols the KDE backend speaks
  kwin-wayland plasma-wayland-protocols
  # a headless Weston with XWayland: a Wayland desktop that no backend serves, for the
  # tests of what the program says there
  weston xwayland
  # a headless GNOME Shell on Wayland with its desktop portals, for the GNOME tests; the
  # PipeWire and D-Bus client libraries that the GNOME backend reads frames and talks to
  # the portals with (python3-gi, above, answers the portals' dialogs in the tests)
  gnome-shell mutter xdg-desktop-portal xdg-desktop-portal-gnome libpipewire-0.3-dev libsystemd-dev
  # an X server with several monitors, for the main-display tests
  xserver-xorg-core xserver-xorg-video-dummy
  ffmpeg sox curl python3 imagemagick scrot iproute2
  # the end-to-end tests hold every answer to docs/openapi.yaml
  python3-yaml python3-jsonschema
  # the Debian package: its dependencies computed from the linked libraries, then checked
  dpkg-dev lintian
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

# Node and npm run the official MCP client in the MCP end-to-end tests. A Node installed from
# elsewhere brings its own npm, which Debian's npm package would conflict with: keep it.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  missing+=(nodejs npm)
fi

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}" >&2
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The MCP client, at the versions of the committed lock file; again only when the lock file
# has changed since the last install.
mcp_client="$(cd "$(dirname "$0")/.." && pwd)/tests/e2e/mcp"
if [ ! -f "$mcp_client/node_modules/.package-lock.json" ] \
    || [ "$mcp_client/package-lock.json" -nt "$mcp_client/node_modules/.package-lock.json" ]; then
  (cd "$mcp_client" && npm ci --no-audit --no-fund --loglevel=error)
fi
