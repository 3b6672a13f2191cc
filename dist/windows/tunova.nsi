; The Tunova installer: the program folder under Program Files, the loader's registry value, a
; Start-menu entry with the program's icon, and an uninstaller that takes all of it away again.
; makensis -DSOURCE=<folder with the programs> -DICON=<tunova.ico> -DOUTFILE=<setup.exe> tunova.nsi
Unicode true
Target amd64-unicode
Name "Tunova"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Tunova"
RequestExecutionLevel admin
Icon "${ICON}"
UninstallIcon "${ICON}"
SetCompressor /SOLID lzma

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tunova"
!define LOADER_KEY "Software\Lorvane\Install"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Tunova"
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "${SOURCE}\tunova.exe"
  File "${SOURCE}\tunova-cli.exe"
  ; The runtime beside the program, and under the name the loader looks for in the folder the
  ; registry names (so another copy of the loader finds the installed runtime too).
  File "${SOURCE}\tunova-runtime.so"
  File "/oname=tunova-runtime-full.so" "${SOURCE}\tunova-runtime.so"
  WriteRegStr HKCU "${LOADER_KEY}" "Path" "$INSTDIR"
  CreateShortCut "$SMPROGRAMS\Tunova.lnk" "$INSTDIR\tunova.exe" "" "$INSTDIR\tunova.exe" 0
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Tunova"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tunova.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "1.0.0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Tunova"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$INSTDIR\tunova.exe"
  Delete "$INSTDIR\tunova-cli.exe"
  Delete "$INSTDIR\tunova-runtime.so"
  Delete "$INSTDIR\tunova-runtime-full.so"
  ; Settings the program kept beside itself; songs live in the user's own folder and stay.
  Delete "$INSTDIR\bc.ini"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Tunova.lnk"
  DeleteRegValue HKCU "${LOADER_KEY}" "Path"
  DeleteRegKey /ifempty HKCU "${LOADER_KEY}"
  DeleteRegKey /ifempty HKCU "Software\Lorvane"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
