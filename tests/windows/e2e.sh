#!/usr/bin/env bash
# One whole download with the Windows program under Wine: its window on Xvfb,
# started with --port COM3, only COM3 mapped to the simulated receiver's pty
# (COM1 to nothing), the keyword typed from outside with xdotool, the
# receiver's flash compared with the image, and COM3 remembered for the next
# start.
#
#   tests/windows/e2e.sh LINUX_BUILD WINDOWS_BUILD [--choose-port]
#
# With --choose-port the program starts without --port and with no port
# remembered: COM1 does not open, its message is answered, and COM3 is
# chosen from the window's list of ports (F4) before the keyword is typed.
#
# Expects WINEPREFIX to name a ready prefix (tests/windows/run.sh makes one).
# With SHOTS set to a folder, leaves screenshots of the window there.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
linux_build=${1:-build}
win_build=${2:-build-windows}
choose_port=0
[[ ${3:-} == --choose-port ]] && choose_port=1
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

# COM3 chosen from the window's list: F4, then down the list to COM3, in
# the order --list-ports gives the ports present.
choose_com3() {
  local ports index=-1 n=0 p menu=''
  ports=$("$wine" "$win_build/bin/stb-downloader.exe" --list-ports </dev/null 2>/dev/null | tr -d '\r' | grep '^COM' |
    awk '{print $1}') || true
  for p in $ports; do
    [[ $p == COM3 ]] && index=$n
    n=$((n + 1))
  done
  ((index >= 0)) || fail "--list-ports does not list COM3: $ports"
  say "choosing COM3 from the list of $n ports: F4, then $((index + 1)) down"
  # The list is a window of the program's own that was not there before.
  local before
  before=$(xdotool search --onlyvisible --class 'stb-downloader' 2>/dev/null | sort || true)
  xdotool windowfocus --sync "$window" 2>/dev/null || true
  xdotool key --clearmodifiers F4
  for ((p = 0; p < 50; p++)); do
    menu=$(comm -13 <(printf '%s\n' "$before") \
      <(xdotool search --onlyvisible --class 'stb-downloader' 2>/dev/null | sort || true) | head -n1)
    [[ -n $menu ]] && break
    sleep 0.1
  done
  [[ -n $menu ]] || { shot windows-0-no-list; fail "F4 opened no list of ports"; }
  sleep 0.5
  shot windows-0-port-list
  for ((p = 0; p <= index; p++)); do xdotool key --clearmodifiers Down; done
  xdotool key --clearmodifiers Return
  sleep 1
}

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

port_args=(--port COM3)
if ((choose_port)); then
  port_args=()
  "$wine" reg delete 'HKCU\Software\Tarnwell\stb-downloader' /v port /f >/dev/null 2>&1 || true
fi
(cd "$bench" && exec "$wine" "$root/$win_build/bin/stb-downloader.exe" "${port_args[@]}") >"$tmp/tool.log" 2>&1 &
tool_pid=$!
find_window() { { xdotool search --onlyvisible --name "$1" 2>/dev/null || true; } | head -n1; }
window=''
answered=0
for ((i = 0; i < 600; i++)); do
  kill -0 "$tool_pid" 2>/dev/null || fail "the program ended at start-up: $(cat "$tmp/tool.log")"
  if box=$(find_window '^stb-downloader$') && [[ -n $box ]]; then
    import -window root "${SHOTS:-$tmp}/start.png" 2>/dev/null || true
    # Without a port COM1 does not open, and the program says so once.
    ((choose_port && answered < 5)) || fail "the program showed a message at start-up (the port?)"
    # Answered, and looked for again until it has gone (a key can be lost
    # while Wine is still busy making the box).
    answered=$((answered + 1))
    xdotool windowfocus --sync "$box" 2>/dev/null || true
    xdotool key --clearmodifiers Return
    for ((j = 0; j < 30; j++)); do
      [[ -z $(find_window '^stb-downloader$') ]] && break
      sleep 0.1
    done
    continue
  fi
  window=$(find_window 'Serial DownLoader')
  [[ -n $window ]] && break
  sleep 0.1
done
[[ -n $window ]] || fail "the window did not appear within 60 s"
((!choose_port || answered)) || fail "COM1 opened although nothing is behind it"
sleep 1
shot() { [[ -n ${SHOTS:-} ]] && mkdir -p "$SHOTS" && import -window root "$SHOTS/$1.png" 2>/dev/null || true; }
((choose_port)) && choose_com3
say "window up; typing the keyword $keyword"
xdotool windowfocus --sync "$window" 2>/dev/null || true
xdotool type --delay 80 "$keyword"
typed=$SECONDS

deadline=$((typed + 120 + blocks))
boxes=0
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
