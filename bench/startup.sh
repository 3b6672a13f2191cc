#!/usr/bin/env bash
# Time from start to the main window shown , and resident memory then, for tunova against a bare
# wx program with one empty frame, measured in the same run (needs a display; xvfb-run works).
set -euo pipefail
bin="${1:-build/release/bin}"
measure() { # command, xdotool selector (--class NAME or --name TITLE)
  local best=999999 rss=0
  for _ in 1 2 3 4 5; do
    local t0 t1 pid
    t0=$(date +%s%N)
    "$1" </dev/null >/dev/null 2>&1 &
    pid=$!
    # Poll every 5 ms (xdotool's own --sync waits in half-second steps).
    local tries=0
    until xdotool search --onlyvisible $2 >/dev/null 2>&1; do
      sleep 0.005
      tries=$((tries + 1))
      [ "$tries" -lt 2000 ] || break
    done
    t1=$(date +%s%N)
    local ms=$(( (t1 - t0) / 1000000 ))
    [ "$ms" -lt "$best" ] && best=$ms
    sleep 0.3
    rss=$(awk '/VmRSS/ {print $2}' /proc/$pid/status 2>/dev/null || echo 0)
    kill $pid; wait $pid 2>/dev/null || true
  done
  echo "$best $rss"
}
out=$(mktemp)
measure "$bin/bench-bare-wx" "--name bare-wx-reference" >"$out"
read -r t_bare rss_bare <"$out"
measure "$bin/tunova" "--class tunova" >"$out"
read -r t_tunova rss_tunova <"$out"
rm -f "$out"
echo "tunova : shown after $t_tunova ms (best of 5), resident $((rss_tunova / 1024)) MiB"
echo "bare wx: shown after $t_bare ms (best of 5), resident $((rss_bare / 1024)) MiB"
awk -v a="$t_tunova" -v b="$t_bare" -v c="$rss_tunova" -v d="$rss_bare" \
  'BEGIN {printf "ratios tunova/bare: start-up %.2f, memory %.2f\n", a/b, c/d}'
