#!/usr/bin/env bash
# End to end: tunova-catalogue at its limits. Out of descriptors (a limit of 64, 80 clients) it
# turns new clients away without spinning, serves again once they are gone, and stops on
# SIGTERM; thousands of sockets from one address (127.0.0.2) leave 127.0.0.1 served.
set -euo pipefail
bin=$(cd "$1" && pwd)
work=$(mktemp -d)
pids=()
cleanup() {
  exec 3>&- # the holders end when their input closes
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
python=/usr/bin/python3

"$bin/tunova-catalogue" make-demo "$work/lib" --short >/dev/null || fail "no demo library"
serve() { # LOG [prlimit arguments...]: starts the service, sets pid and port
  local log=$1
  shift
  "$@" "$bin/tunova-catalogue" serve --library "$work/lib" --listen 127.0.0.1:0 >"$log" 2>&1 &
  pid=$!
  pids+=("$pid")
  until grep -qs "listening on" "$log"; do
    kill -0 "$pid" 2>/dev/null || fail "the service did not start: $(cat "$log")"
    sleep 0.05
  done
  port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$log")
}
ping_ok() { curl -sf -m 2 "http://127.0.0.1:$port/ping" | grep -qx ok; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
# Holds COUNT connections from ADDRESS until stdin closes; says "holding N" once they are open.
hold() {
  "$python" -c '
import socket, sys
address, port, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
held = []
for _ in range(count):
    s = socket.socket()
    s.bind((address, 0))
    try:
        s.connect(("127.0.0.1", port))
        held.append(s)
    except OSError:
        s.close()
print("holding", len(held), flush=True)
sys.stdin.read()
' "$@"
}

# Out of descriptors.
serve "$work/emfile.log" prlimit --nofile=64:64
exec 3> >(hold 127.0.0.1 "$port" 80 >"$work/hold1.out")
until grep -qs holding "$work/hold1.out"; do sleep 0.05; done
before=$(cpu_ticks "$pid")
sleep 1
spent=$(( $(cpu_ticks "$pid") - before ))
[ "$spent" -le 20 ] || fail "out of descriptors, the service used $spent ticks in a second"
exec 3>&-
for ((i = 0; i < 60; i++)); do ping_ok && break; sleep 0.05; done
ping_ok || fail "the service does not answer after the clients left"
before=$(cpu_ticks "$pid")
sleep 1
spent=$(( $(cpu_ticks "$pid") - before ))
[ "$spent" -le 10 ] || fail "the service is not idle after the clients left ($spent ticks)"
t0=$(date +%s%N)
kill -TERM "$pid"
wait "$pid" || true
ms=$(( ($(date +%s%N) - t0) / 1000000 ))
[ "$ms" -lt 1000 ] || fail "SIGTERM took $ms ms"
echo "catalogue-limits: out of descriptors it turned clients away idle, served again, stopped in $ms ms"

# One address holding thousands of sockets.
ulimit -n 8192 2>/dev/null || ulimit -n "$(ulimit -Hn)"
serve "$work/address.log"
exec 3> >(hold 127.0.0.2 "$port" 3000 >"$work/hold2.out")
until grep -qs holding "$work/hold2.out"; do sleep 0.05; done
t0=$(date +%s%N)
ping_ok || fail "127.0.0.1 is not served while 127.0.0.2 holds 3000 sockets"
ms=$(( ($(date +%s%N) - t0) / 1000000 ))
sockets=$(find "/proc/$pid/fd" -lname 'socket:*' | wc -l)
[ "$sockets" -le 1010 ] || fail "the service holds $sockets sockets for one address"
exec 3>&-
echo "catalogue-limits: 127.0.0.2 held to $sockets sockets of 3000; 127.0.0.1 answered in $ms ms"
echo "catalogue-limits: 2 passed, 0 failed"
