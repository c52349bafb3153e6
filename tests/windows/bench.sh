#!/usr/bin/env bash
# The bench on Windows under Wine: stb-bench.exe on Xvfb with four rows, COM3
# to COM6, each port mapped to the pty of its own simulated receiver paced at
# 115200 bit/s; three are happy, the fourth hangs up after block 5. The
# keyword is typed from outside with xdotool, once. Each row's station is an
# stb-downloader-cli.exe process: three boxes pass, one fails, each writes
# its record, and the bench counts them and ends with status 1. Then a bench
# on one port is closed while blocks go out: it asks, and on Yes stops its
# station as Ctrl+Break would, which ends after the block on the line and
# writes its record. The bench's ports are remembered in the registry.
# Last, a bench started without ports and none remembered offers the ports
# Windows lists with check boxes (read and clicked from outside by
# bench_controls.exe); the ticked one alone is flashed and remembered.
#
#   tests/windows/bench.sh LINUX_BUILD WINDOWS_BUILD
#
# Expects WINEPREFIX to name a ready prefix (tests/windows/run.sh makes one).
# With SHOTS set to a folder, leaves screenshots of the bench there.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
linux_build=${1:-build}
win_build=${2:-build-windows}
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
keyword='O8g=Ka'   # mode 7, PSI Data: 64 blocks, about 6 s a box at 115200
mode=7
description=inc/psi.inc
# mode 2, Native Software: 256 blocks, about 23 s at 115200, long enough to
# close the bench in the middle of them
long_keyword='W4n!Rk'
long_mode=2
long_description=inc/native.inc
ports=(COM3 COM4 COM5 COM6)
hangs_up=COM6

say() { printf 'windows-bench: %s\n' "$*"; }
fail() {
  printf 'windows-bench: %s\n' "$*" >&2
  local f
  for f in "$tmp"/*.sim.out; do [[ -s $f ]] && { echo "--- $f"; tail -n 12 "$f"; } >&2; done
  exit 1
}
[[ -n ${WINEPREFIX:-} && -d $WINEPREFIX ]] || fail "WINEPREFIX names no prefix"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/stb-wine-bench.XXXXXX")
declare -A sim_pids=()
bench_pid='' xvfb_pid=''
cleanup() {
  local pid
  for pid in $bench_pid "${sim_pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in $bench_pid "${sim_pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  [[ -n $xvfb_pid ]] && { "$wineserver" -k 2>/dev/null || true; }
  if [[ -n $xvfb_pid ]]; then
    kill -TERM "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

bench=$tmp/bench
scripts/workbench.sh "$bench" >/dev/null

# A receiver on the pty $tmp/PORT with the identity of the description $1 and
# its mode $2, paced as a real line; further arguments go to the receiver. One
# left owed bytes gives up after 20 s rather than wait for ever.
start_sim() {
  local port=$1 description=$2 mode=$3
  shift 3
  local line
  mapfile -t line < <(tr -d '\r' <"$bench/$description")
  "$linux_build/bin/stb-receiver-sim" --link "$tmp/$port" --mode "$mode" --pace 115200 \
    --oui "${line[0]:2:4}" --model "${line[1]:0:2}.${line[1]:3:2}" \
    --hw "${line[2]:0:2}.${line[2]:3:2}" --bl "${line[3]:0:2}.${line[3]:3:2}" \
    --address "${line[11]:2:8}" --exit-when-done --quiet-limit 20000 --save-flash "$tmp/$port.flash" "$@" \
    >"$tmp/$port.sim.out" 2>"$tmp/$port.sim.err" &
  sim_pids[$port]=$!
  local i
  for ((i = 0; i < 100; i++)); do
    [[ -L $tmp/$port ]] && break
    sleep 0.1
  done
  [[ -L $tmp/$port ]] || fail "the receiver on $port made no pty: $(cat "$tmp/$port.sim.err")"
}

# The registry and the prefix's dosdevices say which pty each COM port is.
map_port() {
  "$wine" reg add 'HKLM\Software\Wine\Ports' /v "$1" /t REG_SZ /d "$(readlink "$tmp/$1")" /f >/dev/null 2>&1
  ln -sfn "$(readlink "$tmp/$1")" "$WINEPREFIX/dosdevices/${1,,}"
}

wait_sim() {
  local rc=0
  wait "${sim_pids[$1]}" || rc=$?
  unset "sim_pids[$1]"
  return "$rc"
}

find_window() { { xdotool search --onlyvisible --name "$1" 2>/dev/null || true; } | head -n1; }

# stb-bench.exe with these arguments in the workbench; sets bench_pid and window.
start_bench() {
  (cd "$bench" && exec "$wine" "$root/$win_build/bin/stb-bench.exe" "$@") >"$tmp/bench.out" 2>"$tmp/bench.err" &
  bench_pid=$!
  local started=$SECONDS i
  window=''
  for ((i = 0; i < 600; i++)); do
    kill -0 "$bench_pid" 2>/dev/null || fail "the bench ended at start-up: $(cat "$tmp/bench.out" "$tmp/bench.err")"
    window=$(find_window '^stb-bench: ')
    [[ -n $window ]] && break
    sleep 0.1
  done
  [[ -n $window ]] || fail "the bench's window did not appear within 60 s"
  say "window up after $((SECONDS - started)) s"
}

type_keyword() {
  xdotool windowfocus --sync "$window" 2>/dev/null || true
  xdotool type --delay 80 "$1"
}

# Waits for the bench to end; sets bench_rc.
wait_bench() {
  local i
  for ((i = 0; i < 600; i++)); do
    kill -0 "$bench_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$bench_pid" 2>/dev/null && fail "the bench did not close within 60 s"
  bench_rc=0
  wait "$bench_pid" || bench_rc=$?
  bench_pid=''
}

# A bench of one box ended: its exit status $2, its totals $3, and one new
# record, on port $4 with result $5; $1 names it in a failure. Sets new.
one_box_ended() {
  local what=$1 status=$2 totals=$3 port=$4 result=$5
  ((bench_rc == status)) || fail "$what: exit status $bench_rc, not $status"
  [[ $(tr -d '\r' <"$tmp/bench.out") == *"$totals"* ]] || fail "$what: totals not $totals: $(cat "$tmp/bench.out")"
  new=$(record_lines | tail -n +"$((records_before + 1))")
  (($(grep -c . <<<"$new") == 1)) && [[ $new == *"$port\""* && $new == *"\"result\":\"$result\""* ]] ||
    fail "$what: not one record of $result on $port: $new"
}

record_lines() {
  local record
  record=$(ls "$WINEPREFIX"/drive_c/users/*/AppData/Local/stb-downloader/downloads.jsonl 2>/dev/null | head -n1)
  # A download's running line is followed by its final one: the final ones count.
  [[ -n $record ]] && grep -v '"result":"running"' "$record"
  return 0
}

mapfile -t line < <(tr -d '\r' <"$bench/$description")
image=$bench/${line[9]}
blocks=$(( ($(stat -c %s "$image") + 1023) / 1024 ))
for port in "${ports[@]}"; do
  fault=()
  [[ $port == "$hangs_up" ]] && fault=(--hang-up Transferring:5)
  start_sim "$port" "$description" "$mode" "${fault[@]}"
done
for port in "${ports[@]}"; do map_port "$port"; done
# A session started without a display cannot make windows: end it (this
# prefix's only), so that the bench starts a fresh one on Xvfb, whose device
# manager makes the COM links from the registry as it starts.
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w 2>/dev/null || true
# Wide enough for the bench's twelve columns.
Xvfb -displayfd 3 -screen 0 1280x600x24 -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.err" &
xvfb_pid=$!
for ((i = 0; i < 100; i++)); do
  [[ -s $tmp/display ]] && break
  sleep 0.1
done
[[ -s $tmp/display ]] || fail "Xvfb gave no display: $(cat "$tmp/xvfb.err")"
export DISPLAY=:$(head -n1 "$tmp/display")
"$wineserver" -p60 >/dev/null 2>&1
"$wine" reg query 'HKLM\Software\Wine\Ports' >/dev/null 2>&1 || true
for port in "${ports[@]}"; do
  for ((i = 0; i < 100; i++)); do
    [[ $(readlink "$WINEPREFIX/dosdevices/${port,,}" 2>/dev/null) == "$(readlink "$tmp/$port")" ]] && break
    sleep 0.1
  done
  [[ $(readlink "$WINEPREFIX/dosdevices/${port,,}" 2>/dev/null) == "$(readlink "$tmp/$port")" ]] ||
    fail "$port does not lead to its receiver's pty in the prefix"
done

# Whatever earlier tests wrote to the record stays; this bench's lines come after.
records_before=$(record_lines | wc -l)
port_args=()
for port in "${ports[@]}"; do port_args+=(--port "$port"); done
start_bench "${port_args[@]}"
sleep 1
say "typing the keyword $keyword"
type_keyword "$keyword"
typed=$SECONDS

# Every receiver ends on its own once its box is done (or hung up).
deadline=$((typed + 120 + blocks))
retyped=0
for port in "${ports[@]}"; do
  while kill -0 "${sim_pids[$port]}" 2>/dev/null; do
    # A key typed while Wine was still busy with the window can be lost;
    # typing the keyword again is harmless once a mode is chosen.
    if ((!retyped && SECONDS >= typed + 20)); then
      retyped=1
      type_keyword "$keyword"
    fi
    ((SECONDS < deadline)) || fail "the boxes were not done within $((deadline - typed)) s"
    sleep 0.25
  done
done
say "the four receivers ended after $((SECONDS - typed)) s"

# The stations end after their receivers; the bench sees them at its next look.
for ((i = 0; i < 300; i++)); do
  (($(record_lines | wc -l) >= records_before + 4)) && break
  sleep 0.1
done
sleep 2.5
[[ -n ${SHOTS:-} ]] && mkdir -p "$SHOTS" && import -window "$window" "$SHOTS/windows-bench.png" 2>/dev/null || true

# Closed as its close button would: nothing runs, so no question.
xdotool windowfocus --sync "$window" 2>/dev/null || true
xdotool key --clearmodifiers alt+F4
wait_bench
say "the bench ended with status $bench_rc after $((SECONDS - typed)) s: $(tr -d '\r' <"$tmp/bench.out")"

padded=$((blocks * 1024))
head -c "$padded" /dev/zero >"$tmp/padded.bin"
dd if="$image" of="$tmp/padded.bin" conv=notrunc status=none
for port in "${ports[@]}"; do
  rc=0
  wait_sim "$port" || rc=$?
  if [[ $port == "$hangs_up" ]]; then
    ((rc != 0)) || fail "the receiver on $port that hangs up reports success"
  else
    ((rc == 0)) && grep -q '^success: *yes' "$tmp/$port.sim.out" || fail "the receiver on $port reports no success"
    cmp -s "$tmp/$port.flash" "$tmp/padded.bin" || fail "the flash on $port is not the image"
  fi
done

((bench_rc == 1)) || fail "the bench's exit status was $bench_rc, not 1 (a box failed)"
[[ $(tr -d '\r' <"$tmp/bench.out") == *'Passed 3   Failed 1   Boxes 4'* ]] ||
  fail "the bench's totals are not three passed and one failed: $(cat "$tmp/bench.out")"
new=$(record_lines | tail -n +"$((records_before + 1))")
(($(grep -c . <<<"$new") == 4)) || fail "not four new records: $new"
for port in "${ports[@]}"; do
  got=$(grep -F "$port\"" <<<"$new" || true)
  (($(grep -c . <<<"$got") == 1)) || fail "not one record for $port: $new"
  if [[ $port == "$hangs_up" ]]; then
    [[ $got != *'"result":"success"'* ]] || fail "the record of $port says success: $got"
  else
    [[ $got == *'"result":"success"'* && $got == *"\"blocks_accepted\":$blocks,"* ]] ||
      fail "the record of $port is not a success of $blocks blocks: $got"
  fi
done
say "three boxes passed, the one that hung up failed, four records"

# The ports given are remembered, in their order, for a bench started
# without any (the Start-menu entry).
remembered=''
for ((i = 0; i < 3; i++)); do
  remembered=$("$wine" reg query 'HKCU\Software\Tarnwell\stb-bench' /v ports 2>/dev/null | tr -d '\r' || true)
  [[ -n $remembered ]] && break
  sleep 1
done
[[ $remembered == *REG_MULTI_SZ*COM3*COM4*COM5*COM6* ]] ||
  fail "the bench did not remember its four ports: $remembered"
say "the four ports are remembered: $(grep -o 'COM3.*' <<<"$remembered")"

# Closed while blocks go out: the question, then the station stopped as
# Ctrl+Break would stop it, its record written, and the bench gone.
start_sim COM3 "$long_description" "$long_mode"
map_port COM3
records_before=$(record_lines | wc -l)
start_bench --port COM3
sleep 1
type_keyword "$long_keyword"
typed=$SECONDS
# Well inside the 23 s of blocks, after the station started and the box answered.
sleep 10
xdotool windowfocus --sync "$window" 2>/dev/null || true
xdotool key --clearmodifiers alt+F4
question=''
for ((i = 0; i < 100; i++)); do
  question=$(find_window '^stb-bench$')
  [[ -n $question ]] && break
  sleep 0.1
done
[[ -n $question ]] || fail "closing the bench while blocks went out asked nothing"
xdotool windowfocus --sync "$question" 2>/dev/null || true
xdotool key --clearmodifiers y
asked=$SECONDS
wait_bench
say "asked and answered Yes; the bench ended with status $bench_rc $((SECONDS - asked)) s later: $(tr -d '\r' <"$tmp/bench.out")"
kill -TERM "${sim_pids[COM3]}" 2>/dev/null || true
wait_sim COM3 || true
one_box_ended "the stopped bench" 1 'Passed 0   Failed 1   Boxes 1' COM3 stopped
say "the station stopped by the bench wrote its record: $(grep -o '"blocks_accepted":[0-9]*' <<<"$new")"

# Started without --port and with no ports remembered, the bench offers the
# ports Windows lists (Wine's: the COM ports it maps), each with a check
# box, none ticked. COM4 is ticked and the keyword typed: its box alone is
# flashed, the bench counts that box alone, and COM4 alone is remembered.
controls() { "$wine" "$root/$win_build/bin/bench_controls.exe" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
start_sim COM4 "$description" "$mode"
map_port COM4
"$wine" reg delete 'HKCU\Software\Tarnwell\stb-bench' /f >/dev/null 2>&1 || true
records_before=$(record_lines | wc -l)
start_bench
boxes=''
for ((i = 0; i < 50; i++)); do
  boxes=$(controls list || true)
  [[ $boxes == *'COM4 '* ]] && break
  sleep 0.2
done
[[ $boxes == *'COM4 unticked enabled'* ]] || fail "the bench started without ports offers no check box for COM4: $boxes"
! grep -q ' ticked' <<<"$boxes" || fail "a port is ticked at first: $boxes"
say "offered to tick: $(grep -o 'COM[0-9]*' <<<"$boxes" | tr '\n' ' ')"
controls click COM4 || fail "no check box COM4 to click"
[[ $(controls list) == *'COM4 ticked enabled'* ]] || fail "COM4 is not ticked after its click: $(controls list)"
[[ -n ${SHOTS:-} ]] && import -window "$window" "$SHOTS/windows-bench-ticks.png" 2>/dev/null || true
type_keyword "$keyword"
typed=$SECONDS
retyped=0
while kill -0 "${sim_pids[COM4]}" 2>/dev/null; do
  if ((!retyped && SECONDS >= typed + 20)); then
    retyped=1
    type_keyword "$keyword"
  fi
  ((SECONDS < typed + 120 + blocks)) || fail "the box on the ticked COM4 was not done within $((120 + blocks)) s"
  sleep 0.25
done
for ((i = 0; i < 300; i++)); do
  (($(record_lines | wc -l) >= records_before + 1)) && break
  sleep 0.1
done
if [[ -n ${SHOTS:-} ]]; then
  sleep 1.5  # the next look draws the row's end
  import -window "$window" "$SHOTS/windows-bench-ticked.png" 2>/dev/null || true
fi
boxes=$(controls list || true)
[[ $boxes == *'COM4 ticked disabled'* ]] || fail "COM4's tick can still change once the mode is chosen: $boxes"
! grep -q ' enabled' <<<"$(grep '^COM' <<<"$boxes")" || fail "a tick can still change once the mode is chosen: $boxes"
sleep 2.5
xdotool windowfocus --sync "$window" 2>/dev/null || true
xdotool key --clearmodifiers alt+F4
wait_bench
say "the bench of the ticked port ended with status $bench_rc: $(tr -d '\r' <"$tmp/bench.out")"
wait_sim COM4 || fail "the receiver on the ticked COM4 reports no success"
one_box_ended "the ticked bench" 0 'Passed 1   Failed 0   Boxes 1' COM4 success
remembered=$("$wine" reg query 'HKCU\Software\Tarnwell\stb-bench' /v ports 2>/dev/null | tr -d '\r' || true)
[[ $remembered == *REG_MULTI_SZ*COM4* && $remembered != *COM3* && $remembered != *COM5* ]] ||
  fail "the bench did not remember the ticked COM4 alone: $remembered"
say "the ticked COM4 alone was flashed and is remembered"
