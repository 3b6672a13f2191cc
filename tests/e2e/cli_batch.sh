#!/usr/bin/env bash
# End to end: tunova-cli keeping many songs at once from a catalogue stand-in that counts its
# open transfers: ranges, all, the queue's bound, nothing fetched twice, a failing song among
# good ones, Ctrl-C and the resume, progress on a terminal and plain lines in a pipe, --json.
set -euo pipefail
bin=$(cd "$1" && pwd)
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

count=12
mkdir "$work/songs" "$work/save"
/usr/bin/python3 "$(dirname "$0")/../support/batch_server.py" "$work/requests.log" \
  "$work/songs" "$count" >"$work/server.out" &
pids+=($!)
until grep -qs listening "$work/server.out"; do
  kill -0 "${pids[0]}" 2>/dev/null || fail "the stand-in catalogue did not start"
  sleep 0.05
done
base="http://127.0.0.1:$(cut -d' ' -f2 "$work/server.out")"
export TUNOVA_CATALOGUE_HOST="${base#http://}"
control() { curl -sf "$base/control?$1" >/dev/null || fail "control $1"; }
max_open() { curl -sf "$base/stats" | cut -d' ' -f2; }
gets() { grep -c '^GET' "$work/requests.log" 2>/dev/null || true; }
cli() { "$bin/tunova-cli" download "$@" tag 热门 --folder "$work/save"; }
# same K: the saved song K is byte for byte the served one
same() { cmp -s "$work/songs/$1.mp3" "$work/save/歌曲$1_歌手.mp3"; }
saved() { ls "$work/save" | sort | tr '\n' ' '; }

# Ranges and a list choose exactly their rows.
cli 2-3,5 >"$work/ranges.out" || fail "2-3,5 failed: $(cat "$work/ranges.out")"
[ "$(saved)" = "歌曲2_歌手.mp3 歌曲3_歌手.mp3 歌曲5_歌手.mp3 " ] || fail "2-3,5 saved: $(saved)"
for k in 2 3 5; do same "$k" || fail "song $k differs"; done
echo "cli-batch: 2-3,5 saved exactly songs 2, 3 and 5"

# all: every song byte for byte, at most three transfers at once (and the queue does use three),
# one plain line per song when the output is a pipe, then the total.
control "rate=400000&reset=1"
cli all >"$work/all.out" || fail "all failed: $(cat "$work/all.out")"
for k in $(seq "$count"); do same "$k" || fail "song $k differs after all"; done
[ "$(max_open)" -eq 3 ] || fail "$(max_open) transfers were open at once"
! grep -q $'\x1b' "$work/all.out" || fail "escape sequences in a pipe: $(cat -v "$work/all.out")"
[ "$(grep -c '  下载完成$' "$work/all.out")" -eq 9 ] || fail "done lines: $(cat "$work/all.out")"
[ "$(grep -c '  已存在，跳过$' "$work/all.out")" -eq 3 ] || fail "skip lines: $(cat "$work/all.out")"
[ "$(wc -l <"$work/all.out")" -eq $((count + 1)) ] || fail "lines: $(cat "$work/all.out")"
tail -n 1 "$work/all.out" | grep -q "^完成 $count/$count  跳过 3  失败 0 .*下载速度：" \
  || fail "total line: $(tail -n 1 "$work/all.out")"
echo "cli-batch: all kept $count songs byte for byte, at most 3 transfers at once"

# A second run fetches nothing: HEAD requests only, every song reported as already there.
before=$(gets)
cli all >"$work/again.out" || fail "the second run failed: $(cat "$work/again.out")"
[ "$(gets)" -eq "$before" ] || fail "the second run fetched: $(tail -n 5 "$work/requests.log")"
[ "$(grep -c '  已存在，跳过$' "$work/again.out")" -eq "$count" ] || fail "$(cat "$work/again.out")"
# --overwrite fetches again.
cli 4 --overwrite >/dev/null || fail "--overwrite failed"
[ "$(gets)" -eq $((before + 1)) ] && same 4 || fail "--overwrite did not fetch song 4 again"
echo "cli-batch: a second run fetched nothing; --overwrite fetched again"

# A failing song among good ones: exit 1, the song named with its reason, the rest kept.
rm -f "$work/save/"*
control "missing=7"
code=0
cli 6-8 >"$work/fail.out" 2>"$work/fail.err" || code=$?
control "missing=0"
[ "$code" -eq 1 ] || fail "a failing song gave exit $code"
grep -q "^  7	歌曲7 - 歌手	.*404" "$work/fail.err" || fail "not named: $(cat "$work/fail.err")"
grep -q "歌曲7 - 歌手  下载失败" "$work/fail.out" || fail "no failure line: $(cat "$work/fail.out")"
same 6 && same 8 || fail "the good songs were not kept"
[ "$(saved)" = "歌曲6_歌手.mp3 歌曲8_歌手.mp3 " ] || fail "after a failure: $(saved)"
echo "cli-batch: a failing song gave exit 1 and was named; the others were kept"

# Ctrl-C during a batch: only whole songs and partial files stay, and the next run resumes.
rm -f "$work/save/"* "$work/requests.log"
control "rate=60000"
"$bin/tunova-cli" download all tag 热门 --folder "$work/save" --jobs 2 >"$work/int.out" \
  2>"$work/int.err" &
victim=$!
pids+=("$victim")
for ((i = 0; i < 400; i++)); do
  [ "$(find "$work/save" -name '*.part' -size +40k | wc -l)" -ge 2 ] && break
  sleep 0.05
done
kill -INT "$victim"
code=0
wait "$victim" || code=$?
[ "$code" -eq 130 ] || fail "an interrupted batch exited $code: $(cat "$work/int.err")"
parts=0
for f in "$work/save/"*; do
  case "$f" in
    *.mp3.part) parts=$((parts + 1)) ;;
    *.mp3.part.info) ;;
    *.mp3) k=${f##*/歌曲}; same "${k%%_*}" || fail "an interrupted batch left $f not whole" ;;
    *) fail "an interrupted batch left $f" ;;
  esac
done
[ "$parts" -eq 2 ] || fail "partial files after Ctrl-C: $(saved)"
control "rate=0"
cli all >"$work/resume.out" || fail "the resumed batch failed: $(cat "$work/resume.out")"
for k in $(seq "$count"); do same "$k" || fail "song $k differs after the resume"; done
[ "$(grep -c 'range=bytes=[1-9][0-9]*- if-range="s' "$work/requests.log")" -eq 2 ] \
  || fail "not resumed: $(cat "$work/requests.log")"
[ "$(ls "$work/save" | wc -l)" -eq "$count" ] || fail "stray files: $(saved)"
echo "cli-batch: Ctrl-C left whole songs and $parts partial files; the next run resumed them"

# On a terminal: bars redrawn in place, then the total.
rm -f "$work/save/"*
control "rate=150000"
script -qfec "'$bin/tunova-cli' download 1-3 tag 热门 --folder '$work/save'" /dev/null \
  >"$work/tty.out" || fail "on a terminal: $(cat -v "$work/tty.out")"
grep -q $'\x1b\\[2K歌曲[0-9] - 歌手 *\\[#*-*\\] *[0-9]*% ' "$work/tty.out" \
  || fail "no bars: $(cat -v "$work/tty.out" | head -20)"
grep -q $'\x1b\\[[0-9]F' "$work/tty.out" || fail "not redrawn in place"
grep -q "完成 3/3  失败 0" "$work/tty.out" || fail "no total: $(cat -v "$work/tty.out" | tail -3)"
control "rate=0"
echo "cli-batch: a terminal shows bars redrawn in place"

# --json: the same rows as the tab-separated list.
"$bin/tunova-cli" tag 热门 >"$work/rows.tsv"
"$bin/tunova-cli" tag 热门 --json >"$work/rows.json"
/usr/bin/python3 - "$work/rows.tsv" "$work/rows.json" <<'PY' || fail "--json differs"
import json, sys
tsv = [l.rstrip("\n").split("\t") for l in open(sys.argv[1], encoding="utf-8")][:-1]
rows = json.load(open(sys.argv[2], encoding="utf-8"))
assert len(rows) == len(tsv) == 12, (len(rows), len(tsv))
for row, cells in zip(rows, tsv):
    m, s = cells[3].split(":")
    assert [str(row["number"]), row["title"], row["singer"], row["duration_text"],
            row["address"]] == cells, (row, cells)
    assert row["duration"] == int(m) * 60 + int(s), row
PY
echo "cli-batch: --json parses and matches the tab-separated rows"
echo "cli-batch: 7 passed, 0 failed"
