; The Windows installer: Karvello in Program Files, two Start-menu entries (the window, and the
; bus survey: karvello.exe --bus), and an uninstaller that "Apps & features" lists.
; scripts/package-windows passes VERSION, SOURCE_DIR (the unpacked zip's folder), OUT_FILE and
; LISTS_DIR. It installs the zip's whole folder, licenses\ with it (Karvello's own licence,
; licenses\karvello\LICENSE.txt, and those of the Qt and MinGW-w64 DLLs).
;
; The uninstaller removes only what the setup wrote: the files and folders of SOURCE_DIR, listed
; in LISTS_DIR\uninstall-files.nsh by scripts/windows/nsis-file-lists, then each folder only when
; it is empty. A folder of the user's (D:\Tools, or one that holds their own files) keeps what
; was in it before.
; A 64-bit installer for the 64-bit program.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include "MUI2.nsh"

Name "Karvello ${VERSION}"
OutFile "${OUT_FILE}"
InstallDir "$PROGRAMFILES64\Karvello"
InstallDirRegKey HKLM "Software\Karvello" "InstallDir"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Karvello"
; The survey window's Start-menu entry.
!define BUS_SHORTCUT "Karvello 总线巡检.lnk"

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "Karvello"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "Karvello ${VERSION} installer"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "Karvello developers, Apache License 2.0"

Section "Karvello"
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File /r "${SOURCE_DIR}/*"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\Karvello.lnk" "$INSTDIR\karvello.exe"
  CreateShortcut "$SMPROGRAMS\${BUS_SHORTCUT}" "$INSTDIR\karvello.exe" "--bus" \
    "$INSTDIR\karvello.exe" 0
  WriteRegStr HKLM "Software\Karvello" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Karvello"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Karvello"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\karvello.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$SMPROGRAMS\Karvello.lnk"
  Delete "$SMPROGRAMS\${BUS_SHORTCUT}"
!include "${LISTS_DIR}/uninstall-files.nsh"
  Delete "$INSTDIR\uninstall.exe"
  ; Only when nothing of the user's is left in it.
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "Software\Karvello"
SectionEnd
