#!/usr/bin/env bash
# End to end: tunova-catalogue on a fresh demo library, tunova-cli against it.
set -euo pipefail
bin="$1"
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

# A tag by caption and by id: 60 songs over three pages, numbered 1..60, then the status.
"$bin/tunova-cli" tag 热门 >"$work/hot.txt"
[ "$(wc -l <"$work/hot.txt")" -eq 61 ] || fail "热门 gave $(wc -l <"$work/hot.txt") lines"
[ "$(tail -n 1 "$work/hot.txt")" = "状态：搜索完成" ] || fail "no done status"
[ "$(sed -n 60p "$work/hot.txt" | cut -f1)" = "60" ] || fail "rows not numbered across pages"
awk -F'\t' 'NR<=60 && (NF!=5 || $4 !~ /^[0-9][0-9]:[0-9][0-9]$/ || $5 !~ /^http:\/\/127.0.0.1:[0-9]+\/media\/[0-9]+\.mp3$/) {bad=1} END {exit bad}' \
  "$work/hot.txt" || fail "malformed rows: $(head -3 "$work/hot.txt")"
[ "$("$bin/tunova-cli" tag 856 | wc -l)" -eq 8 ] || fail "浪漫 by id"

# A Chinese two-character search.
"$bin/tunova-cli" search 月光 >"$work/moon.txt"
grep -q $'^1\t你的名字是月光\t' "$work/moon.txt" || fail "search 月光: $(cat "$work/moon.txt")"

# Refusals: an empty term, and a download without a save folder.
if "$bin/tunova-cli" search "" 2>"$work/err.txt"; then fail "empty term accepted"; fi
grep -q "搜索词不能为空" "$work/err.txt" || fail "no empty-term message"

# A download into a folder given on the command line: byte-identical to the served file.
mkdir "$work/save"
"$bin/tunova-cli" download 1 search 月光 --folder "$work/save" >"$work/dl.txt" \
  || fail "download failed: $(cat "$work/dl.txt")"
grep -q "下载速度：" "$work/dl.txt" || fail "no rate lines"
grep -q "你的名字是月光 - 唐果  下载完成" "$work/dl.txt" || fail "no completion notice"
url=$(cut -f5 "$work/moon.txt" | head -1)
curl -s -o "$work/direct.mp3" "$url"
cmp -s "$work/direct.mp3" "$work/save/你的名字是月光_唐果.mp3" || fail "downloaded file differs"
[ -z "$(ls "$work/save" | grep -v '^你的名字是月光_唐果.mp3$')" ] || fail "stray files: $(ls "$work/save")"

# A stopped catalogue is a failed search: the status says so and the exit code is 1.
kill "$server_pid"; wait "$server_pid" 2>/dev/null || true; server_pid=""
if "$bin/tunova-cli" tag 热门 >"$work/down.txt" 2>"$work/down.err"; then
  fail "a search against a stopped catalogue reported success"
fi
[ "$(tail -n 1 "$work/down.txt")" = "状态：搜索失败" ] || fail "no failed status: $(cat "$work/down.txt")"
grep -q "no answer from http://127.0.0.1:$port/" "$work/down.err" || fail "no reason: $(cat "$work/down.err")"

# A stand-in catalogue: an empty list for "empty", else one song whose address is missing.
# It says "listening" once it accepts connections; the script waits for that line, however
# long the interpreter takes to start.
/usr/bin/python3 - "$port" >"$work/standin.log" <<'PY' &
import socket, sys
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(8)
print("listening", flush=True)
page = '{"data":[{"title":"坏","author":"链接","duration":1,"play_url":{"url_list":["http://127.0.0.1:%s/missing.mp3"]}}]}' % sys.argv[1]
while True:
    c, _ = s.accept(); req = c.recv(65536).decode("latin-1")
    if "query=%65%6D%70%74%79&" in req: body = '{"data":[]}'
    elif "query=%74%61%62%73&" in req: body = '{"data":[{"title":"a\\tb\\nc","author":"x\\ry","duration":1}]}'
    elif "/zamrilo/" in req: body = page
    else: body = "gone"
    body = body.encode()
    status = "200 OK" if "/zamrilo/" in req else "404 Not Found"
    c.sendall(("HTTP/1.1 %s\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % (status, len(body))).encode() + body)
    c.close()
PY
server_pid=$!
until grep -q listening "$work/standin.log"; do
  kill -0 "$server_pid" 2>/dev/null || fail "the stand-in catalogue did not start"
  sleep 0.05
done

"$bin/tunova-cli" search empty >"$work/empty.txt" || fail "an empty answer is not a failure"
[ "$(cat "$work/empty.txt")" = "状态：搜索完成" ] || fail "empty answer: $(cat "$work/empty.txt")"

# Tabs and line ends inside a cell are escaped: every row keeps five columns.
"$bin/tunova-cli" search tabs >"$work/tabs.txt" || fail "search tabs failed"
[ "$(head -n 1 "$work/tabs.txt")" = "$(printf '1\ta\\tb\\nc\tx\\ry\t00:01\t')" ] \
  || fail "cells not escaped: $(cat -A "$work/tabs.txt")"

# A failed download exits 1 and leaves nothing behind.
if "$bin/tunova-cli" download 1 search x --folder "$work/save" >"$work/bad.txt"; then
  fail "a 404 download reported success"
fi
grep -q "坏 - 链接  下载失败" "$work/bad.txt" || fail "no failure notice: $(cat "$work/bad.txt")"
[ ! -e "$work/save/坏_链接.mp3" ] && [ ! -e "$work/save/坏_链接.mp3.part" ] || fail "left a file"
echo "e2e: 1 passed, 0 failed"
