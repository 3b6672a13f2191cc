#!/usr/bin/env bash
# The program in a desktop session of its own (a private session bus, with a recording notice
# service): the player is on the bus for the desktop's media keys and player applets, and a
# finished download raises a desktop notice. Everything through real clicks on the window.
#   tests/e2e/desktop_session.sh BIN_DIR
set -euo pipefail
bin=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
. "$here/../support/private_session.sh"
in_private_session "$0" "$@"
. "$here/../support/demo_catalogue.sh"

work=$(mktemp -d)
server_pid="" pid="" notices_pid=""
trap 'kill $pid $server_pid $notices_pid 2>/dev/null || true; rm -rf "$work"' EXIT
start_demo_catalogue "$bin" "$work"

# The desktop's notice service, recording every call.
/usr/bin/python3 -m dbusmock --session -t notification_daemon -l "$work/notices.log" \
  >"$work/notices.out" 2>&1 &
notices_pid=$!
until gdbus introspect --session --dest org.freedesktop.Notifications \
    --object-path /org/freedesktop/Notifications >/dev/null 2>&1; do
  kill -0 "$notices_pid" 2>/dev/null || fail "no notice service: $(cat "$work/notices.out")"
  sleep 0.1
done

# A copy of the program whose settings file names the save folder.
mkdir -p "$work/app" "$work/save"
cp "$bin/tunova" "$bin"/tunova-*.so "$work/app/"
printf '[保存目录]\r\n保存=%s/\r\n' "$work/save" | iconv -f UTF-8 -t GBK >"$work/app/bc.ini"

# The desktop's opener, recording what it is asked to open.
mkdir -p "$work/bin"
printf '#!/bin/sh\nprintf "%%s" "$1" >"%s/opened"\n' "$work" >"$work/bin/xdg-open"
chmod +x "$work/bin/xdg-open"

launch "$work/log" env HOME="$work" XDG_CONFIG_HOME="$work/config" PATH="$work/bin:$PATH" \
  "$work/app/tunova"
/usr/bin/python3 "$here/desktop_session.py" "$pid" "http://$TUNOVA_CATALOGUE_HOST" \
  "$work/save" "$work/notices.log" "$work/opened" || { cat "$work/log" >&2; fail "desktop session"; }
