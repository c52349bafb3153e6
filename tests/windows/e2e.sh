#!/usr/bin/env bash
# One whole download with the Windows program under Wine: its window on Xvfb,
# started with --port COM3, only COM3 mapped to the simulated receiver's pty
# (COM1 to nothing), the keyword typed from outside with xdotool, the
# receiver's flash compared with the image, and COM3 remembered for the next
# start.
#
#   tests/windows/e2e.sh LINUX_BUILD WINDOWS_BUILD
#
# Expects WINEPREFIX to name a ready prefix (tests/windows/run.sh makes one).
# With SHOTS set to a folder, leaves screenshots of the window there.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
linux_build=${1:-build}
win_build=${2:-build-windows}
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
keyword='O8g=Ka'   # mode 7, PSI Data
mode=7
description=inc/psi.inc

say() { printf 'windows-e2e: %s\n' "$*"; }
source tests/windows/common.sh
fail() { printf 'windows-e2e: %s\n' "$*" >&2; exit 1; }
[[ -n ${WINEPREFIX:-} && -d $WINEPREFIX ]] || fail "WINEPREFIX names no prefix"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/stb-wine-e2e.XXXXXX")
sim_pid='' tool_pid='' xvfb_pid=''
cleanup() {
  local pid
  for pid in $tool_pid $sim_pid; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in $tool_pid $sim_pid; do
    wait "$pid" 2>/dev/null || true
  done
  # The session lives on Xvfb's display: it ends first (this prefix's only).
  [[ -n $xvfb_pid ]] && { "$wineserver" -k 2>/dev/null || true; }
  if [[ -n $xvfb_pid ]]; then
    kill -TERM "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

start_receiver "$description" "$mode" --summary-json "$tmp/summary.json"

# A COM port is a symlink in the prefix's dosdevices; Wine's device manager
# puts its own there at start-up, so the registry says which one each is to
# be: COM3 the receiver, COM1 none, so that only --port can reach it.
"$wine" reg add 'HKLM\Software\Wine\Ports' /v COM3 /t REG_SZ /d "$(readlink "$tmp/com3")" /f >/dev/null 2>&1
"$wine" reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d '' /f >/dev/null 2>&1
ln -sfn "$(readlink "$tmp/com3")" "$WINEPREFIX/dosdevices/com3"
rm -f "$WINEPREFIX/dosdevices/com1"
# A session started without a display cannot make windows: end it (this
# prefix's only), so that the program starts a fresh one on Xvfb.
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w 2>/dev/null || true

start_xvfb

# The session's device manager makes the COM links as it starts, alongside
# the first program: start the session with a program of no consequence, its
# server kept for a minute for the real one, and see COM3 lead to the
# receiver before that starts. (The server keeps the output it is started
# with, and dumps its objects there when it is told to end.)
"$wineserver" -p60 >/dev/null 2>&1
"$wine" reg query 'HKLM\Software\Wine\Ports' >/dev/null 2>&1 || true
for ((i = 0; i < 100; i++)); do
  [[ $(readlink "$WINEPREFIX/dosdevices/com3" 2>/dev/null) == "$(readlink "$tmp/com3")" ]] && break
  sleep 0.1
done
[[ $(readlink "$WINEPREFIX/dosdevices/com3" 2>/dev/null) == "$(readlink "$tmp/com3")" ]] ||
  fail "COM3 does not lead to the receiver's pty in the prefix"

(cd "$bench" && exec "$wine" "$root/$win_build/bin/stb-downloader.exe" --port COM3) >"$tmp/tool.log" 2>&1 &
tool_pid=$!
find_window() { { xdotool search --onlyvisible --name "$1" 2>/dev/null || true; } | head -n1; }
window=''
for ((i = 0; i < 600; i++)); do
  kill -0 "$tool_pid" 2>/dev/null || fail "the program ended at start-up: $(cat "$tmp/tool.log")"
  if box=$(find_window '^stb-downloader$') && [[ -n $box ]]; then
    import -window root "${SHOTS:-$tmp}/start.png" 2>/dev/null || true
    fail "the program showed a message at start-up (the port?)"
  fi
  window=$(find_window 'Serial DownLoader')
  [[ -n $window ]] && break
  sleep 0.1
done
[[ -n $window ]] || fail "the window did not appear within 60 s"
say "window up; typing the keyword $keyword"
sleep 1
xdotool windowfocus --sync "$window" 2>/dev/null || true
xdotool type --delay 80 "$keyword"
typed=$SECONDS

deadline=$((typed + 120 + blocks))
boxes=0
shot() { [[ -n ${SHOTS:-} ]] && mkdir -p "$SHOTS" && import -window root "$SHOTS/$1.png" 2>/dev/null || true; }
shot windows-1-start
retyped=0
while kill -0 "$tool_pid" 2>/dev/null; do
  # A keyword typed while Wine was still busy with the window can lose a key;
  # typing it again is harmless once a mode is chosen.
  if ((!retyped && boxes == 0 && SECONDS >= typed + 20)); then
    retyped=1
    xdotool windowfocus --sync "$window" 2>/dev/null || true
    xdotool type --delay 80 "$keyword"
  fi
  [[ -n ${SHOTS:-} && ! -e $SHOTS/windows-2-transfer.png ]] && ((SECONDS >= typed + 8)) && shot windows-2-transfer
  ((SECONDS < deadline)) || fail "the download did not end within $((deadline - typed)) s"
  if box=$(find_window '^stb-downloader$') && [[ -n $box ]]; then
    boxes=$((boxes + 1))
    ((boxes <= 3)) || fail "more message boxes than a successful download shows"
    sleep 0.5
    shot "windows-3-end-$boxes"
    xdotool windowfocus --sync "$box" 2>/dev/null || true
    xdotool key --clearmodifiers Return
    sleep 0.5
  fi
  sleep 0.25
done
tool_rc=0
wait "$tool_pid" || tool_rc=$?
tool_pid=''
say "the program ended with status $tool_rc after $((SECONDS - typed)) s"

stop_receiver
cat "$tmp/sim.out"

padded=$((blocks * 1024))
head -c "$padded" /dev/zero >"$tmp/padded.bin"
dd if="$image" of="$tmp/padded.bin" conv=notrunc status=none
((tool_rc == 0)) || fail "the program's exit status was $tool_rc"
((sim_rc == 0)) && grep -q '^success: *yes' "$tmp/sim.out" || fail "the receiver reports no success"
cmp -s "$tmp/flash.bin" "$tmp/padded.bin" || fail "the receiver's flash is not the image"
# The record goes to %LOCALAPPDATA%\stb-downloader\downloads.jsonl.
record=$(ls "$WINEPREFIX"/drive_c/users/*/AppData/Local/stb-downloader/downloads.jsonl 2>/dev/null | head -n1)
[[ -n $record ]] || fail "no downloads.jsonl in %LOCALAPPDATA%\\stb-downloader"
last=$(tail -n1 "$record")
[[ $last == *'"result":"success"'* && $last == *"\"blocks_accepted\":$blocks,"* ]] ||
  fail "the record's last line is not this download's success: $last"
remembered=$("$wine" reg query 'HKCU\Software\Tarnwell\stb-downloader' /v port 2>/dev/null | tr -d '\r')
[[ $remembered == *REG_SZ*COM3* ]] || fail "COM3 is not remembered for the next start: $remembered"
say "download succeeded: the receiver holds the image byte for byte ($blocks blocks)"
