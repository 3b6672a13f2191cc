#!/usr/bin/env bash
# The Windows program as a user meets it, under wine on the X display in $DISPLAY: tunova.exe and
# its runtime in a folder of their own with a bc.ini naming the save folder, against
# tunova-catalogue on Linux. Real input throughout (xdotool): type a term and Enter, right-click
# row 3 of the fresh list and copy its address, download it, play it, close the window.
#   tests/windows/gui.sh WINDOWS_BUILD_DIR LINUX_BIN_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
linux_bin=$(cd "$2" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
. "$(dirname "$0")/wine-env.sh"

title="Tunova音乐搜索下载器"
work=$(mktemp -d)
server_pid=""
program_pid=""
cleanup() {
  if [ -n "$program_pid" ]; then kill "$program_pid" 2>/dev/null || true; fi
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true; fi
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The host inside a test program first: geometry, SendInput, the request count, the player control.
if ! wine "$build/bin/runtime_test.exe" --gtest_brief=1 >"$work/runtime_test.log" 2>&1; then
  cat "$work/runtime_test.log"
  fail "runtime_test"
fi
echo "windows gui: runtime_test $(grep -o '[0-9]* tests\? from' "$work/runtime_test.log" | head -1 | cut -d' ' -f1) passed"

. "$(dirname "$0")/../support/demo_catalogue.sh"
start_demo_catalogue "$linux_bin" "$work"

# The program folder, as the portable zip unpacks it, with the save folder already chosen.
mkdir -p "$work/app" "$work/save"
cp "$build/bin/tunova.exe" "$build/bin/tunova-runtime.so" "$work/app/"
printf '[保存目录]\r\n保存=%s\\\r\n' "$(winepath -w "$work/save")" | iconv -f UTF-8 -t GBK >"$work/app/bc.ini"

wine "$work/app/tunova.exe" >"$work/program.log" 2>&1 &
program_pid=$!
window=""
find_window() { window=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -1); [ -n "$window" ]; }
wait_until find_window 60 || fail "no main window"
eval "$(xdotool getwindowgeometry --shell "$window")" # X, Y, WIDTH, HEIGHT of the client area
echo "windows gui: main window at $X,$Y, client area ${WIDTH}x$HEIGHT"
# Outer 811 x 498 (runtime_test checks it exactly) less wine's frame: 3 px borders and a caption
# whose height follows the caption font.
[ "$WIDTH" -eq 805 ] && [ "$HEIGHT" -ge 465 ] && [ "$HEIGHT" -le 475 ] \
  || fail "client area ${WIDTH}x$HEIGHT, not 805 x (465..475)"
sleep 0.5 # only for the screenshot: no signal says the first paint is done
import -window root "$build/gui-main.png"

# Type a term into the search box and press Enter. (A pinyin term: xdotool's typing of
# characters outside the keyboard map races wine's reading of the changed map and may drop one.)
term="an"
xdotool mousemove $((X + 250)) $((Y + 25)) click 1
xdotool type --delay 80 "$term"
xdotool key Return

# The rows the query must give, from the Linux program against the same service.
"$linux_bin/tunova-cli" search "$term" >"$work/expected.txt"
row3=$(sed -n 3p "$work/expected.txt" | cut -f5)
[ -n "$row3" ] || fail "the term gives fewer than 3 rows: $(cat "$work/expected.txt")"

# Row 3 of the list: header 24 px below the list's top (72), rows 18 px high.
row_y=$((Y + 72 + 24 + 2 * 18 + 9))
windows() { xdotool search --onlyvisible --classname '^tunova\.exe$' 2>/dev/null | wc -l; }
shown=$(windows) # the main window alone
menu() { # right-click row 3, then, once the pop-up menu is up, its Nth item by keyboard
  wait_until '[ "$(windows)" -eq "$shown" ]' 3 || return 1 # the last menu is gone
  right_click() {
    xdotool mousemove $((X + 300)) "$row_y" click 3
    wait_until '[ "$(windows)" -gt "$shown" ]' 1
  }
  # (wine may drop a click that comes right after the last menu closed: click again)
  wait_until right_click 4 || return 1 # no row 3 yet: no menu
  xdotool key --delay 60 $(printf 'Down %.0s' $(seq "$1")) Return
}
printf '' | xclip -selection clipboard
on_clipboard() { [ "$(xclip -o -selection clipboard 2>/dev/null)" = "$row3" ]; }
copied() { menu 3 && wait_until on_clipboard 3; }
wait_until copied 20 || fail "row 3 + 复制下载地址 did not copy $row3 (clipboard: $(xclip -o -selection clipboard 2>/dev/null))"
echo "windows gui: row 3's address is on the clipboard: $row3"
import -window root "$build/gui-results.png"

menu 2 || fail "no pop-up menu for 下载" # 下载
downloaded() { [ -n "$(ls "$work/save")" ] && ! ls "$work/save" | grep -q '\.part$'; }
wait_until downloaded 30 || fail "no download in the save folder"
file=$(ls "$work/save")
curl -s -o "$work/direct.mp3" "$row3"
cmp -s "$work/direct.mp3" "$work/save/$file" || fail "$file differs from $row3"
echo "windows gui: 下载 saved $file, byte-identical ($(stat -c %s "$work/direct.mp3") bytes)"

# 设置目录 opens the platform's folder picker; cancelling it changes nothing.
cp "$work/app/bc.ini" "$work/bc.before"
xdotool mousemove $((X + 744)) $((Y + 20)) click 1
wait_until '[ "$(windows)" -ge 2 ]' 20 || fail "设置目录 opened no folder picker"
sleep 0.5 # only for the screenshot
import -window root "$build/gui-picker.png"
xdotool key Escape
wait_until '[ "$(windows)" -eq 1 ]' 20 || fail "the folder picker did not close"
cmp -s "$work/bc.before" "$work/app/bc.ini" || fail "a cancelled picker changed bc.ini"
echo "windows gui: 设置目录 opens the folder picker; cancelling it leaves bc.ini as it was"

menu 1 || fail "no pop-up menu for 播放" # the player window opens with the control in it
wait_until '[ "$(windows)" -ge 2 ]' 10 || fail "no player window"
import -window root "$build/gui-player.png"

"$linux_bin/x-close" "$title" || fail "cannot ask the window to close"
code=0
wait "$program_pid" || code=$?
program_pid=""
[ "$code" -eq 0 ] || fail "exit code $code after closing, not 0"
echo "windows gui: closed by the window manager's close request, exit code 0"
