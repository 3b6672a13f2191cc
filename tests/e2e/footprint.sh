#!/usr/bin/env bash
# What the programs map before the first window: neither the loader nor the window runtime links
# libcurl (in tunova-net.so, opened at the first request), and the runtime links neither GStreamer nor the
# toolkit's media library (in tunova-media.so, opened when a song plays or a sound is due).
# With a display, the running program is looked at once its window is shown: none of those is
# mapped yet, and the text is drawn from one font file, the UI face.
set -euo pipefail
bin="$1"
fail() { echo "FAIL: $*" >&2; exit 1; }
needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; }
for f in tunova tunova-runtime.so; do
  if needed "$bin/$f" | grep -E 'libcurl|libgst|_media'; then fail "$f links the libraries above"; fi
done
needed "$bin/tunova-net.so" | grep -q libcurl || fail "tunova-net.so does not link libcurl"
needed "$bin/tunova-media.so" | grep -q libgstreamer || fail "tunova-media.so does not link GStreamer"
needed "$bin/tunova-media.so" | grep -q _media || fail "tunova-media.so does not link the media library"
echo "footprint: tunova links $(needed "$bin/tunova" | wc -l) libraries, tunova-runtime.so $(needed "$bin/tunova-runtime.so" | wc -l)"

[ -n "${DISPLAY:-}" ] && command -v xdotool >/dev/null || exit 0
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
HOME="$work" XDG_CONFIG_HOME="$work/config" "$bin/tunova" >"$work/log" 2>&1 &
pid=$!
shown=""
for _ in $(seq 300); do
  shown=$(xdotool search --onlyvisible --pid "$pid" 2>/dev/null | head -1) || true
  [ -n "$shown" ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$shown" ] || { cat "$work/log"; fail "the window did not appear"; }
cp "/proc/$pid/maps" "$work/maps"
if grep -E 'libcurl|libgst|tunova-media|tunova-net' "$work/maps"; then fail "mapped before the first use"; fi
fonts=$(grep -oE '/[^ ]+\.(ttf|ttc|otf)$' "$work/maps" | sort -u)
echo "font files mapped once the window is shown:" $fonts
ui_face=$(fc-match -f '%{file}' 'Noto Sans CJK SC')
if [ "$(basename "$ui_face")" = NotoSansCJK-Regular.ttc ]; then
  [ "$fonts" = "$ui_face" ] || fail "expected only $ui_face"
fi
