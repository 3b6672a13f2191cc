# Sourced by the end-to-end scripts. start_demo_catalogue BIN_DIR WORK_DIR makes a short demo
# library in WORK_DIR, serves it with BIN_DIR/tunova-catalogue on a free loopback port and
# returns once the service listens; it sets server_pid and port and exports
# TUNOVA_CATALOGUE_HOST. The caller defines fail() and stops server_pid when it is done.
start_demo_catalogue() {
  local bin=$1 work=$2
  "$bin/tunova-catalogue" make-demo "$work/library" --short >/dev/null || fail "no demo library"
  "$bin/tunova-catalogue" serve --library "$work/library" --listen 127.0.0.1:0 \
    >"$work/server.log" 2>&1 &
  server_pid=$!
  until grep -q listening "$work/server.log"; do
    kill -0 "$server_pid" 2>/dev/null || fail "the service did not start: $(cat "$work/server.log")"
    sleep 0.05
  done
  port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/server.log")
  [ -n "$port" ] || fail "the service did not start: $(cat "$work/server.log")"
  export TUNOVA_CATALOGUE_HOST="127.0.0.1:$port"
}
