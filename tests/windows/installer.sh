#!/usr/bin/env bash
# The installer under Wine: /S installs silently into Program Files with a
# Start-menu entry, an uninstaller and its registry entry, and a working
# folder in the user's Documents with the sample description files and
# images, where the entries start the programs; a file the operator already
# had there is left as it was. The uninstaller, silent too, takes it all away
# again but the working folder, which is the operator's.
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

# The user's Documents as Wine has it, in Windows' words and on this disk.
documents_win=$("$wine" cmd /c echo '%USERPROFILE%\Documents' 2>/dev/null | tr -d '\r')
documents=$("$wine" winepath -u "$documents_win" 2>/dev/null | tr -d '\r')
[[ -n $documents ]] || fail "Wine names no Documents folder"
# Wine links Documents to the home folder; the installer's samples stay in
# this run's prefix.
if [[ -L $documents ]]; then
  rm "$documents"
  mkdir "$documents"
fi
work_win="$documents_win\STB DownLoader"
work="$documents/STB DownLoader"
# A description file of the operator's, there before the installer runs.
mkdir -p "$work/inc"
printf 'the operator'"'"'s own\r\n' >"$work/inc/native.inc"
samples=$(mktemp -d "${TMPDIR:-/tmp}/stb-samples.XXXXXX")
trap 'rm -rf "$samples"' EXIT
scripts/workbench.sh "$samples" >/dev/null

# The working folder a shortcut starts in, read from the .lnk: the one string
# in it that names that folder (each string with its length before it, in
# UTF-16 or, as Wine writes them, in the ANSI code page).
start_in() { { strings -a "$1"; strings -a -e l "$1"; } | grep -E "^.?$(sed 's/[][\.*^$]/\\&/g' <<<"$work_win")\$" || true; }

say "installing $(basename "$setup") /S"
timeout 120 "$wine" "$setup" /S
timeout 120 "$wineserver" -w
cmp -s "$folder/stb-downloader.exe" "$win_build/bin/stb-downloader.exe" || fail "no stb-downloader.exe in Program Files"
cmp -s "$folder/stb-downloader-cli.exe" "$win_build/bin/stb-downloader-cli.exe" || fail "no stb-downloader-cli.exe in Program Files"
cmp -s "$folder/stb-bench.exe" "$win_build/bin/stb-bench.exe" || fail "no stb-bench.exe in Program Files"
[[ -f $folder/uninstall.exe ]] || fail "no uninstaller"
[[ -f $entry ]] || fail "no Start-menu entry"
[[ -f $bench_entry ]] || fail "no Start-menu entry for the bench"
for f in "$samples"/inc/*.inc "$samples"/images/*.bin; do
  name=${f#"$samples"/}
  [[ $name == inc/native.inc ]] && continue
  cmp -s "$f" "$work/$name" || fail "no sample $name in $work"
done
grep -q "the operator's own" "$work/inc/native.inc" || fail "the installer wrote over the operator's inc/native.inc"
[[ -n $(start_in "$entry") ]] || fail "the Start-menu entry does not start in $work_win"
[[ -n $(start_in "$bench_entry") ]] || fail "the bench's Start-menu entry does not start in $work_win"
say "the working folder $work_win holds the samples, the operator's file untouched, and both entries start there"
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
[[ -f $work/inc/native.inc && -f $work/images/native.bin ]] || fail "the uninstaller took the operator's working folder"
rm -rf "$work"
say "uninstalled without a trace, the working folder left to the operator"
