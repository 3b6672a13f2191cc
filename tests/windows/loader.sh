#!/usr/bin/env bash
# The Windows loader stub under wine, on the X display in $DISPLAY: where it looks for the
# runtime (beside itself first, then the folder the registry value Path of
# HKEY_CURRENT_USER\Software\Lorvane\Install names), and every failure: one message box titled
# "Error", then exit code -1 (255 as seen from here).
#   tests/windows/loader.sh WINDOWS_BUILD_DIR LINUX_BIN_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
linux_bin=$(cd "$2" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
. "$(dirname "$0")/wine-env.sh"

key='HKCU\Software\Lorvane\Install'
work=$(mktemp -d)
cleanup() {
  wine reg delete "$key" /f >/dev/null 2>&1 || true
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
runtimes="$build/test-runtimes"
export TUNOVA_TEST_MARKER
TUNOVA_TEST_MARKER=$(winepath -w "$work/marker")

# A fresh folder holding only the stub.
stub_in() {
  rm -rf "$work/$1"
  mkdir -p "$work/$1"
  cp "$build/bin/tunova.exe" "$work/$1/"
}
set_path() { wine reg add "$key" /v Path /t REG_SZ /d "$1" /f >/dev/null 2>&1; }
no_key() { wine reg delete "$key" /f >/dev/null 2>&1 || true; }

# Runs a stub that must start a stand-in runtime: its exit code is 0 and the marker names it.
expect_runs() { # folder, runtime name
  rm -f "$work/marker"
  local code=0
  wine "$work/$1/tunova.exe" >/dev/null 2>&1 || code=$?
  [ "$code" -eq 0 ] || fail "$1: exit code $code, not 0"
  [ "$(cat "$work/marker" 2>/dev/null)" = "$2 image" ] || fail "$1: ran '$(cat "$work/marker" 2>/dev/null)', not $2"
}

# Runs a stub that must fail: a message box titled Error, closed as a user would, then 255.
expect_error() { # folder, what the case is
  rm -f "$work/marker"
  wine "$work/$1/tunova.exe" >/dev/null 2>&1 &
  local pid=$! code=0
  wait_until 'xdotool search --onlyvisible --name "^Error$" >/dev/null 2>&1' 30 \
    || fail "$2: no message box titled Error"
  "$linux_bin/x-close" Error || fail "$2: cannot close the message box"
  wait "$pid" || code=$?
  [ "$code" -eq 255 ] || fail "$2: exit code $code, not 255 (-1)"
  [ ! -e "$work/marker" ] || fail "$2: a runtime ran"
  echo "windows loader: $2: message box, exit code -1"
}

# The runtime beside the stub wins; the registry is not read.
stub_in beside
cp "$runtimes/fake_runtime_beside.dll" "$work/beside/tunova-runtime.so"
mkdir -p "$work/installed"
cp "$runtimes/fake_runtime_full.dll" "$work/installed/tunova-runtime-full.so"
set_path "$(winepath -w "$work/installed")"
expect_runs beside beside
echo "windows loader: the runtime beside the stub runs, though the registry names another"

# A program folder whose path is far longer than 128 characters.
deep="deep/$(printf 'a-folder-with-a-long-name-%02d/' 1 2 3 4 5 6)"
stub_in "$deep"
cp "$runtimes/fake_runtime_beside.dll" "$work/$deep/tunova-runtime.so"
expect_runs "$deep" beside
echo "windows loader: a program folder of $(winepath -w "$work/$deep" | wc -c) characters still finds its runtime"

# No runtime beside: the registry's folder, with or without its trailing backslash.
stub_in alone
expect_runs alone full
set_path "$(winepath -w "$work/installed")\\"
expect_runs alone full
echo "windows loader: without one beside, the registry's Path is used (with and without a trailing backslash)"

# Failures.
no_key
expect_error alone "no runtime beside and no registry key"
wine reg add "$key" /f >/dev/null 2>&1
expect_error alone "the key without a Path value"
set_path "$(winepath -w "$work/empty")"
expect_error alone "a Path naming a folder without the runtime"
no_key
stub_in noexport
cp "$runtimes/fake_runtime_noexport.dll" "$work/noexport/tunova-runtime.so"
expect_error noexport "a runtime without GetStartEntry"
stub_in notalibrary
printf 'not a library' >"$work/notalibrary/tunova-runtime.so"
expect_error notalibrary "a runtime file that is not a library"
