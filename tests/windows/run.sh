#!/usr/bin/env bash
# Runs the Windows build under wine: every test program, then tunova-cli.exe end to end against
# tunova-catalogue running on Linux.
#   tests/windows/run.sh WINDOWS_BUILD_DIR LINUX_BIN_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
linux_bin=$(cd "$2" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
. "$(dirname "$0")/wine-env.sh"

work=$(mktemp -d)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true; fi
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

status=0
for t in text http json app catalogue media cli; do
  if wine "$build/bin/${t}_test.exe" --gtest_brief=1 >"$work/$t.log" 2>&1; then
    echo "windows: ${t}_test $(grep -o '[0-9]* tests\? from' "$work/$t.log" | head -1 | cut -d' ' -f1) passed"
  else
    cat "$work/$t.log"
    echo "windows: ${t}_test FAILED" >&2
    status=1
  fi
done
[ "$status" -eq 0 ] || exit 1

# tunova-cli.exe against the Linux service on a fresh demo library.
. "$(dirname "$0")/../support/demo_catalogue.sh"
start_demo_catalogue "$linux_bin" "$work"
cli() { wine "$build/bin/tunova-cli.exe" "$@" | tr -d '\r'; }

cli tag 热门 >"$work/hot.txt"
[ "$(wc -l <"$work/hot.txt")" -eq 61 ] || fail "热门 gave $(wc -l <"$work/hot.txt") lines"
[ "$(tail -n 1 "$work/hot.txt")" = "状态：搜索完成" ] || fail "no done status: $(tail -n 1 "$work/hot.txt")"
[ "$(sed -n 60p "$work/hot.txt" | cut -f1)" = "60" ] || fail "rows not numbered across pages"
"$linux_bin/tunova-cli" tag 热门 >"$work/hot-linux.txt"
cmp -s "$work/hot.txt" "$work/hot-linux.txt" || fail "热门 differs from the Linux program's: $(diff "$work/hot.txt" "$work/hot-linux.txt" | head -5)"
[ "$(cli tag 856 | wc -l)" -eq 8 ] || fail "浪漫 by id"

cli search 月光 >"$work/moon.txt"
grep -q $'^1\t你的名字是月光\t' "$work/moon.txt" || fail "search 月光: $(cat "$work/moon.txt")"

mkdir "$work/save"
cli download 1 search 月光 --folder "$(winepath -w "$work/save")" >"$work/dl.txt" \
  || fail "download failed: $(cat "$work/dl.txt")"
grep -q "下载速度：" "$work/dl.txt" || fail "no rate lines"
grep -q "你的名字是月光 - 唐果  下载完成" "$work/dl.txt" || fail "no completion notice: $(cat "$work/dl.txt")"
url=$(cut -f5 "$work/moon.txt" | head -1)
curl -s -o "$work/direct.mp3" "$url"
cmp -s "$work/direct.mp3" "$work/save/你的名字是月光_唐果.mp3" || fail "downloaded file differs: $(ls "$work/save")"
[ -z "$(ls "$work/save" | grep -v '^你的名字是月光_唐果.mp3$')" ] || fail "stray files: $(ls "$work/save")"
echo "windows: tunova-cli.exe search, tag and download against tunova-catalogue: ok ($(sha256sum <"$work/direct.mp3" | cut -c1-16)…)"

# Two tunova-cli.exe on one song from a throttled one-song catalogue: the second changes nothing
# and says another program has it; the first ends with the whole song. Malformed rows exit 2.
{ printf 'ID3'; head -c $((2 * 1024 * 1024 - 3)) /dev/urandom; } >"$work/song.mp3"
/usr/bin/python3 "$(dirname "$0")/../support/song_server.py" 0 "$work/requests.log" \
  "$work/song.mp3" 1048576 >"$work/song-server.out" &
song_pid=$!
trap 'kill "$song_pid" 2>/dev/null || true; cleanup' EXIT
wait_until 'grep -qs listening "$work/song-server.out"' 30 || fail "the song server did not start"
mkdir "$work/shared"
shared=$(winepath -w "$work/shared")
one() { TUNOVA_CATALOGUE_HOST="127.0.0.1:$(cut -d' ' -f2 "$work/song-server.out")" \
  wine "$build/bin/tunova-cli.exe" download "$1" search slow --folder "$shared" 2>&1 | tr -d '\r'; }
TUNOVA_CATALOGUE_HOST="127.0.0.1:$(cut -d' ' -f2 "$work/song-server.out")" \
  wine "$build/bin/tunova-cli.exe" download 1abc search slow --folder "$shared" >/dev/null 2>&1 && code=0 || code=$?
[ "$code" -eq 2 ] || fail "download 1abc exited $code"
one 1 >"$work/first.txt" &
first=$!
wait_until '[ "$(stat -c %s "$work/shared/慢歌_歌手.mp3.part" 2>/dev/null || echo 0)" -gt 0 ]' 30 \
  || fail "the first program never started writing"
one 1 >"$work/second.txt" || true
grep -q "慢歌 - 歌手  正在另一程序中下载" "$work/second.txt" || fail "second: $(cat "$work/second.txt")"
wait "$first" || true
grep -q "慢歌 - 歌手  下载完成" "$work/first.txt" || fail "first: $(cat "$work/first.txt")"
cmp -s "$work/song.mp3" "$work/shared/慢歌_歌手.mp3" || fail "the song is not whole"
[ "$(ls "$work/shared")" = "慢歌_歌手.mp3" ] || fail "stray files: $(ls "$work/shared")"
[ "$(wc -l <"$work/requests.log")" -eq 1 ] || fail "the second program fetched: $(cat "$work/requests.log")"
echo "windows: two tunova-cli.exe on one song: one writer, the other told so; 1abc refused with exit 2"

# A batch with tunova-cli.exe: every song of a tag byte for byte, at most three transfers at
# once, plain lines (no console here); a second run fetches nothing (HEAD through WinInet).
mkdir "$work/songs" "$work/batch"
/usr/bin/python3 "$(dirname "$0")/../support/batch_server.py" "$work/batch.log" "$work/songs" 8 \
  >"$work/batch-server.out" &
batch_pid=$!
trap 'kill "$song_pid" "$batch_pid" 2>/dev/null || true; cleanup' EXIT
wait_until 'grep -qs listening "$work/batch-server.out"' 30 || fail "the batch server did not start"
batch_base="http://127.0.0.1:$(cut -d' ' -f2 "$work/batch-server.out")"
curl -sf "$batch_base/control?rate=400000" >/dev/null
batch() { TUNOVA_CATALOGUE_HOST="${batch_base#http://}" \
  wine "$build/bin/tunova-cli.exe" download all tag 热门 --folder "$(winepath -w "$work/batch")" \
  2>&1 | tr -d '\r'; }
batch >"$work/batch.txt" || fail "the batch failed: $(cat "$work/batch.txt")"
for k in 1 2 3 4 5 6 7 8; do
  cmp -s "$work/songs/$k.mp3" "$work/batch/歌曲${k}_歌手.mp3" || fail "song $k differs: $(cat "$work/batch.txt")"
done
[ "$(curl -sf "$batch_base/stats" | cut -d' ' -f2)" -le 3 ] || fail "more than 3 transfers at once"
! grep -q $'\x1b' "$work/batch.txt" || fail "escape sequences without a console"
[ "$(grep -c '  下载完成$' "$work/batch.txt")" -eq 8 ] || fail "batch lines: $(cat "$work/batch.txt")"
gets=$(grep -c '^GET' "$work/batch.log")
batch >"$work/batch2.txt" || fail "the second batch failed: $(cat "$work/batch2.txt")"
[ "$(grep -c '^GET' "$work/batch.log")" -eq "$gets" ] || fail "the second batch fetched"
[ "$(grep -c '  已存在，跳过$' "$work/batch2.txt")" -eq 8 ] || fail "skips: $(cat "$work/batch2.txt")"
echo "windows: tunova-cli.exe download all: 8 songs whole, at most 3 at once; a second run fetched nothing"
