#!/usr/bin/env bash
# Start-up to the main window and resident memory then, tunova against a bare wx frame, 9
# alternating runs each, medians and spreads (needs a display; xvfb-run works).
#   bench/startup.sh [BIN_DIR]     (default build/release/bin)
set -euo pipefail
bin="${1:-build/release/bin}"
exec "$bin/bench-startup" "$bin" 9
