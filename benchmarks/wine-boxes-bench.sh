#!/usr/bin/env bash
# The Windows bench's figures under Wine: stb-bench.exe with four boxes at
# once, COM3 to COM6 mapped to four ptys, each with a simulated receiver
# paced at 115200 bit/s, mode 2's 256 KiB on every box, the keyword typed
# once with xdotool. Measured from outside by wine_boxes_bench (a Linux
# program, built in LINUX_BUILD) in a throw-away Wine prefix, on Xvfb: per
# box its share of the line, and the bench process's and the stations'
# processor time; one box alone first, for comparison. ROUNDS (default 1)
# runs it that many times in the one prefix. Bounded: the prefix gets three
# minutes, each round less than four.
#
#   [ROUNDS=N] benchmarks/wine-boxes-bench.sh [LINUX_BUILD [WINDOWS_BUILD]]     (build, build-windows)
set -euo pipefail
cd "$(dirname "$0")/.."
linux_build=${1:-build}
win_build=${2:-build-windows}
rounds=${ROUNDS:-1}
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

say() { printf 'wine-boxes-bench: %s\n' "$*"; }
fail() { printf 'wine-boxes-bench: %s\n' "$*" >&2; exit 1; }

[[ $rounds =~ ^[1-9][0-9]?$ ]] || fail "ROUNDS is not a count from 1 to 99"
[[ -x $wine ]] || fail "no wine64 (scripts/build-windows.sh installs it)"
command -v xdotool >/dev/null && command -v Xvfb >/dev/null || fail "no xdotool or Xvfb"
[[ -x $linux_build/bin/wine_boxes_bench ]] || fail "no $linux_build/bin/wine_boxes_bench (scripts/build.sh)"
for exe in stb-bench.exe stb-downloader-cli.exe; do
  [[ -f $win_build/bin/$exe ]] || fail "no $win_build/bin/$exe (scripts/build-windows.sh)"
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/stb-wine-boxes-bench.XXXXXX")
export WINEPREFIX=$tmp/prefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="
xvfb_pid=''
cleanup() {
  # Only this run's prefix: its wineserver and the programs it serves.
  "$wineserver" -k 2>/dev/null || true
  if [[ -n $xvfb_pid ]]; then
    kill -TERM "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

timeout 180 "$wine" wineboot -i >"$tmp/wineboot.log" 2>&1 || fail "wineboot failed: $(tail -5 "$tmp/wineboot.log")"
scripts/workbench.sh "$tmp/bench" >/dev/null

# Wide enough for the bench's twelve columns, as the Wine test has it.
Xvfb -displayfd 3 -screen 0 1280x600x24 -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.err" &
xvfb_pid=$!
for ((i = 0; i < 100; i++)); do
  [[ -s $tmp/display ]] && break
  sleep 0.1
done
[[ -s $tmp/display ]] || fail "Xvfb gave no display: $(cat "$tmp/xvfb.err")"
export DISPLAY=:$(head -n1 "$tmp/display")

say "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
rc=0
timeout $((60 + 240 * rounds)) "$linux_build/bin/wine_boxes_bench" "$tmp/bench" "$win_build/bin/stb-bench.exe" \
  "$rounds" || rc=$?
say "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
exit $rc
