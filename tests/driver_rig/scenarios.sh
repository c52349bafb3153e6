# The rig's scenarios, run in the guest (sourced by guest.sh).
#
# Adding one: write a function that uses what guest-lib.sh offers and ends
# each of its verdicts with `verdict NAME`, then register it below with
#   scenario FUNCTION "LANES"
# LANES: uart (/dev/ttyS1, 8250), usb (/dev/ttyUSB0, ftdi_sio), acm
# (/dev/ttyACM0, cdc_acm), or pair (runs after the others, with $DEV_UART and
# $DEV_USB, e.g. for a bench; RX_LANE=uart receiver ... and RX_LANE=usb
# receiver ... give each line its receiver). unplug, replug and unplug_at
# take the lane's device away and back, whatever the lane.
# In a scenario: $LANE, $DEV, $S (its folder), $BIN, $TOOL, $WORKBENCH,
# $KEYWORD; QT_QPA_PLATFORM=offscreen is set, so a window can run too.
#
# The window and the bench run through rig-faces (tests/driver_rig/rig_faces.cpp),
# which types their keyword and writes what they show into a file here.

scenarios=()
scenario() { scenarios+=("$1 $2"); }

# Faster than the receiver's pace on a cable: what counts here is the
# driver, not the line's speed.
sc_download() {
  scenario_dir download
  receiver || { verdict download; return; }
  # What a terminal program leaves on the port must be there again after us.
  local before after
  stty -F "$DEV" 9600 crtscts icanon -echo 2>/dev/null
  before=$(stty -g -F "$DEV" 2>&1)
  local start
  start=$(now_ms)
  program_start
  program_wait 120
  after=$(stty -g -F "$DEV" 2>&1)
  receiver_stop
  check "the port's settings not put back: $after, not $before" [ "$after" = "$before" ]
  check "status $program_status, not 0" [ "$program_status" = 0 ]
  check "no success result" grep -q '"event":"result","result":"success"' "$S/events"
  local image=$WORKBENCH/images/native.bin padded=$S/padded.bin
  local bytes blocks
  bytes=$(stat -c %s "$image")
  blocks=$(((bytes + 1023) / 1024))
  head -c $((blocks * 1024)) /dev/zero >"$padded"
  dd if="$image" of="$padded" conv=notrunc status=none
  check "the receiver's flash is not the image" cmp -s "$S/flash.bin" "$padded"
  check "the receiver ended with status $receiver_status" [ "$receiver_status" = 0 ]
  note "flash = image ($bytes bytes)" "$(((program_end - start) / 100 / 10)).$(((program_end - start) / 100 % 10)) s"
  verdict download
}
scenario sc_download "uart usb acm"

# With the program holding $DEV in a transfer its receiver stopped answering:
# the port as the driver holds it, and a second program refused meanwhile.
settings_and_exclusive() {
  if ! await_output '"event":"progress","phase":"download"' 60; then
    check "the transfer did not start" false
  fi
  # Everything read first, while the program surely has the port; judged
  # after. The modem lines before anything opens the device (stty does):
  # every open raises DTR and RTS.
  local stty_out modem serial='' latency=''
  modem=$("$TOOL" modem "$DEV" "$(cat "$S/pid" 2>/dev/null)" 2>&1)
  if [[ $LANE == uart ]]; then
    serial=$(grep "^${DEV#/dev/ttyS}:" /proc/tty/driver/serial)
  elif [[ $LANE == usb ]]; then
    latency=$(cat "/sys/bus/usb-serial/devices/${DEV#/dev/}/latency_timer" 2>&1)
  fi
  stty_out=$(stty -a -F "$DEV" 2>&1)
  check "the program ended before the port was read" running
  # A second program on the same port, while the first has it.
  (cd "$WORKBENCH" && printf '%s\n' "$KEYWORD" |
    HOME=$S/home XDG_STATE_HOME=$S/home/state2 XDG_CONFIG_HOME=$S/home/config \
      timeout -k 5 30 "$BIN/stb-downloader" --console --port "$DEV" 2>&1 >/dev/null | "$TOOL" stamp >"$S/second"
    exit "${PIPESTATUS[1]}") &
  local second_pid=$!
  printf '%s\n' "$stty_out" "$modem" "$serial" "$latency" >"$S/settings"
  # Raw as cfmakeraw makes it, 8N1, no flow control of either kind.
  for want in "speed 115200 baud" cs8 -parenb -cstopb -crtscts clocal cread -icanon -echo -isig -iexten \
    -opost -ixon -ixoff -icrnl -istrip -inpck "min = 0" "time = 0"; do
    check "stty: no '$want'" has "$stty_out" "$want"
  done
  check "modem lines: $modem" has "$modem" "dtr=1 rts=1"
  note "${stty_out%%;*}" "$modem"
  if [[ $LANE == uart ]]; then
    check "/proc/tty/driver/serial: $serial" has "${serial//|/ }" "RTS"
    check "/proc/tty/driver/serial: $serial" has "${serial//|/ }" "DTR"
    note "/proc/tty/driver/serial: ${serial##* }"
  elif [[ $LANE == usb ]]; then
    check "latency_timer $latency ms while downloading, not 1" [ "$latency" = 1 ]
    note "latency_timer=$latency ms"
  fi
  verdict settings

  # The second program, started while the first has the port, must be
  # refused while the first still has it.
  wait "$second_pid"
  local second_status=$? refused
  refused=$(stamp_of 'could not connect' "$S/second")
  check "second program: status $second_status, not 2" [ "$second_status" = 2 ]
  check "second program: no could-not-connect message" grep -q 'Error: could not connect.  Check COM port settings' "$S/second"
  check "second program: does not name the first as the port's holder" \
    grep -qF "$DEV: the port is open in stb-downloader (process $(cat "$S/pid" 2>/dev/null)); close it first" "$S/second"
  [[ -e $S/exit ]] && read -r _ first_end <"$S/exit" || first_end=''
  check "the first program ended before the second was refused" [ -z "$first_end" -o "${refused:-0}" -lt "${first_end:-0}" ]
  note "$(grep -o "$DEV: .*" "$S/second" | head -n1)"
  verdict exclusive
}

# The receiver stops answering at block 5, as a box whose power is cut: a
# UART never hangs up. While the program waits on it, the port is read as
# the driver holds it, and a second program must be refused.
sc_silent_receiver() {
  scenario_dir silent
  receiver --silent Transferring:5 || { verdict settings; return; }
  program_start
  settings_and_exclusive

  # Each wait for the missing reply ends in a resend; the last in failure.
  program_wait 90
  receiver_stop
  local failed_at retries
  retries=$(grep -c '"text":"  retry : 5 block"' "$S/events")
  check "status $program_status, not 1" [ "$program_status" = 1 ]
  check "no 'DownLoad Fail !!'" grep -q '"text":"  DownLoad Fail !!"' "$S/events"
  check "no 'Software Upgrade Fail !!!' message" grep -q '"event":"message","text":"Software Upgrade Fail !!!"' "$S/events"
  check "$retries resends of block 5, not 16 then the failure" [ "$retries" = 17 ]
  failed_at=$(stamp_of '"text":"  DownLoad Fail !!"')
  local first
  first=$(stamp_of '"text":"  retry : 5 block"')
  if [[ -n $failed_at && -n $first ]]; then
    note "$retries resend waits" "failed $((failed_at - first)) ms after the first"
    check "the resends took $((failed_at - first)) ms, over 40000" [ $((failed_at - first)) -le 40000 ]
  fi
  verdict silent-receiver
}
scenario sc_silent_receiver "uart usb"

# The settings and the refused second program alone, without waiting out
# a silence (a minute that tells nothing about the driver). The receiver
# here is the gadget's end, which must keep reading: a box that takes no
# more bytes holds the program's last writes, and so its close, for the
# driver's 30 s. It answers every block, late enough that the transfer
# lasts, and the program is stopped.
sc_settings() {
  scenario_dir settings
  receiver --reply-delay 150 || { verdict settings; return; }
  program_start
  settings_and_exclusive
  program_stop
  receiver_stop
}
scenario sc_settings "acm"

# The adapter pulled out a quarter into the transfer: the host pulls it on
# the program's progress; the guest's clock times the device's going and the
# failure's line. The receiver keeps a cable's pace, so that the transfer
# is surely still under way when the host acts.
sc_unplug_transfer() {
  scenario_dir unplug-transfer
  receiver --pace || { verdict unplug-transfer; return; }
  by_id_of "$DEV" 10 >"$S/by-id" || check "no by-id name for $DEV" false
  program_start
  await_output '"event":"progress","phase":"download"' 60 || check "the transfer did not start" false
  watch_vanish || check "cannot watch $DEV" false
  unplug_at "$S/events" 65536 || check "no one took the progress watch" false
  local gone
  gone=$(vanished_at)
  [[ -n $gone ]] || check "$DEV never went away" false
  program_wait 30
  local lost
  lost=$(stamp_of 'Serial Line Lost')
  check "status $program_status, not 1" [ "$program_status" = 1 ]
  check "no 'Serial Line Lost - DownLoad !!'" grep -q '"text":"  ERROR:Serial Line Lost - DownLoad !!"' "$S/events"
  check "the loss said $(grep -c 'Serial Line Lost' "$S/events") times in the log, not once" \
    [ "$(grep -c '"event":"log".*Serial Line Lost' "$S/events")" = 1 ]
  check "no 'DownLoad Fail !!'" grep -q '"text":"  DownLoad Fail !!"' "$S/events"
  check "no failure result" grep -q '"event":"result","result":"failure"' "$S/events"
  if [[ -n $gone && -n $lost ]]; then
    # Below zero when the program heard the hang-up before the rig's watcher did.
    note "failure line $((lost - gone)) ms after the hang-up" "exit $((program_end - gone)) ms after" \
      "last progress before it at $(grep -o '"bytes":[0-9]*' "$S/events" | tail -n1 | cut -d: -f2) bytes"
    check "failure shown $((lost - gone)) ms after the device vanished, over 1400" [ $((lost - gone)) -le 1400 ]
  else
    check "no failure line" false
  fi
  # The record, one line, its log and the failure's wire trace beside it,
  # the record naming the trace; nothing else anywhere.
  local state=$S/home/state/stb-downloader written trace
  check "no record" [ -f "$state/downloads.jsonl" ]
  check "the record is not one failure for $DEV" \
    grep -q "\"port\":\"$DEV\".*\"result\":\"failure\"" "$state/downloads.jsonl"
  # Its running line, then its final one.
  check "the record has $(grep -vc '"result":"running"' "$state/downloads.jsonl" 2>/dev/null) final lines" [ "$(grep -vc '"result":"running"' "$state/downloads.jsonl" 2>/dev/null)" = 1 ]
  written=$(files_written | sed "s,^$state/,,")
  echo "$written" >"$S/written"
  check "written besides the record, its log and its trace: $(grep -v -e '^downloads.jsonl$' -e '^[^/]*\.log$' -e '^[^/]*\.trace\.txt$' <<<"$written" | tr '\n' ' ')" \
    [ -z "$(grep -v -e '^downloads.jsonl$' -e '^[^/]*\.log$' -e '^[^/]*\.trace\.txt$' <<<"$written")" ]
  check "$(wc -l <<<"$written") files written, not the record, the log and the trace" [ "$(wc -l <<<"$written")" = 3 ]
  trace=$(grep -o '^[^/]*\.trace\.txt$' <<<"$written" | head -n1)
  check "the record does not name its trace $trace" grep -q "\"trace\":\"[^\"]*$trace\"" "$state/downloads.jsonl"
  # Plugged back, the adapter is the same device under the same by-id name.
  local name_before
  name_before=$(cat "$S/by-id" 2>/dev/null)
  replug || check "could not plug $DEV back" false
  "$TOOL" await-there "$DEV" 30000 >/dev/null || check "$DEV did not come back" false
  check "no by-id name $name_before after the adapter came back" [ "$(by_id_of "$DEV" 10)" = "$name_before" ]
  receiver_stop
  verdict unplug-transfer
}
scenario sc_unplug_transfer "usb acm"

# The adapter pulled out while the program calls a receiver that never
# accepts the mode: the terminal face ends, naming the port.
sc_unplug_probe() {
  scenario_dir unplug-probe
  receiver --mode 3 || { verdict unplug-probe; return; }
  PROGRAM_LIMIT=40 program_start
  await_output '"event":"log","text":"[^"]*Native' 60 || check "no mode chosen" false
  # Two probes on the line: the program is calling.
  await_probes 2 || check "no probe went out" false
  watch_vanish || check "cannot watch $DEV" false
  unplug || check "could not take $DEV away" false
  local gone
  gone=$(vanished_at)
  [[ -n $gone ]] || check "$DEV never went away" false
  program_wait 10
  if [[ $program_status == none ]]; then
    check "still running 10 s after the device vanished (stopped by the rig)" false
    kill -TERM "$program_pid" 2>/dev/null
    program_wait 40
  else
    check "status $program_status, not 2" [ "$program_status" = 2 ]
    check "ended $((program_end - gone)) ms after the device vanished, over 3000" [ $((program_end - gone)) -le 3000 ]
    check "no message naming $DEV" grep -q "\"event\":\"message\".*$DEV" "$S/events"
    note "ended $((program_end - gone)) ms after the device vanished"
  fi
  replug || check "could not plug $DEV back" false
  "$TOOL" await-there "$DEV" 30000 >/dev/null || check "$DEV did not come back" false
  receiver_stop
  verdict unplug-probe
}
scenario sc_unplug_probe "usb acm"

# The ports as the program lists them in the guest: ttyS0 (the console) and
# ttyS1 have a UART, ttyS2 and ttyS3 only a device node; the adapter with its
# maker and model as sysfs has them.
sc_list_ports() {
  scenario_dir list-ports
  receiver --mode 3 || { verdict list-ports; return; }
  local out sys maker model
  out=$("$BIN/stb-downloader" --list-ports 2>&1)
  echo "$out" >"$S/list"
  sys=$(usb_device_of "$DEV")
  maker=$(cat "$sys/manufacturer" 2>/dev/null)
  model=$(cat "$sys/product" 2>/dev/null)
  receiver_stop
  check "no /dev/ttyS1" grep -q '^/dev/ttyS1\b' <<<"$out"
  check "lists /dev/ttyS2, which has no UART" lacks "$out" 'ttyS2'
  check "lists /dev/ttyS3, which has no UART" lacks "$out" 'ttyS3' 
  check "no $DEV" grep -q "^$DEV\b" <<<"$out"
  check "no by-id name" grep -q '/dev/serial/by-id/usb-' <<<"$out"
  check "no maker '$maker' and model '$model' for $DEV" grep -q "^$DEV.*$maker.*$model" <<<"$out"
  note "printed: $(tr '\n' '|' <<<"$out")"
  verdict list-ports
}
scenario sc_list_ports "usb acm"

# Another program that holds $DEV open without a lock, as a terminal program
# or a getty does: the program refuses the port naming it, ends with status
# 2 and leaves no lock file; --list-ports notes the port in use.
sc_held_port() {
  scenario_dir held-port
  receiver || { verdict held-port; return; }
  local holder name out lock_dir
  # Without CLOCAL the holder's open would wait for a carrier.
  stty -F "$DEV" clocal 2>/dev/null
  sleep 1000 <"$DEV" &
  holder=$!
  local end=$((SECONDS + 20))
  until [[ $(readlink "/proc/$holder/fd/0" 2>/dev/null) == "$DEV" ]]; do
    ((SECONDS < end)) || break
    nap 0.05
  done
  name=$(cat "/proc/$holder/comm" 2>/dev/null)
  program_start
  program_wait 60
  out=$("$BIN/stb-downloader" --list-ports 2>&1)
  echo "$out" >"$S/list"
  kill "$holder" 2>/dev/null
  wait "$holder" 2>/dev/null
  receiver_stop
  check "status $program_status, not 2" [ "$program_status" = 2 ]
  check "no line naming the holder" \
    grep -qF "$DEV: the port is open in $name (process $holder); close it first" "$S/stderr"
  check "no note of the holder in --list-ports" \
    grep -qF "[in use: open in $name (process $holder)]" <<<"$(grep "^$DEV " <<<"$out")"
  for lock_dir in /run/lock /var/lock; do
    check "a lock file left in $lock_dir" lacks "$(ls "$lock_dir" 2>/dev/null)" 'LCK\.\.'
  done
  note "said: $(grep -o 'the port is open in [^;]*' "$S/stderr" | head -n1)"
  verdict held-port
}
scenario sc_held_port "uart usb acm"

# The window on $DEV in the background, typed its keyword; what it shows in
# $S/window (see rig_faces.cpp), its status in $S/window.exit.
window_start() {
  mkdir -p "$S/home/state"
  (
    cd "$WORKBENCH" || exit 2
    HOME=$S/home XDG_STATE_HOME=$S/home/state timeout -k 5 90 "$BIN/rig-faces" window "$DEV" "$KEYWORD" "$S/window"
    echo "$?" >"$S/window.exit"
  ) >"$S/window.err" 2>&1 &
}

# Takes the device away once the window calls; true once the window's strip
# says it waits for the port.
window_loses_port() {
  await_probes 12 "$S/window" || check "the window sent no probe" false
  unplug || check "could not take $DEV away" false
  local end=$((SECONDS + 20))
  until grep -q '^lost' "$S/window" 2>/dev/null || ((SECONDS >= end)); do nap 0.05; done
  check "the window's strip never said the port was lost" grep -q '^lost .*waiting for it to come back' "$S/window"
}

# The box behind the lane's line switched on: it answers the mode word,
# ends when flashed.
box_switched_on() {
  local identity
  mapfile -t identity < <(receiver_identity)
  receiver_on "$LANE" "${identity[@]}" --save-flash "$S/flash.bin" --exit-when-done >/dev/null ||
    check "the second receiver did not start" false
}

# Waits for the window's end: it must have opened the port again and flashed.
window_flashed() {
  local end=$((SECONDS + 60))
  until [[ -e $S/window.exit ]] || ((SECONDS >= end)); do nap 0.1; done
  check "the window did not open the port again" grep -q '^open' "$S/window"
  check "the window ended with $(cat "$S/window.exit" 2>/dev/null), not 0: $(tail -n1 "$S/window" 2>/dev/null)" \
    [ "$(cat "$S/window.exit" 2>/dev/null)" = 0 ]
}

# The gadget taken away while the window probes, and given back: the window
# says so in its strip, waits, and opens it again by itself; the box then
# answers and is flashed, with no restart.
sc_window_adapter_back() {
  scenario_dir window-back
  receiver --mode 3 || { verdict window-back; return; }
  window_start
  window_loses_port
  receiver_stop
  # The gadget's end, where the box is, comes back only with the gadget.
  replug || check "could not plug $DEV back" false
  box_switched_on
  window_flashed
  receiver_stop
  verdict window-back
}
scenario sc_window_adapter_back "acm"

# The adapter pulled out while the window probes; another adapter (another
# serial number) plugged in meanwhile takes its ttyUSB number, and the first,
# plugged back, comes as the next. The window must open the first again by
# its by-id name, never the newcomer under the old device name, and flash
# the box behind it. The newcomer's box never takes the mode.
sc_window_other_adapter() {
  scenario_dir window-other
  receiver --mode 3 || { verdict window-other; return; }
  local name other='' back=''
  name=$(by_id_of "$DEV" 10) || check "no by-id name for $DEV" false
  window_start
  window_loses_port
  receiver_on other --mode 3 --summary-json "$S/other-summary.json" >/dev/null ||
    check "the other adapter's receiver did not start" false
  replug other || check "could not plug the other adapter in" false
  "$TOOL" await-there "$DEV" 30000 >/dev/null && other=$(by_id_of "$DEV" 10)
  check "the other adapter is not $DEV: ${other:-none}" [ -n "$other" -a "$other" != "$name" ]
  receiver_stop
  box_switched_on
  replug || check "could not plug $DEV back" false
  if [[ -n $name ]] && "$TOOL" await-there "$name" 30000 >/dev/null; then back=$(readlink -f "$name"); fi
  check "the first adapter came back as ${back:-nothing}, not another device" [ -n "$back" -a "$back" != "$DEV" ]
  window_flashed
  local sent
  sent=$("$TOOL" await-sent "$DEV" 1 0 2>&1)
  check "the window sent bytes to the other adapter on $DEV" has "$sent" "0 bytes sent, not 1"
  note "back as $back, $DEV taken by ${other##*/}"
  # As before: the other adapter out, the first under its old number again.
  unplug other || check "could not take the other adapter out" false
  RX_LANE=other receiver_stop
  receiver_stop
  unplug || check "could not take $back out" false
  replug || check "could not plug $DEV back" false
  verdict window-other
}
scenario sc_window_other_adapter "usb"

# The window started on a port that is not there: the operator opens the
# strip's list (F4), which names the lane's device as its driver lists it,
# and chooses it; the box behind it is flashed, and the choice remembered
# for the next start.
sc_window_choose() {
  scenario_dir window-choose
  receiver || { verdict window-choose; return; }
  mkdir -p "$S/home/state" "$S/home/config"
  (
    cd "$WORKBENCH" || exit 2
    HOME=$S/home XDG_STATE_HOME=$S/home/state XDG_CONFIG_HOME=$S/home/config timeout -k 5 90 \
      "$BIN/rig-faces" window-choose /dev/ttyRIGNONE "$DEV" "$KEYWORD" "$S/window"
    echo "$?" >"$S/window.exit"
  ) >"$S/window.err" 2>&1
  receiver_stop
  local listed
  listed=$(grep -m1 '^list ' "$S/window" 2>/dev/null)
  check "the list does not name $DEV: ${listed:-no list}" grep -q "^list \(.* | \)\?$DEV" "$S/window"
  check "the window ended with $(cat "$S/window.exit" 2>/dev/null), not 0: $(tail -n1 "$S/window" 2>/dev/null)" \
    [ "$(cat "$S/window.exit" 2>/dev/null)" = 0 ]
  check "$DEV is not remembered" grep -qx "port=$DEV" "$S/home/config/stb-downloader/stb-downloader.ini"
  note "listed: ${listed#list }"
  verdict window-choose
}
scenario sc_window_choose "uart usb acm"

# The bench with a row on each driver, the USB adapter pulled out while its
# box takes blocks: that row fails, the other goes on to flash its box.
sc_bench_row_pulled() {
  scenario_dir bench
  RX_LANE=uart receiver --pace || { verdict bench; return; }
  RX_LANE=usb receiver --pace || { verdict bench; return; }
  mkdir -p "$S/home/state"
  unplug_at "$S/usb-progress" 65536
  (
    cd "$WORKBENCH" || exit 2
    HOME=$S/home XDG_STATE_HOME=$S/home/state timeout -k 5 120 "$BIN/rig-faces" bench "$BIN/stb-downloader-cli" \
      "$KEYWORD" "$S/rows" "$S/usb-progress" "$DEV_UART" "$DEV_USB"
    echo "$?" >"$S/bench.exit"
  ) >"$S/bench.err" 2>&1
  check "the $DEV_UART row did not pass: $(grep "^$DEV_UART " "$S/rows")" grep -q "^$DEV_UART ok OK" "$S/rows"
  check "the $DEV_USB row did not fail: $(grep "^$DEV_USB " "$S/rows")" grep -q "^$DEV_USB failed " "$S/rows"
  check "the bench ended with $(cat "$S/bench.exit" 2>/dev/null), not 1" [ "$(cat "$S/bench.exit" 2>/dev/null)" = 1 ]
  check "not one record of each" [ "$(grep -v '"result":"running"' "$S/home/state/stb-downloader/downloads.jsonl" 2>/dev/null | grep -c '"result"')" = 2 ]
  note "rows: $(tr '\n' '|' <"$S/rows" 2>/dev/null)"
  replug || check "could not plug $DEV back" false
  RX_LANE=uart receiver_stop
  RX_LANE=usb receiver_stop
  verdict bench
}
scenario sc_bench_row_pulled "pair"

