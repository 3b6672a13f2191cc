#!/usr/bin/env bash
# Installs Tunova as a package would and checks the result: a release build of the programs
# only, installed into a staging root (DESTDIR); the desktop entry and AppStream data
# validated; the installed program started from the staging root under Xvfb until its window is
# shown (with the window class the desktop entry names); settings written by another user into
# $XDG_CONFIG_HOME while the program folder belongs to root; the two .deb packages built,
# their file lists compared, lintian clean, and the service unit verified by systemd.
#   tests/install/check.sh [WORK_DIR]     (run as root, on a display or under xvfb-run)
# The work folder (default: a new one under /tmp, removed afterwards) must be one another user
# can reach, so the staged program can be run as that user.
set -euo pipefail
src="$(cd "$(dirname "$0")/../.." && pwd)"
service=""
remove_work=false
cleanup() {
  [ -z "$service" ] || kill "$service" 2>/dev/null || true
  ! $remove_work || rm -rf "$work"
}
trap cleanup EXIT
if [ $# -ge 1 ]; then
  work="$1"
else
  work=$(mktemp -d /tmp/tunova-install-check.XXXXXX)
  remove_work=true
fi
fail() { echo "install check: $*" >&2; exit 1; }
step() { echo "-- $*"; }

rm -rf "$work/stage" "$work/deb" "$work/home" "$work/songs" "$work/vroot" "$work/library" \
  "$work/index.sqlite"
mkdir -p "$work"
chmod 755 "$work"

step "release build of the programs (hardened as Debian builds them)"
cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DCMAKE_SHARED_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DCMAKE_MODULE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$work/build" -- -j"$(nproc)" >/dev/null

step "install into a staging root"
DESTDIR="$work/stage" cmake --install "$work/build" >/dev/null
stage="$work/stage"
private=$(dirname "$(readlink -f "$stage/usr/bin/tunova")")
[ -x "$private/tunova" ] && [ -f "$private/tunova-runtime.so" ] && [ -x "$private/tunova-cli" ] ||
  fail "the program folder is incomplete: $private"
[ "$(readlink "$stage/usr/bin/tunova")" = "../lib/x86_64-linux-gnu/tunova/tunova" ] ||
  [ "$(readlink "$stage/usr/bin/tunova")" = "../lib/tunova/tunova" ] ||
  fail "bin/tunova is not a relative link into the program folder"

step "desktop entry, AppStream data, icons"
desktop="$stage/usr/share/applications/org.tunova.Tunova.desktop"
desktop-file-validate "$desktop"
appstreamcli validate --no-net "$stage/usr/share/metainfo/org.tunova.Tunova.metainfo.xml" >/dev/null
grep -qx 'Icon=org.tunova.Tunova' "$desktop" || fail "the entry names another icon"
for size in 48 128 256; do
  icon="$stage/usr/share/icons/hicolor/${size}x${size}/apps/org.tunova.Tunova.png"
  [ "$(identify -format '%wx%h' "$icon")" = "${size}x${size}" ] || fail "$icon is not ${size}x${size}"
done
grep -q '<svg' "$stage/usr/share/icons/hicolor/scalable/apps/org.tunova.Tunova.svg" ||
  fail "no scalable icon"

step "the installed program shows its window"
wm_class=$(sed -n 's/^StartupWMClass=//p' "$desktop")
"$stage/usr/bin/tunova" >"$work/window.log" 2>&1 &
pid=$!
shown=""
for _ in $(seq 300); do
  shown=$(xdotool search --onlyvisible --pid "$pid" --class "$wm_class" 2>/dev/null | head -1) || true
  [ -n "$shown" ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
[ -n "$shown" ] || { cat "$work/window.log"; fail "no window of class $wm_class appeared"; }
echo "window $shown, class $wm_class"

step "settings of a user who cannot write the program folder"
[ "$(stat -c %U "$private")" = root ] || fail "the staged program folder should belong to root"
mkdir -p "$work/home" "$work/songs"
chown nobody: "$work/home" "$work/songs"
"$stage/usr/bin/tunova-catalogue" make-demo "$work/library" --short >/dev/null ||
  fail "no demo library"
"$stage/usr/bin/tunova-catalogue" serve --library "$work/library" --listen 127.0.0.1:0 \
  --index "$work/index.sqlite" >"$work/service.log" &
service=$!
until grep -q "listening on" "$work/service.log"; do
  kill -0 "$service" || fail "the staged service did not start"
  sleep 0.05
done
port=$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/service.log")
curl -fsS "http://127.0.0.1:$port/ping" | grep -qx ok || fail "no answer from /ping"
as_user() {
  setpriv --reuid=nobody --regid=nogroup --clear-groups \
    env -i PATH=/usr/bin:/bin HOME="$work/home" TUNOVA_CATALOGUE_HOST="127.0.0.1:$port" "$@"
}
as_user "$stage/usr/bin/tunova-cli" folder "$work/songs" >"$work/folder.txt"
[ "$(sed -n 2p "$work/folder.txt")" = "$work/home/.config/tunova/bc.ini" ] ||
  fail "settings went elsewhere: $(cat "$work/folder.txt")"
[ ! -e "$private/bc.ini" ] || fail "a bc.ini appeared in the program folder"
[ "$(stat -c %a "$work/home/.config/tunova")" = 700 ] || fail "the settings folder is not private"
as_user "$stage/usr/bin/tunova-cli" download 1 tag 热门 >"$work/download.txt" ||
  { cat "$work/download.txt"; fail "the other user's download failed"; }
ls "$work/songs"/*.mp3 >/dev/null || fail "nothing saved in the user's folder"
kill "$service"
wait "$service" 2>/dev/null || true
service=
echo "saved as nobody: $(ls "$work/songs")"

step "Debian packages"
(cd "$work/build" && cpack -B "$work/deb" >/dev/null)
app_deb="$work/deb/tunova_1.0.0_amd64.deb"
cat_deb="$work/deb/tunova-catalogue_1.0.0_amd64.deb"
listing() { dpkg-deb -c "$1" | awk '{print $6}' | sed 's|^\./|/|' | grep -v '/$' | sort; }
diff -u "$src/tests/install/tunova.files" <(listing "$app_deb") || fail "tunova's file list changed"
diff -u "$src/tests/install/tunova-catalogue.files" <(listing "$cat_deb") ||
  fail "tunova-catalogue's file list changed"
dpkg-deb -f "$app_deb" Depends | grep -q 'gstreamer1.0-plugins-good' || fail "run-time depends lost"
# libcurl's dependency is found by dpkg-shlibdeps in tunova-net.so, not written by hand.
dpkg-deb -f "$app_deb" Depends | grep -q 'libcurl' || fail "libcurl's dependency is missing"
lintian --tag-display-limit 0 "$app_deb" "$cat_deb" 2>&1 | grep -v 'root privileges' |
  tee "$work/lintian.txt" || true
! grep -q '^[EW]:' "$work/lintian.txt" || fail "lintian has errors or warnings"

step "the service unit"
if command -v systemd-analyze >/dev/null; then
  # A root holding the package and the system's own targets, so verify resolves everything.
  mkdir -p "$work/vroot/usr/lib/systemd/system" "$work/vroot/etc"
  dpkg-deb -x "$cat_deb" "$work/vroot"
  cp -n /lib/systemd/system/*.target /lib/systemd/system/*.slice \
    "$work/vroot/usr/lib/systemd/system/" 2>/dev/null || true
  unit="$work/vroot/usr/lib/systemd/system/tunova-catalogue.service"
  systemd-analyze verify --man=no --root="$work/vroot" "$unit"
  for setting in DynamicUser=yes ProtectSystem=strict ProtectHome=yes PrivateTmp=yes \
    NoNewPrivileges=yes; do
    grep -qx "$setting" "$unit" || fail "the unit lost $setting"
  done
  systemd-analyze security --offline=yes --root="$work/vroot" tunova-catalogue.service |
    tail -1
else
  echo "systemd-analyze not available: unit not verified"
fi
echo "install check: all good"
