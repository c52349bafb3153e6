#!/usr/bin/env bash
# The main command: sets up, builds, prepares ./workbench and runs a download.
#
#   scripts/run.sh            a dry run against the simulated receiver
#   scripts/run.sh DEVICE     a download into a real receiver on DEVICE (e.g. /dev/ttyUSB0)
#
# The dry run writes the native software image (mode 2) into a simulated
# receiver whose identity matches workbench/inc/native.inc. With a display
# the operator types the keyword; without one ($DISPLAY empty) the script
# runs the window under Xvfb, types the keyword itself, answers the dialogs
# and saves screenshots in workbench/screenshots/. At the end it prints the
# receiver's summary and compares the receiver's flash with the image.
#
# SIM_ARGS adds options to the simulated receiver, e.g. a fault to rehearse:
#   SIM_ARGS='--reject-block 5:2' scripts/run.sh
#
# Exit status: 0 only when the download succeeded; 1 when it failed; 2 when
# it could not be started.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bin=$root/${BUILD_DIR:-build}/bin
workbench=$root/workbench
keyword='W4n!Rk'     # mode 2, Native Software
mode=2
description=inc/native.inc

source scripts/lib/receiver.sh

say() { printf 'run: %s\n' "$*"; }
fail() { printf 'run: %s\n' "$*" >&2; exit "${2:-2}"; }

device=${1:-}
[[ $# -le 1 && $device != -* ]] || fail "usage: scripts/run.sh [DEVICE]"

# --- set up, build, workbench ---------------------------------------------------
say "setting up (scripts/setup.sh)"
scripts/setup.sh
# Only the two programs it runs: the tests and benchmarks are scripts/test.sh's.
say "building stb-downloader and stb-receiver-sim (scripts/build.sh)"
BUILD_TARGETS="stb-downloader stb-receiver-sim" scripts/build.sh
for program in stb-downloader stb-receiver-sim; do
  [[ -x $bin/$program ]] || fail "the build left no $bin/$program"
done
scripts/workbench.sh "$workbench" >/dev/null
say "workbench ready: $workbench (inc/*.inc and images/)"

# --- a real receiver --------------------------------------------------------------
if [[ -n $device ]]; then
  [[ -e $device ]] || fail "$device: no such device. Is the cable plugged in? (ls /dev/ttyS* /dev/ttyUSB*)"
  [[ -c $device ]] || fail "$device: not a serial device"
  if [[ ! -r $device || ! -w $device ]]; then
    group=$(stat -c %G "$device")
    fail "$device: permission denied. Add yourself to its group: sudo usermod -aG $group $USER, then log in again"
  fi
  [[ -n ${DISPLAY:-}${WAYLAND_DISPLAY:-} ]] || fail "a download into a real receiver needs a display: the operator types the keyword into the window"
  say "starting the tool on $device (--port $device) in $workbench"
  say "1. type the keyword of the mode to write into the window (it is not displayed);"
  say "   $keyword writes the native software described by $description"
  say "2. switch the receiver on, and wait until the tool says it has finished"
  rc=0
  (cd "$workbench" && exec "$bin/stb-downloader" --port "$device") || rc=$?
  # The tool's exit status says how the download ended.
  case $rc in
    0) say "download succeeded; switch the receiver off and on again"; exit 0 ;;
    1) fail "the download failed or was stopped (see the log in ~/.local/state/stb-downloader/)" 1 ;;
    *) fail "the tool ended with status $rc, without a download" 2 ;;
  esac
fi

# --- the simulated receiver ---------------------------------------------------------
tmp=$(mktemp -d "${TMPDIR:-/tmp}/stb-run.XXXXXX")
sim_pid='' tool_pid='' xvfb_pid=''
cleanup() {
  local pid
  # Only what this script started, each by its own id.
  for pid in $tool_pid $sim_pid $xvfb_pid; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in $tool_pid $sim_pid $xvfb_pid; do
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The receiver's identity comes from the description file, so the two agree.
mapfile -t line < <(tr -d '\r' <"$workbench/$description")
image=$workbench/${line[9]}
[[ -f $image ]] || fail "$description names ${line[9]}, which is not there"
image_bytes=$(stat -c %s "$image")
blocks=$(((image_bytes + 1023) / 1024))
sim_args=(
  --link "$tmp/com1" --mode "$mode"
  --oui "${line[0]:2:4}" --model "${line[1]:0:2}.${line[1]:3:2}"
  --hw "${line[2]:0:2}.${line[2]:3:2}" --bl "${line[3]:0:2}.${line[3]:3:2}" --native 03.00
  --address "${line[11]:2:8}"
  --pace --exit-when-done --save-flash "$tmp/flash.bin" --summary-json "$tmp/summary.json"
)
read -r -a extra <<<"${SIM_ARGS:-}"
sim_args+=("${extra[@]}")
say "starting the simulated receiver: stb-receiver-sim ${sim_args[*]}"
"$bin/stb-receiver-sim" "${sim_args[@]}" >"$tmp/sim.out" 2>"$tmp/sim.err" &
sim_pid=$!
for ((i = 0; i < 100; i++)); do
  [[ -L $tmp/com1 ]] && break
  kill -0 "$sim_pid" 2>/dev/null || fail "the simulated receiver did not start: $(cat "$tmp/sim.err")"
  sleep 0.1
done
[[ -L $tmp/com1 ]] || fail "the simulated receiver made no port within 10 s"

# At 115200 bit/s a block of 1025 bytes takes about 89 ms.
transfer_s=$((blocks * 1025 * 10 / 115200 + 1))

if [[ -n ${DISPLAY:-}${WAYLAND_DISPLAY:-} ]]; then
  say "starting the tool (COM1 -> the simulated receiver) in $workbench"
  say ">>> type  $keyword  into the window (it is not displayed); the receiver is already on."
  say "    the transfer takes about $transfer_s s; confirm the final message with OK."
  (cd "$workbench" && COM1=$tmp/com1 exec "$bin/stb-downloader") &
  tool_pid=$!
  wait "$tool_pid" || true
  tool_pid=''
else
  shots=$workbench/screenshots
  mkdir -p "$shots"
  rm -f "$shots"/*.png
  say "no display: running the tool under Xvfb; screenshots go to $shots"
  Xvfb -displayfd 3 -screen 0 600x720x24 -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.err" &
  xvfb_pid=$!
  for ((i = 0; i < 100; i++)); do
    [[ -s $tmp/display ]] && break
    kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start: $(cat "$tmp/xvfb.err")"
    sleep 0.1
  done
  [[ -s $tmp/display ]] || fail "Xvfb gave no display within 10 s"
  DISPLAY=:$(head -n1 "$tmp/display")
  export DISPLAY

  shot() { import -window root "$shots/$1.png" 2>/dev/null && say "screenshot $shots/$1.png"; }
  # Message boxes carry the program's name as their title; the window its caption.
  find_window() { { xdotool search --onlyvisible --name "$1" 2>/dev/null || true; } | head -n1; }
  press_return() {
    xdotool windowfocus --sync "$1" 2>/dev/null || true
    xdotool key --clearmodifiers Return
  }

  (cd "$workbench" && COM1=$tmp/com1 exec "$bin/stb-downloader") >"$tmp/tool.log" 2>&1 &
  tool_pid=$!
  window=''
  for ((i = 0; i < 200; i++)); do
    kill -0 "$tool_pid" 2>/dev/null || fail "the tool ended at start-up: $(cat "$tmp/tool.log")"
    if box=$(find_window '^stb-downloader$') && [[ -n $box ]]; then
      shot 1-start
      press_return "$box"
      fail "the tool could not open the port (see $shots/1-start.png)"
    fi
    window=$(find_window 'Serial DownLoader')
    [[ -n $window ]] && break
    sleep 0.1
  done
  [[ -n $window ]] || fail "the tool's window did not appear within 20 s"
  sleep 1
  shot 1-start
  say "typing the keyword $keyword"
  xdotool windowfocus --sync "$window"
  xdotool type --delay 60 "$keyword"
  typed=$SECONDS

  # Probe (up to 1 s), handshake, then the blocks: halfway is well inside.
  halfway=$((typed + 2 + transfer_s / 2))
  deadline=$((typed + 2 * transfer_s + 120))
  boxes=0
  while kill -0 "$tool_pid" 2>/dev/null; do
    if ((SECONDS >= deadline)); then
      shot 3-timeout
      fail "the download did not end within $((deadline - typed)) s" 1
    fi
    if [[ ! -e $shots/2-transfer.png ]] && ((SECONDS >= halfway)); then
      shot 2-transfer
    fi
    if box=$(find_window '^stb-downloader$') && [[ -n $box ]]; then
      sleep 0.5
      boxes=$((boxes + 1))
      shot "3-end$( ((boxes > 1)) && echo "-$boxes")"
      press_return "$box"
      sleep 0.5
    fi
    sleep 0.25
  done
  wait "$tool_pid" || true
  tool_pid=''
fi

# --- the receiver's summary -------------------------------------------------------------
say "waiting for the simulated receiver's summary"
stop_receiver

echo
echo "== the simulated receiver's summary =="
tail -n +2 "$tmp/sim.out"
[[ -s $tmp/sim.err ]] && cat "$tmp/sim.err"

ok=1
((sim_rc == 0)) && grep -q '^success: *yes' "$tmp/sim.out" || ok=0

echo "== the receiver's flash =="
padded_bytes=$((blocks * 1024))
head -c "$padded_bytes" /dev/zero >"$tmp/padded.bin"
dd if="$image" of="$tmp/padded.bin" conv=notrunc status=none
flash_bytes=$(stat -c %s "$tmp/flash.bin" 2>/dev/null || echo 0)
if ((flash_bytes == padded_bytes)) && cmp -s "$tmp/flash.bin" "$tmp/padded.bin"; then
  echo "flash: $flash_bytes bytes, identical to ${line[9]} ($image_bytes bytes) padded with zeros to $blocks whole blocks"
else
  echo "flash: $flash_bytes bytes, NOT the image ${line[9]} ($image_bytes bytes padded to $padded_bytes)"
  ok=0
fi

echo "== the version table =="
written=$(sed -n 's/.*"versionWrite": *\[\([^]]*\)\].*/\1/p' "$tmp/summary.json" 2>/dev/null | tr -d ' ' | tr ',' ' ')
read -r -a bytes <<<"$written"
selector=${line[10]:0:1}
pair_expected=''
case $selector in
  1) pair_expected=${line[3]:0:5} ;;
  2) pair_expected=${line[4]:0:5} ;;
  3) pair_expected=${line[5]:0:5} ;;
  4) pair_expected=${line[6]:0:5} ;;
esac
pair='' date_code=''
skip=0
if [[ -n $pair_expected ]] && ((${#bytes[@]} >= 2)); then
  pair=$(printf '%02X.%02X' "${bytes[0]}" "${bytes[1]}")
  skip=2
fi
for ((i = skip; i < ${#bytes[@]}; i++)); do
  date_code+=$(printf "\\$(printf '%03o' "${bytes[i]}")")
done
echo "written: version ${pair:-(none)}, date code '${date_code}'"
echo "described: version ${pair_expected:-(none)} (selector $selector), date code '${line[7]:0:5}'"
[[ ${pair^^} == "${pair_expected^^}" && $date_code == "${line[7]:0:5}" ]] || ok=0

echo
if ((ok)); then
  say "download succeeded: the receiver confirmed every stage and holds the image byte for byte"
  exit 0
fi
say "download FAILED (see the summary above${shots:+ and the screenshots in $shots})"
exit 1
