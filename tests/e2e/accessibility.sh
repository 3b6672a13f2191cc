#!/usr/bin/env bash
# What a screen reader reads in the main window, over the accessibility bus (AT-SPI) of a private
# session: the mood tags by their captions, the result list as a table of the rows' texts after a
# real click on 热门, and the status bar's text.
#   tests/e2e/accessibility.sh BIN_DIR
set -euo pipefail
bin=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
. "$here/../support/private_session.sh"
in_private_session "$0" "$@"
. "$here/../support/demo_catalogue.sh"

work=$(mktemp -d)
server_pid="" pid=""
trap 'kill $pid $server_pid 2>/dev/null || true; rm -rf "$work"' EXIT
start_demo_catalogue "$bin" "$work"

launch "$work/log" env HOME="$work" XDG_CONFIG_HOME="$work/config" \
  "$bin/tunova"
/usr/bin/python3 "$here/accessibility.py" "$pid" "http://$TUNOVA_CATALOGUE_HOST" ||
  { cat "$work/log" >&2; fail "the window is not readable"; }
