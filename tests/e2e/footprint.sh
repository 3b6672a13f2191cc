#!/usr/bin/env bash
# What the programs map before the first window: neither the loader nor the window runtime links
# libcurl (opened at the first request), and the runtime links neither GStreamer nor the
# toolkit's media library (in tunova-media.so, opened when a song plays or a sound is due).
set -euo pipefail
bin="$1"
fail() { echo "FAIL: $*" >&2; exit 1; }
needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; }
for f in tunova tunova-runtime.so; do
  if needed "$bin/$f" | grep -E 'libcurl|libgst|_media'; then fail "$f links the libraries above"; fi
done
needed "$bin/tunova-media.so" | grep -q libgstreamer || fail "tunova-media.so does not link GStreamer"
needed "$bin/tunova-media.so" | grep -q _media || fail "tunova-media.so does not link the media library"
echo "footprint: tunova links $(needed "$bin/tunova" | wc -l) libraries, tunova-runtime.so $(needed "$bin/tunova-runtime.so" | wc -l)"
