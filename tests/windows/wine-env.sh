# Sourced by the Windows test scripts: the wine prefix inside the Windows build folder (made once),
# a Chinese locale (so the ANSI code page is 936), no sound drivers (there is no device), and the
# UI font mapped to the CJK font installed on this machine.
# Needs $build (the Windows build folder).

# Polls a command until it succeeds (up to $2 seconds).
wait_until() {
  local what=$1 seconds=$2 i
  for ((i = 0; i < seconds * 10; i++)); do
    if eval "$what"; then return 0; fi
    sleep 0.1
  done
  return 1
}

export WINEPREFIX="$build/wine-prefix" WINEDEBUG=-all WINEARCH=win64
export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8
export WINEDLLOVERRIDES="winealsa.drv,winepulse.drv,mscoree,mshtml="
if [ ! -f "$WINEPREFIX/.tunova-ready" ]; then
  echo "windows: making the wine prefix"
  wineboot -i >/dev/null 2>&1 || true
  for face in "Microsoft YaHei UI" "Microsoft YaHei" "SimSun" "Tahoma" "MS Shell Dlg" "MS Shell Dlg 2"; do
    wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /t REG_SZ \
      /d "Noto Sans CJK SC" /f >/dev/null 2>&1
  done
  wineserver -w
  touch "$WINEPREFIX/.tunova-ready"
fi
