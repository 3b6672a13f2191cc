#!/usr/bin/env bash
# Programs sharing a save folder, end to end with tunova-cli against a throttled one-song
# catalogue: one writer per song across programs, a writer killed with SIGKILL leaves a partial
# file the next run resumes, the song is flushed before it is renamed into place, and malformed
# row selections are refused before anything is fetched.
#   tests/e2e/one_writer.sh BIN_DIR
set -euo pipefail
bin="$1"
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# A 3 MiB song served at 1 MiB/s: a download takes about three seconds.
{ printf 'ID3'; head -c $((3 * 1024 * 1024 - 3)) /dev/urandom; } >"$work/song.mp3"
want=$(sha256sum <"$work/song.mp3" | cut -d' ' -f1)
/usr/bin/python3 "$here/../support/song_server.py" 0 "$work/requests.log" "$work/song.mp3" \
  1048576 >"$work/server.out" &
pids+=($!)
until grep -q listening "$work/server.out"; do
  kill -0 "${pids[0]}" 2>/dev/null || fail "the song server did not start"
  sleep 0.05
done
export TUNOVA_CATALOGUE_HOST="127.0.0.1:$(cut -d' ' -f2 "$work/server.out")"
save="$work/save"
mkdir "$save"
song="$save/慢歌_歌手.mp3"
cli() { "$bin/tunova-cli" download "$@" search slow --folder "$save"; }
size_of() { stat -c %s "$1" 2>/dev/null || echo 0; }
wait_size() { # FILE BYTES: until FILE holds at least BYTES
  local i
  for ((i = 0; i < 300; i++)); do
    [ "$(size_of "$1")" -ge "$2" ] && return 0
    sleep 0.05
  done
  fail "$1 never reached $2 bytes"
}

# Malformed or missing rows: exit 2, and no media request reaches the server.
for selection in 1abc 0 -1 2- 3-1 2 01 ""; do
  code=0
  cli "$selection" >/dev/null 2>"$work/sel.err" || code=$?
  [ "$code" -eq 2 ] || fail "selection '$selection' gave exit $code"
  [ -s "$work/sel.err" ] || fail "selection '$selection' said nothing"
done
[ ! -e "$work/requests.log" ] || fail "a refused selection fetched: $(cat "$work/requests.log")"
echo "one-writer: malformed selections refused with exit 2, nothing fetched"

# Two programs on one song: the second changes nothing and says another program has it; the
# first reports done with the whole song on disk at that moment.
"$bin/tunova-cli" download 1 search slow --folder "$save" >"$work/first.out" 2>&1 &
first=$!
pids+=("$first")
wait_size "$song.part" 100000
code=0
cli 1 >"$work/second.out" 2>"$work/second.err" || code=$?
[ "$code" -eq 1 ] || fail "the second program exited $code"
grep -q "慢歌 - 歌手  正在另一程序中下载" "$work/second.out" || fail "no notice: $(cat "$work/second.out")"
grep -q "another program is downloading" "$work/second.err" || fail "no reason: $(cat "$work/second.err")"
until grep -q "下载完成\|下载失败" "$work/first.out"; do
  kill -0 "$first" 2>/dev/null || break
  sleep 0.02
done
got=$(sha256sum <"$song" | cut -d' ' -f1) # the instant it reports
wait "$first" || fail "the first program failed: $(cat "$work/first.out")"
grep -q "慢歌 - 歌手  下载完成" "$work/first.out" || fail "first: $(cat "$work/first.out")"
[ "$got" = "$want" ] || fail "the song announced done was not whole"
[ "$(ls "$save")" = "慢歌_歌手.mp3" ] || fail "stray files: $(ls "$save")"
[ "$(wc -l <"$work/requests.log")" -eq 1 ] || fail "the second program fetched: $(cat "$work/requests.log")"
echo "one-writer: a second program on the same song changed nothing and said so"

# A writer killed with SIGKILL: its partial file and record stay, the claim dies with it, and
# the next run resumes from where it stopped (If-Range naming the version).
rm -f "$song" "$work/requests.log"
"$bin/tunova-cli" download 1 search slow --folder "$save" >/dev/null 2>&1 &
victim=$!
pids+=("$victim")
wait_size "$song.part" 1000000
kill -9 "$victim"
wait "$victim" 2>/dev/null || true
[ ! -e "$song" ] || fail "a killed download left the song's name"
[ -e "$song.part" ] && [ -e "$song.part.info" ] || fail "the partial file is gone: $(ls "$save")"
kept=$(size_of "$song.part")
# The flush before the rename, seen from outside: fdatasync of the partial file, the rename,
# then the folder's fsync.
strace -f -qq -e trace=fdatasync,fsync,rename,renameat,renameat2 -o "$work/trace.txt" \
  "$bin/tunova-cli" download 1 search slow --folder "$save" >"$work/resume.out" 2>&1 \
  || fail "the resumed download failed: $(cat "$work/resume.out")"
[ "$(sha256sum <"$song" | cut -d' ' -f1)" = "$want" ] || fail "the resumed song differs"
[ "$(ls "$save")" = "慢歌_歌手.mp3" ] || fail "stray files after the resume: $(ls "$save")"
grep -q "^GET range=bytes=$kept- if-range=\"song-" "$work/requests.log" \
  || fail "not resumed from $kept: $(cat "$work/requests.log")"
order=$(grep -E 'fdatasync|fsync|rename' "$work/trace.txt" | grep -v 'bc.ini\|unfinished\|resumed' \
  | sed -E 's/^[0-9]+ +//; s/^(fdatasync|fsync).*/\1/; s/^rename[a-z0-9]*\(.*mp3\.part".*/rename-part/' \
  | grep -E '^(fdatasync|fsync|rename-part)$' | tr '\n' ' ')
case "$order" in
  *"fdatasync rename-part fsync"*) echo "one-writer: seen in order: $order" ;;
  *) fail "no flush, rename, folder flush in that order: $order" ;;
esac
echo "one-writer: a killed writer's partial file resumed from $kept bytes; flushed before the rename"
echo "one-writer: 3 passed, 0 failed"
