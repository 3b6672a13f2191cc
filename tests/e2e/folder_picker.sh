#!/usr/bin/env bash
# 设置目录 as a user meets it: the picker opens on the music folder the first time, a folder
# chosen with real clicks becomes the save folder in bc.ini, and the toolkit complains of nothing
# on the way (no Gtk-CRITICAL or warning in the program's output).
#   tests/e2e/folder_picker.sh BIN_DIR
set -euo pipefail
bin=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
. "$here/../support/private_session.sh"
in_private_session "$0" "$@"

work=$(mktemp -d)
pid=""
trap 'kill $pid 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/app" "$work/home/Music/in-music" "$work/home/歌曲"
cp "$bin/tunova" "$bin"/tunova-*.so "$work/app/"

# Nothing listens on the catalogue address: only the picker is used. The picker's own texts are
# in English under this locale.
launch "$work/log" env HOME="$work/home" XDG_CONFIG_HOME="$work/config" LC_ALL=C.UTF-8 \
  TUNOVA_CATALOGUE_HOST=127.0.0.1:9 "$work/app/tunova"
/usr/bin/python3 "$here/folder_picker.py" "$pid" "$work/home" || {
  cat "$work/log" >&2
  fail "choosing a folder"
}
stored=$(iconv -f GBK -t UTF-8 "$work/app/bc.ini" | tr -d '\r')
[ "$stored" = "$(printf '[保存目录]\n保存=%s/歌曲/' "$work/home")" ] || fail "bc.ini holds: $stored"
kill "$pid"
wait "$pid" 2>/dev/null || true
if grep -E 'Gtk-(CRITICAL|WARNING)|GLib-GObject-(CRITICAL|WARNING)' "$work/log"; then
  fail "the toolkit complained while a folder was chosen"
fi
echo "folder picker: opened on Music, 歌曲 chosen with clicks, stored in bc.ini, nothing complained"
