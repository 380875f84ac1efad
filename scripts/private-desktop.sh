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
  # A shell here would run whatever a caller types; cat only echoes it.
  xterm -geometry 90x24+160+140 -title "Velmar Computer Use: private desktop" \
    -e sh -c 'printf "A private desktop for Velmar Computer Use.\nText typed here is only echoed.\n\n"; exec cat' \
    >>"$dir/desktop.log" 2>&1 &
  children+=($!)
  # Ready once both windows are mapped.
  for _ in $(seq 100); do
    [ "$(xwininfo -root -children 2>/dev/null | grep -c -E '"(xclock|xterm)"')" -ge 2 ] && break
    sleep 0.1
  done
}
