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
for t in text http json app catalogue media; do
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
