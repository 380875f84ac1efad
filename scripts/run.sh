#!/usr/bin/env bash
# Installs what is missing, builds, and runs Velmar Computer Use with a fresh token.
# Without a display it starts a private virtual desktop (Xvfb); without a sound server, a
# private PulseAudio server whose speakers play a 660 Hz tone and whose microphone hears a
# 440 Hz one, so that a recording carries both. It runs the program against them.
# With --sway the private desktop is a headless sway instead, for the Wayland backend.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMAR_SANITIZE=OFF -DVELMAR_TESTS=OFF -DVELMAR_BENCH=OFF >/dev/null
ninja -C build velmar-computer-use

state=$(mktemp -d /tmp/velmar-run.XXXXXX)
children=()
cleanup() {
  for pid in "${children[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$state"
}
trap cleanup EXIT INT TERM

if [ "${1:-}" = "--sway" ]; then
  source scripts/private-desktop.sh
  start_private_sway "$state"
  echo "started a private headless sway at $WAYLAND_DISPLAY" >&2
elif [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  # A background and two windows, so that the first picture is not all black.
  source scripts/private-desktop.sh
  start_private_desktop "$state"
  echo "started a private X display $DISPLAY" >&2
fi

if ! pactl info >/dev/null 2>&1; then
  mkdir -p "$state/pulse"
  export HOME="$state" XDG_RUNTIME_DIR="$state/pulse" PULSE_RUNTIME_PATH="$state/pulse" PULSE_STATE_PATH="$state/pulse"
  pulseaudio -n --daemonize=no --system=no --exit-idle-time=-1 --disallow-exit --use-pid-file=no \
    -L "module-native-protocol-unix auth-anonymous=1 socket=$state/pulse/native" \
    -L "module-null-sink sink_name=speakers" -L "module-sine-source source_name=microphone frequency=440" \
    -L "module-sine sink=speakers frequency=660" \
    >"$state/pulse.log" 2>&1 &
  children+=($!)
  export PULSE_SERVER="unix:$state/pulse/native"
  for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
  pactl set-default-sink speakers >/dev/null 2>&1 || true
  pactl set-default-source microphone >/dev/null 2>&1 || true
  echo "started a private sound server at $PULSE_SERVER" >&2
fi

token_file="$state/token"
head -c 24 /dev/urandom | base64 | tr -d '/+=' >"$token_file"
token=$(cat "$token_file")

build/velmar-computer-use --token-file "$token_file" --port-file "$state/port" --parent-pid $$ &
children+=($!)
for _ in $(seq 100); do [ -s "$state/port" ] && break; sleep 0.1; done
port=$(sed -E 's/.*"port":([0-9]+).*/\1/' "$state/port")
cat >&2 <<MSG

Velmar Computer Use is listening on 127.0.0.1:$port. Try:
  curl -s -H 'Authorization: Bearer $token' http://127.0.0.1:$port/status
  curl -s -H 'Authorization: Bearer $token' http://127.0.0.1:$port/windows
  curl -s -H 'Authorization: Bearer $token' -d '{}' http://127.0.0.1:$port/screenshot | python3 -c 'import base64, json, sys; open("screenshot.jpg", "wb").write(base64.b64decode(json.load(sys.stdin)["base64"]))'
  curl -s -H 'Authorization: Bearer $token' -d '{"directory":"/tmp/velmar-recording","part_seconds":10}' http://127.0.0.1:$port/audio/start
  curl -s -H 'Authorization: Bearer $token' -X POST http://127.0.0.1:$port/audio/stop
Stop it with Ctrl-C.
MSG
wait "${children[-1]}"
