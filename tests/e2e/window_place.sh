#!/usr/bin/env bash
# Under a real window manager (openbox, on an X display of its own) the main window opens where
# its definition puts it, with the outer size it gives: the top-left corner of its frame at
# (50, 50) and the frame 811 x 498, as without one.
#   tests/e2e/window_place.sh BIN_DIR
set -euo pipefail
bin=$(cd "$1" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
if [ -z "${WINDOW_PLACE_DISPLAY:-}" ]; then
  command -v openbox >/dev/null || fail "openbox is missing (scripts/bootstrap installs it)"
  exec env WINDOW_PLACE_DISPLAY=1 "$(dirname "$0")/../support/own_display.sh" "$0" "$@"
fi

work=$(mktemp -d)
wm_pid="" pid=""
trap 'kill $pid $wm_pid 2>/dev/null || true; rm -rf "$work"' EXIT
openbox --sm-disable >"$work/wm.log" 2>&1 &
wm_pid=$!
for _ in $(seq 100); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  sleep 0.1
done
xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id' || fail "openbox did not start"

# Nothing listens on the catalogue address: the window only has to open.
HOME="$work" XDG_CONFIG_HOME="$work/config" TUNOVA_CATALOGUE_HOST=127.0.0.1:9 \
  "$bin/tunova" >"$work/log" 2>&1 &
pid=$!
window=""
for _ in $(seq 300); do
  window=$(xdotool search --onlyvisible --pid "$pid" 2>/dev/null | head -1) || true
  [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || { cat "$work/log"; fail "the window did not appear"; }

# The frame's corner: the client's place on the screen less the frame's left and top edges.
corner() {
  local x y extents
  x=$(xwininfo -id "$window" | sed -n 's/.*Absolute upper-left X: *//p')
  y=$(xwininfo -id "$window" | sed -n 's/.*Absolute upper-left Y: *//p')
  extents=$(xprop -id "$window" _NET_FRAME_EXTENTS | sed -n 's/.* = //p' | tr -d ' ')
  [ -n "$extents" ] || return 1
  echo "$((x - ${extents%%,*})),$((y - $(echo "$extents" | cut -d, -f3)))"
}
at=""
for _ in $(seq 50); do
  at=$(corner || true)
  [ "$at" = "50,50" ] && break
  sleep 0.1
done
[ "$at" = "50,50" ] || fail "the main window's frame is at $at, not 50,50"

# The frame's outer size: the client's size and the frame's edges.
outer() {
  local w h extents l r t b
  w=$(xwininfo -id "$window" | sed -n 's/.*Width: *//p')
  h=$(xwininfo -id "$window" | sed -n 's/.*Height: *//p')
  extents=$(xprop -id "$window" _NET_FRAME_EXTENTS | sed -n 's/.* = //p' | tr -d ' ')
  IFS=, read -r l r t b <<<"$extents"
  echo "$((w + l + r))x$((h + t + b))"
}
size=""
for _ in $(seq 50); do
  size=$(outer)
  [ "$size" = "811x498" ] && break
  sleep 0.1
done
[ "$size" = "811x498" ] || fail "the main window's frame is $size, not 811x498"
echo "window place: under openbox the main window's frame is at $at, $size"
