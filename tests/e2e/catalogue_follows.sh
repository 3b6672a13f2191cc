#!/usr/bin/env bash
# End to end: tunova-catalogue follows its library folder while it serves. A song added, then
# changed (a new title in its tag), then removed, and a song in a folder made after the start,
# each show in search within 10 seconds, without a restart.
set -euo pipefail
bin=$(cd "$1" && pwd)
work=$(mktemp -d)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

. "$(dirname "$0")/../support/demo_catalogue.sh"
start_demo_catalogue "$bin" "$work"

# An MP3 of silent frames, with an ID3v2.4 title when one is given.
song() { # FILE [TITLE]
  /usr/bin/python3 - "$@" <<'PY'
import sys
frame = b"\xff\xfb\x90\x64" + bytes(413)
tag = b""
if len(sys.argv) > 2:
    text = b"\x03" + sys.argv[2].encode("utf-8")
    size = lambda n: bytes([(n >> 21) & 127, (n >> 14) & 127, (n >> 7) & 127, n & 127])
    body = b"TIT2" + size(len(text)) + b"\x00\x00" + text
    tag = b"ID3\x04\x00\x00" + size(len(body)) + body
open(sys.argv[1], "wb").write(tag + frame * 100)
PY
}
count() { # TERM: rows a search gives
  curl -sf "http://127.0.0.1:$port/zamrilo/music/search/songs?query=$(/usr/bin/python3 -c \
    'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1]))' "$1")" \
    | /usr/bin/python3 -c 'import json, sys; print(len(json.load(sys.stdin)["data"]))'
}
follow() { # TERM ROWS WHAT: waits until TERM gives ROWS rows, at most 10 s
  local t0 i
  t0=$(date +%s%N)
  for ((i = 0; i < 200; i++)); do
    [ "$(count "$1")" -eq "$2" ] && break
    sleep 0.05
  done
  [ "$(count "$1")" -eq "$2" ] || fail "$3: search $1 never gave $2 rows"
  local ms=$(( ($(date +%s%N) - t0) / 1000000 ))
  [ "$ms" -le 10000 ] || fail "$3 took $ms ms"
  echo "catalogue-follows: $3 seen in search after $ms ms"
}

lib="$work/library"
song "$lib/歌手甲 - 新来的歌.mp3"
follow 新来的歌 1 "a song added"
song "$lib/歌手甲 - 新来的歌.mp3" 改过的歌
follow 改过的歌 1 "its tag changed"
[ "$(count 新来的歌)" -eq 0 ] || fail "the old title is still found"
rm "$lib/歌手甲 - 新来的歌.mp3"
follow 改过的歌 0 "the song removed"
mkdir "$lib/later"
song "$lib/later/歌手乙 - 后来的歌.mp3"
follow 后来的歌 1 "a song in a folder made since"
echo "catalogue-follows: 4 passed, 0 failed"
