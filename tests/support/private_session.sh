# Sourced by the end-to-end scripts that need a desktop session of their own. in_private_session
# SCRIPT ARGS... runs SCRIPT again on an X display of its own with a private session bus (the
# accessibility bus and the notice service start on it) and a runtime folder of its own (where
# the accessibility bus puts its socket, named after the display, which another session may have
# used a moment before), unless it already runs in one; the caller defines fail().
in_private_session() {
  [ -n "${TUNOVA_PRIVATE_SESSION:-}" ] && return 0
  command -v dbus-run-session >/dev/null || fail "dbus is missing (scripts/bootstrap installs it)"
  local runtime status=0
  runtime=$(mktemp -d)
  env TUNOVA_PRIVATE_SESSION=1 XDG_RUNTIME_DIR="$runtime" \
    "$(dirname "${BASH_SOURCE[0]}")/own_display.sh" dbus-run-session -- "$@" || status=$?
  rm -rf "$runtime"
  exit "$status"
}

# launch LOG COMMAND [ARGS...] starts the program in the background (its output to LOG) and
# returns once its window is on the screen, setting pid. Now and then an X server just started
# refuses the very first connection of a GTK program (it opens a moment later), so a start that
# ends at once with no display is tried again, twice at most; any other end is a failure.
launch() {
  local log=$1 attempt
  shift
  for attempt in 1 2 3; do
    "$@" >"$log" 2>&1 &
    pid=$!
    while kill -0 "$pid" 2>/dev/null; do
      xdotool search --onlyvisible --pid "$pid" >/dev/null 2>&1 && return 0
      sleep 0.1
    done
    grep -q "no display to open the window on" "$log" || { cat "$log" >&2; fail "the program ended"; }
    echo "launch: the display refused the program's first connection (try $attempt)" >&2
  done
  fail "the program could not open the display"
}
