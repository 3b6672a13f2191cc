# Sourced by the end-to-end scripts that need a desktop session of their own. in_private_session
# SCRIPT ARGS... runs SCRIPT again on an X display of its own with a private session bus (the
# accessibility bus and the notice service start on it), unless it already runs in one; the
# caller defines fail().
in_private_session() {
  [ -n "${TUNOVA_PRIVATE_SESSION:-}" ] && return 0
  command -v dbus-run-session >/dev/null || fail "dbus is missing (scripts/bootstrap installs it)"
  exec env TUNOVA_PRIVATE_SESSION=1 xvfb-run -a -s "-screen 0 1280x800x24" \
    dbus-run-session -- "$@"
}
