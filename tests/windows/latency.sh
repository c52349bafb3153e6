#!/usr/bin/env bash
# An FTDI adapter's latency timer under Wine: COM3 is the simulated
# receiver's pty, and the registry holds what FTDI's driver would for an
# adapter on COM3, and for another on COM9 whose timer is always the other
# figure. At 16 ms (the driver's default) the terminal face warns once, with
# the cost worked out from the timer, and the download still succeeds; at
# 1 ms it says nothing.
#
#   tests/windows/latency.sh LINUX_BUILD WINDOWS_BUILD
#
# Expects WINEPREFIX to name a ready prefix (tests/windows/run.sh makes one).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
linux_build=${1:-build}
win_build=${2:-build-windows}
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
keyword='P9h?Mw'   # mode 8, Reserved: the smallest image
mode=8
description=inc/rsvd.inc
ftdi='HKLM\SYSTEM\CurrentControlSet\Enum\FTDIBUS'
warning="  Warning: the USB adapter holds each short reply for up to 16 ms (its latency timer), so downloads run up to 15 % slower; set it to 1 ms in Device Manager: the port's Properties, Port Settings, Advanced, Latency Timer"

say() { printf 'windows-latency: %s\n' "$*"; }
source tests/windows/common.sh
fail() { printf 'windows-latency: %s\n' "$*" >&2; exit 1; }
[[ -n ${WINEPREFIX:-} && -d $WINEPREFIX ]] || fail "WINEPREFIX names no prefix"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/stb-wine-latency.XXXXXX")
sim_pid=''
cleanup() {
  if [[ -n $sim_pid ]]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -f "$WINEPREFIX/dosdevices/com3"
  # The tests after this one see no adapter.
  "$wine" reg delete "$ftdi" /f >/dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap cleanup EXIT

# What FTDI's driver writes for an adapter: its serial number $1, port $2,
# timer $3 ms.
add_adapter() {
  local parameters="$ftdi\\VID_0403+PID_6001+$1\\0000\\Device Parameters" try
  # A reg.exe that starts while Wine's server is busy now and then gives
  # up; the value is written again rather than the test failing on it.
  for try in 1 2 3 4 5; do
    "$wine" reg add "$parameters" /v PortName /t REG_SZ /d "$2" /f >"$tmp/reg.out" 2>&1 &&
      "$wine" reg add "$parameters" /v LatencyTimer /t REG_DWORD /d "$3" /f >>"$tmp/reg.out" 2>&1 && return
    sleep 1
  done
  fail "the registry took no FTDI device parameters: $(tail -3 "$tmp/reg.out")"
}

# COM3's timer at $1 ms; the adapter on COM9, listed first, has the other.
set_timer() {
  add_adapter A0000000A COM9 $((17 - $1))
  add_adapter A1B2C3D4A COM3 "$1"
}

# Runs the terminal face on COM3 in the workbench, standard input from $1,
# the log in $tmp/cli.out; sets cli_rc.
run_cli() {
  cli_rc=0
  (cd "$bench" && timeout 300 "$wine" "$root/$win_build/bin/stb-downloader-cli.exe" --port COM3 <"$1") \
    >"$tmp/cli.out" 2>"$tmp/cli.err" || cli_rc=$?
  tr -d '\r' <"$tmp/cli.out" >"$tmp/log"
}

# At 1 ms nothing is said: the run ends for want of a keyword, after the
# directions, where the warning would be.
set_timer 1
start_receiver "$description" "$mode"
ln -sfn "$(readlink "$tmp/com3")" "$WINEPREFIX/dosdevices/com3"
run_cli /dev/null
kill -TERM "$sim_pid" 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
sim_pid=''
((cli_rc == 2)) || fail "without a keyword stb-downloader-cli.exe ended with status $cli_rc: $(tail -3 "$tmp/cli.err")"
grep -q 'Wait for complete' "$tmp/log" || fail "no directions in the log: $(head -12 "$tmp/log")"
! grep -q 'latency timer' "$tmp/log" || fail "a 1 ms latency timer was warned of: $(grep 'latency timer' "$tmp/log")"
say "at 1 ms: no warning"

# At 16 ms the warning comes once, right after the directions, and the
# download goes through.
set_timer 16
printf '%s\n' "$keyword" >"$tmp/keyword"
start_receiver "$description" "$mode"
ln -sfn "$(readlink "$tmp/com3")" "$WINEPREFIX/dosdevices/com3"
run_cli "$tmp/keyword"
stop_receiver
((cli_rc == 0)) || fail "stb-downloader-cli.exe ended with status $cli_rc: $(tail -5 "$tmp/cli.err") $(tail -3 "$tmp/log")"
((sim_rc == 0)) && grep -q '^success: *yes' "$tmp/sim.out" || fail "the receiver reports no success: $(cat "$tmp/sim.out")"
count=$(grep -c 'latency timer' "$tmp/log" || true)
((count == 1)) || fail "the latency timer was warned of $count times: $(grep 'latency timer' "$tmp/log")"
[[ $(grep -A2 'Wait for complete' "$tmp/log" | tail -n1) == "$warning" ]] ||
  fail "after the directions the log says: $(grep -A2 'Wait for complete' "$tmp/log" | tail -n1)"
say "at 16 ms: warned once, right after the directions; the download succeeded"
