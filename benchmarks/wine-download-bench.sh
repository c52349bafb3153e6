#!/usr/bin/env bash
# The Windows program's figures under Wine: a paced 256 KiB download and an
# idle wait, measured from outside by wine_download_bench (a Linux program,
# built in LINUX_BUILD) in a throw-away Wine prefix, on Xvfb. Bounded: the
# prefix gets three minutes, the benchmark itself less than seven.
#
#   benchmarks/wine-download-bench.sh [LINUX_BUILD [WINDOWS_BUILD]]     (build, build-windows)
set -euo pipefail
cd "$(dirname "$0")/.."
linux_build=${1:-build}
win_build=${2:-build-windows}
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

say() { printf 'wine-bench: %s\n' "$*"; }
source tests/windows/common.sh
fail() { printf 'wine-bench: %s\n' "$*" >&2; exit 1; }

[[ -x $wine ]] || fail "no wine64 (scripts/build-windows.sh installs it)"
[[ -x $linux_build/bin/wine_download_bench ]] || fail "no $linux_build/bin/wine_download_bench (scripts/build.sh)"
[[ -f $win_build/bin/stb-downloader.exe ]] || fail "no $win_build/bin/stb-downloader.exe (scripts/build-windows.sh)"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/stb-wine-bench.XXXXXX")
export WINEPREFIX=$tmp/prefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="
xvfb_pid=''
cleanup() {
  if [[ -n $xvfb_pid ]]; then
    kill -TERM "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  # Only this run's prefix: its wineserver and the programs it serves.
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

timeout 180 "$wine" wineboot -i >"$tmp/wineboot.log" 2>&1 || fail "wineboot failed: $(tail -5 "$tmp/wineboot.log")"
scripts/workbench.sh "$tmp/bench" >/dev/null

start_xvfb

say "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
rc=0
timeout 400 "$linux_build/bin/wine_download_bench" "$tmp/bench" "$win_build/bin/stb-downloader.exe" || rc=$?
say "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
exit $rc
