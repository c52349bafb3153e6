; The Windows installer: the program into Program Files, a Start-menu entry
; with the icon, a working folder with the sample description files and
; images, an uninstaller. /S installs (and uninstalls) silently.
; makensis gets VERSION, EXE, CLI, BENCH, ICON, README, GUIDE, SAMPLES (a
; folder with inc\*.inc and images\*.bin) and OUTFILE with /D.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma

!define PRODUCT "STB Serial DownLoader"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\stb-downloader"
!define WORK_FOLDER "STB DownLoader"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
Icon "${ICON}"
UninstallIcon "${ICON}"
InstallDir "$PROGRAMFILES64\stb-downloader"
RequestExecutionLevel admin
ShowInstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Install"
  SetOutPath "$INSTDIR"
  File "/oname=stb-downloader.exe" "${EXE}"
  File "/oname=stb-downloader-cli.exe" "${CLI}"
  File "/oname=stb-bench.exe" "${BENCH}"
  File "/oname=README.md" "${README}"
  File "/oname=operator-guide.md" "${GUIDE}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The tool reads inc\*.inc from the folder it starts in: the entries start it
  ; in a folder of the installing user's Documents, which gets the samples of
  ; a dry run. A file already there is the operator's and stays as it is.
  SetShellVarContext current
  StrCpy $0 "$DOCUMENTS\${WORK_FOLDER}"
  SetShellVarContext all
  SetOverwrite off
  SetOutPath "$0\inc"
  File "${SAMPLES}/inc/*.inc"
  SetOutPath "$0\images"
  File "${SAMPLES}/images/*.bin"
  SetOverwrite on
  SetOutPath "$0"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\stb-downloader.exe" "" "$INSTDIR\stb-downloader.exe" 0
  CreateShortcut "$SMPROGRAMS\${PRODUCT} Bench.lnk" "$INSTDIR\stb-bench.exe" "" "$INSTDIR\stb-bench.exe" 0
  SetOutPath "$INSTDIR"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Tarnwell STB tools team"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\stb-downloader.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT} Bench.lnk"
  Delete "$INSTDIR\stb-downloader.exe"
  Delete "$INSTDIR\stb-downloader-cli.exe"
  Delete "$INSTDIR\stb-bench.exe"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\operator-guide.md"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
