#!/usr/bin/env bash
# The Windows installer under wine, on the X display in $DISPLAY: a silent install (/S) puts the
# program under Program Files, the loader's registry value and a Start-menu entry in place; the
# installed program starts and ends with exit code 0; the silent uninstall leaves nothing.
#   tests/windows/installer.sh WINDOWS_BUILD_DIR LINUX_BIN_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
linux_bin=$(cd "$2" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
. "$(dirname "$0")/wine-env.sh"

cleanup() { wineserver -k 2>/dev/null || true; }
trap cleanup EXIT
folder="$WINEPREFIX/drive_c/Program Files/Tunova"
shortcut="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Tunova.lnk"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tunova'
loader_key='HKCU\Software\Lorvane\Install'
[ ! -e "$folder" ] || fail "Tunova is installed already"

wine "$build/dist/tunova-1.0.0-setup.exe" /S
wineserver -w
for f in tunova.exe tunova-cli.exe tunova-runtime.so tunova-runtime-full.so uninstall.exe; do
  [ -f "$folder/$f" ] || fail "not installed: $f"
done
[ -f "$shortcut" ] || fail "no Start-menu entry"
wine reg query "$loader_key" /v Path 2>/dev/null | tr -d '\r' | grep -q 'C:\\Program Files\\Tunova' \
  || fail "no loader registry value"
wine reg query "$uninstall_key" /v UninstallString >/dev/null 2>&1 || fail "no uninstall entry"
echo "windows installer: installed silently: $(ls "$folder" | tr '\n' ' ')+ Start-menu entry + registry"

# The installed program starts (the catalogue is not needed to show the window) and closes.
title="Tunova音乐搜索下载器"
wine "C:\\Program Files\\Tunova\\tunova.exe" >/dev/null 2>&1 &
pid=$!
wait_until 'xdotool search --onlyvisible --name "^$title\$" >/dev/null 2>&1' 60 \
  || fail "the installed program shows no window"
"$linux_bin/x-close" "$title"
code=0
wait "$pid" || code=$?
[ "$code" -eq 0 ] || fail "the installed program ended with $code"
echo "windows installer: the installed program starts and ends with exit code 0"

# The uninstaller copies itself away and runs from there: wait for what it removes.
wine "C:\\Program Files\\Tunova\\uninstall.exe" /S
wait_until '[ ! -e "$folder" ]' 60 || fail "left behind: $(ls "$folder")"
wineserver -w
[ ! -e "$shortcut" ] || fail "the Start-menu entry is still there"
if wine reg query "$loader_key" >/dev/null 2>&1; then fail "the loader key is still there"; fi
if wine reg query "$uninstall_key" >/dev/null 2>&1; then fail "the uninstall entry is still there"; fi
echo "windows installer: the silent uninstall left no file, entry or registry value"
