#!/usr/bin/env bash
# The installer under Wine: /S installs silently into Program Files with a
# Start-menu entry, an uninstaller and its registry entry; the uninstaller,
# silent too, takes it all away again.
#
#   tests/windows/installer.sh WINDOWS_BUILD
#
# Expects WINEPREFIX to name a ready prefix (tests/windows/run.sh makes one).
set -euo pipefail
cd "$(dirname "$0")/../.."
win_build=${1:-build-windows}
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

say() { printf 'windows-installer: %s\n' "$*"; }
fail() { printf 'windows-installer: %s\n' "$*" >&2; exit 1; }
[[ -n ${WINEPREFIX:-} && -d $WINEPREFIX ]] || fail "WINEPREFIX names no prefix"

setup=$(ls "$win_build"/stb-downloader-setup-*.exe 2>/dev/null | head -n1)
[[ -n $setup ]] || fail "no installer in $win_build (scripts/build-windows.sh)"
folder="$WINEPREFIX/drive_c/Program Files/stb-downloader"
entry="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/STB Serial DownLoader.lnk"
bench_entry="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/STB Serial DownLoader Bench.lnk"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\stb-downloader'

say "installing $(basename "$setup") /S"
timeout 120 "$wine" "$setup" /S
timeout 120 "$wineserver" -w
cmp -s "$folder/stb-downloader.exe" "$win_build/bin/stb-downloader.exe" || fail "no stb-downloader.exe in Program Files"
cmp -s "$folder/stb-downloader-cli.exe" "$win_build/bin/stb-downloader-cli.exe" || fail "no stb-downloader-cli.exe in Program Files"
cmp -s "$folder/stb-bench.exe" "$win_build/bin/stb-bench.exe" || fail "no stb-bench.exe in Program Files"
[[ -f $folder/uninstall.exe ]] || fail "no uninstaller"
[[ -f $entry ]] || fail "no Start-menu entry"
[[ -f $bench_entry ]] || fail "no Start-menu entry for the bench"
version=$(basename "$setup" .exe)
version=${version#stb-downloader-setup-}
"$wine" reg query "$key" /v DisplayVersion 2>/dev/null | grep -q "$version" || fail "no uninstall entry for $version in the registry"
say "installed: $folder, the Start-menu entry and the uninstall entry"

say "uninstalling /S"
timeout 120 "$wine" "C:\\Program Files\\stb-downloader\\uninstall.exe" /S
timeout 120 "$wineserver" -w
[[ ! -e $folder ]] || fail "the uninstaller left $folder: $(ls "$folder")"
[[ ! -e $entry ]] || fail "the uninstaller left the Start-menu entry"
[[ ! -e $bench_entry ]] || fail "the uninstaller left the bench's Start-menu entry"
! "$wine" reg query "$key" >/dev/null 2>&1 || fail "the uninstaller left the registry entry"
say "uninstalled without a trace"
