# A private virtual desktop for a machine without a display: Xvfb with a background and two
# windows (a clock, and a terminal that only echoes what is typed into it), so that pictures
# of it show something; an all-black screen reads as a refused Screen Recording permission.
# No window manager, as on a bare X server. Sourced by scripts/run.sh and by the tests.
#
# start_private_desktop DIRECTORY: starts it, exports DISPLAY, and appends the process ids to
# the array `children` for the caller to stop. Logs go into DIRECTORY.
start_private_desktop() {
  local dir=$1
  Xvfb -displayfd 1 -screen 0 1920x1080x24 -nolisten tcp -noreset >"$dir/display" 2>"$dir/xvfb.log" &
  children+=($!)
  for _ in $(seq 100); do [ -s "$dir/display" ] && break; sleep 0.1; done
  export DISPLAY=":$(head -n1 "$dir/display")"

  xsetroot -solid '#3b6e8f' -cursor_name left_ptr
  xclock -geometry 260x260+1600+60 -update 1 >>"$dir/desktop.log" 2>&1 &
  children+=($!)
  # A shell here would run whatever a caller types; cat only echoes it. The font comes through
  # fontconfig, which finds the CJK and symbol fonts for what its own font lacks.
  xterm -fa "DejaVu Sans Mono" -fs 11 -geometry 90x24+160+140 -title "Velmar Computer Use: private desktop" \
    -e sh -c 'printf "A private desktop for Velmar Computer Use.\nText typed here is only echoed.\n\n"; exec cat' \
    >>"$dir/desktop.log" 2>&1 &
  children+=($!)
  # Ready once both windows are mapped.
  for _ in $(seq 100); do
    [ "$(xwininfo -root -children 2>/dev/null | grep -c -E '"(xclock|xterm)"')" -ge 2 ] && break
    sleep 0.1
  done
}

# start_private_sway DIRECTORY: a private headless sway (one 1920x1080 output, a coloured
# background and a terminal that only echoes what is typed), for trying the Wayland backend
# on a machine without a display. sway refuses to run as root: as root it runs as the user
# velmar-wayland, made once. Exports WAYLAND_DISPLAY (the socket's full path) and SWAYSOCK,
# and appends the process ids to `children`. Logs go into DIRECTORY.
start_private_sway() {
  local dir=$1 runtime=$1/wayland user_switch=()
  mkdir -p "$runtime"
  chmod 700 "$runtime"
  if [ "$(id -u)" -eq 0 ]; then
    id velmar-wayland >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin velmar-wayland
    chown velmar-wayland "$runtime"
    chmod 755 "$dir"
    user_switch=(setpriv "--reuid=$(id -u velmar-wayland)" "--regid=$(id -g velmar-wayland)" --clear-groups)
  fi
  cat >"$dir/sway.config" <<CONFIG
output HEADLESS-1 resolution 1920x1080 position 0 0 bg #3b6e8f solid_color
exec foot --title "Velmar Computer Use: private desktop" sh -c 'printf "A private desktop for Velmar Computer Use.\nText typed here is only echoed.\n\n"; exec cat'
CONFIG
  chmod 644 "$dir/sway.config"
  env -i XDG_RUNTIME_DIR="$runtime" WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
    HOME="$dir" PATH=/usr/bin:/bin "${user_switch[@]}" sway -c "$dir/sway.config" >"$dir/sway.log" 2>&1 &
  children+=($!)
  for _ in $(seq 150); do
    compgen -G "$runtime/sway-ipc.*.sock" >/dev/null && compgen -G "$runtime/wayland-*" >/dev/null && break
    sleep 0.1
  done
  export WAYLAND_DISPLAY
  WAYLAND_DISPLAY=$(ls "$runtime"/wayland-* | grep -v '\.lock$' | head -n1)
  SWAYSOCK=$(ls "$runtime"/sway-ipc.*.sock | head -n1)
  export SWAYSOCK
  unset DISPLAY
  # Ready once the terminal is shown.
  for _ in $(seq 100); do
    swaymsg -t get_tree 2>/dev/null | grep -q '"app_id": "foot"' && break
    sleep 0.1
  done
}
