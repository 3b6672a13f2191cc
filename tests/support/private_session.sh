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
