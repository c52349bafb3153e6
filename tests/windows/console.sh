#!/usr/bin/env bash
# The command line under Wine: --version and --help of both programs and the
# window's --list-ports, written where they were asked from, a port that is
# not there named as asked for, and one whole download with the terminal face,
# stb-downloader-cli.exe, the keyword on its standard input and COM3 mapped
# to the simulated receiver's pty; then --check of the same files.
#
#   tests/windows/console.sh LINUX_BUILD WINDOWS_BUILD
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

say() { printf 'windows-console: %s\n' "$*"; }
source tests/windows/common.sh
fail() { printf 'windows-console: %s\n' "$*" >&2; exit 1; }
[[ -n ${WINEPREFIX:-} && -d $WINEPREFIX ]] || fail "WINEPREFIX names no prefix"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/stb-wine-console.XXXXXX")
sim_pid=''
cleanup() {
  if [[ -n $sim_pid ]]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

# The window program has no console of its own: its answer must still reach
# the one who asked, here through the pipe it inherits.
for program in stb-downloader stb-downloader-cli; do
  out=$(timeout 60 "$wine" "$win_build/bin/$program.exe" --version </dev/null 2>&1 | tr -d '\r') ||
    fail "$program.exe --version failed: $out"
  [[ $out == "stb-downloader "[0-9]* ]] || fail "$program.exe --version said: $out"
  out=$(timeout 60 "$wine" "$win_build/bin/$program.exe" --help </dev/null 2>&1 | tr -d '\r') ||
    fail "$program.exe --help failed"
  [[ $out == Usage:*--port*--list-ports* ]] || fail "$program.exe --help said: ${out:0:200}"
  say "$program.exe: --version and --help answered"
done
# The ports Windows lists (Wine's are its /dev/ttyS* devices, if any).
out=$(timeout 60 "$wine" "$win_build/bin/stb-downloader.exe" --list-ports </dev/null 2>&1 | tr -d '\r') ||
  fail "stb-downloader.exe --list-ports failed: $out"
[[ $out == COM[0-9]* || $out == "No serial devices found." ]] || fail "stb-downloader.exe --list-ports said: $out"
say "stb-downloader.exe --list-ports: $(printf '%s' "$out" | head -n1)"

# A port that is not there is named as it was asked for, not as the COM1 it
# stands in for.
rm -f "$WINEPREFIX/dosdevices/com9"
missing_rc=0
out=$(printf '%s\n' "$keyword" | timeout 60 "$wine" "$win_build/bin/stb-downloader-cli.exe" --port COM9 2>&1 |
  tr -d '\r') || missing_rc=$?
((missing_rc == 2)) || fail "stb-downloader-cli.exe --port COM9 ended with status $missing_rc: $out"
[[ $out == *'\\.\COM9: '*'(this PC has no COM9: '* && $out != *'no COM1'* ]] ||
  fail "stb-downloader-cli.exe --port COM9 said: $out"
say "stb-downloader-cli.exe --port COM9: $(grep -o 'this PC has no COM9' <<<"$out")"

start_receiver "$description" "$mode"
ln -sfn "$(readlink "$tmp/com3")" "$WINEPREFIX/dosdevices/com3"

say "downloading through stb-downloader-cli.exe --port COM3"
t0=$SECONDS
cli_rc=0
(cd "$bench" && printf '%s\n' "$keyword" |
  timeout 300 "$wine" "$root/$win_build/bin/stb-downloader-cli.exe" --port COM3 --json) >"$tmp/cli.out" 2>"$tmp/cli.err" ||
  cli_rc=$?
stop_receiver
rm -f "$WINEPREFIX/dosdevices/com3"

((cli_rc == 0)) || fail "stb-downloader-cli.exe ended with status $cli_rc: $(tail -5 "$tmp/cli.err") $(tail -3 "$tmp/cli.out")"
tail -n1 "$tmp/cli.out" | grep -q '"event":"result".*"result":"success"' ||
  fail "the last JSON event is not a success: $(tail -n1 "$tmp/cli.out")"
((sim_rc == 0)) && grep -q '^success: *yes' "$tmp/sim.out" || fail "the receiver reports no success: $(cat "$tmp/sim.out")"
padded=$((blocks * 1024))
head -c "$padded" /dev/zero >"$tmp/padded.bin"
dd if="$image" of="$tmp/padded.bin" conv=notrunc status=none
cmp -s "$tmp/flash.bin" "$tmp/padded.bin" || fail "the receiver's flash is not the image"
say "stb-downloader-cli.exe succeeded in $((SECONDS - t0)) s: the receiver holds the image ($blocks blocks)"

# --check reads the same description file and image with no port, in both programs.
for program in stb-downloader-cli stb-downloader; do
  out=$(cd "$bench" && timeout 60 "$wine" "$root/$win_build/bin/$program.exe" --check "$mode" </dev/null 2>&1 | tr -d '\r') ||
    fail "$program.exe --check $mode failed: $out"
  [[ $out == *"$description: mode $mode"*"good: the download would use the above"* ]] ||
    fail "$program.exe --check $mode said: ${out:0:400}"
done
say "--check $mode: both programs found $description good"
