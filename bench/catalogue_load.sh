#!/usr/bin/env bash
# tunova-catalogue under load on 127.0.0.1: wrk with 64 keep-alive connections for 10 s on the
# demo library, first alone and then while 200 header-trickling and 200 idle connections are
# held, then SIGTERM with all of them still open. Prints wrk's latency figures, the ratio of the
# second run's p99 to the first's, and how long the stop took.
#   bench/catalogue_load.sh [BIN_DIR]     (default build/release/bin; needs wrk and python3)
set -euo pipefail
bin="${1:-build/release/bin}"
here="$(cd "$(dirname "$0")" && pwd)"
python=/usr/bin/python3
work=$(mktemp -d)
service_pid=""
holder_pid=""
cleanup() {
  [ -n "$holder_pid" ] && kill "$holder_pid" 2>/dev/null || true
  [ -n "$service_pid" ] && kill -9 "$service_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$bin/tunova-catalogue" make-demo "$work/lib" --short >/dev/null
"$bin/tunova-catalogue" serve --library "$work/lib" --listen 127.0.0.1:0 >"$work/service.log" &
service_pid=$!
until grep -q "listening on" "$work/service.log"; do
  kill -0 "$service_pid" || { echo "the service did not start"; exit 1; }
  sleep 0.05
done
port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/service.log")
url="http://127.0.0.1:$port/zamrilo/music/search/songs?query=%E6%9C%88&count=20&offset=0"

run_wrk() { # label
  wrk -t2 -c64 -d10s --latency "$url" >"$work/wrk.txt"
  local p99 max requests errors
  p99=$(awk '$1 == "99%" {print $2}' "$work/wrk.txt")
  max=$(awk '$1 == "Latency" {print $4}' "$work/wrk.txt")
  requests=$(awk '/requests in/ {print $1}' "$work/wrk.txt")
  errors=$(awk '/Socket errors|Non-2xx/ {print}' "$work/wrk.txt" | tr '\n' ' ')
  echo "$1: $requests requests, p99 $p99, max $max${errors:+, $errors}" >&2
  echo "$p99"
}
to_ms() { # wrk's "1.23ms" / "456.00us" / "1.02s"
  awk -v v="$1" 'BEGIN { n = v + 0; if (v ~ /us$/) n /= 1000; else if (v ~ /ms$/) n += 0;
                         else if (v ~ /s$/) n *= 1000; printf "%.3f", n }'
}

clean=$(run_wrk "64 keep-alive connections")
"$python" "$here/hold_clients.py" "$port" 200 >"$work/holder.log" &
holder_pid=$!
until grep -q holding "$work/holder.log"; do
  kill -0 "$holder_pid" || { echo "the client holder died"; exit 1; }
  sleep 0.05
done
abused=$(run_wrk "the same with 200 trickling + 200 idle connections held")
echo "p99 ratio (held / alone): $(awk -v a="$(to_ms "$abused")" -v b="$(to_ms "$clean")" \
  'BEGIN { printf "%.2f", a / b }')"

t0=$(date +%s%N)
kill -TERM "$service_pid"
wait "$service_pid" || true
t1=$(date +%s%N)
service_pid=""
echo "SIGTERM with 400 clients held: stopped in $(( (t1 - t0) / 1000000 )) ms"
