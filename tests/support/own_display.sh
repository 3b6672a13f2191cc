#!/usr/bin/env bash
# Runs a command on an X display of its own and stops the display after it. The X server picks
# a free display number itself and says which once it accepts connections, so two of these
# starting at the same moment, or one starting while another's server is still going away,
# never share a display (xvfb-run -a guesses the number from lock files and can).
#   tests/support/own_display.sh COMMAND [ARGS...]
set -euo pipefail
work=$(mktemp -d)
mkfifo "$work/number"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/number" 2>"$work/xvfb.log" &
server=$!
trap 'kill $server 2>/dev/null || true; wait $server 2>/dev/null || true; rm -rf "$work"' EXIT
number=""
read -r number <"$work/number" || true
if [ -z "$number" ]; then
  echo "own_display: the X server did not start: $(cat "$work/xvfb.log")" >&2
  exit 1
fi
status=0
DISPLAY=":$number" "$@" || status=$?
exit "$status"
