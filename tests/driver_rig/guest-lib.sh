# What the rig's scenarios use in the guest (sourced by guest.sh, bash).
#
# A lane is one port and its receiver: "uart" is /dev/ttyS1 on the 8250
# driver, "usb" is /dev/ttyUSB0 on ftdi_sio, "acm" is /dev/ttyACM0 on
# cdc_acm (a USB gadget made in this guest, its receiver on the gadget's end
# /dev/ttyGS0, here). Two lanes run side by side, each its scenarios one
# after the other; scenarios of the lane "pair" run after all, with the
# uart and usb ports (for the bench's several rows).
#
# Everything a scenario leaves (the program's stamped output, the receiver's
# summary and flash, the home folder) is in $S, its folder in the shared
# folder, which the host sees under the same path.

# --- asking the host ------------------------------------------------------------
# rig_host ACTION ARGS...  asks the host and waits for its answer (its
# output on stdout, its status as the status). The actions:
#   receiver LANE DIR SIM-ARGS...   (re)starts the simulated receiver on the
#                                   lane's line, output in DIR/sim.out
#   receiver-stop LANE              stops it (it writes its summary and flash);
#                                   prints its exit status
#   unplug / replug [ADAPTER]       pulls a USB adapter out / plugs it back:
#                                   ftdi (the lane's own, the default) or
#                                   other (another serial number; its
#                                   receiver's lane is "other")
#   on-progress FILE BYTES ACTION...
#                                   the host does ACTION once FILE (a program's
#                                   --json output) reports BYTES sent
rig_seq=0
rig_host() {
  rig_seq=$((rig_seq + 1))
  local id=${LANE:-main}-$BASHPID-$rig_seq
  local req=$SHARED/req/$id.req ack=$SHARED/ack/$id.ack
  printf '%s\n' "$*" >"$req.tmp"
  mv "$req.tmp" "$req"
  local end=$((SECONDS + ${RIG_HOST_WAIT:-60}))
  until [[ -e $ack ]]; do
    if ((SECONDS >= end)); then
      echo "the host did not answer '$*'" >&2
      return 99
    fi
    nap 0.05
  done
  local status
  { read -r status; cat; } <"$ack"
  return "$status"
}

now_ms() { "$TOOL" now; }

# --- results ---------------------------------------------------------------------
# Checks are gathered per verdict; verdict NAME ends one and writes its line.
rig_fails=()
rig_notes=()
check() { # check WHAT COMMAND... : WHAT is the failure's text when COMMAND fails
  local what=$1
  shift
  "$@" || rig_fails+=("$what")
}
note() { rig_notes+=("$*"); }
# has TEXT WORDS / lacks TEXT PATTERN: for checks on a program's printed
# words. Without a new process: in the guest each one costs a good part of a
# second when the other lane is busy.
has() {
  local text=" ${1//[$'\n';]/ } "
  [[ $text == *" $2 "* ]]
}
lacks() { ! grep -qE -- "$2" <<<"$1"; }
join_notes() {
  local all
  all=$(printf '%s, ' "${rig_notes[@]}")
  echo "${all%, }"
}
verdict() {
  local name=$1 outcome=PASS details
  ((${#rig_fails[@]} == 0)) || outcome=FAIL
  if ((${#rig_fails[@]})); then
    details=$(printf '%s; ' "${rig_fails[@]}")
    details=${details%; }
    ((${#rig_notes[@]})) && details+=" | $(join_notes)"
  else
    details=$(join_notes)
  fi
  printf '%s\t%s\t%s\t%s\n' "$outcome" "$name" "$LANE" "$details" >>"$SHARED/results/$LANE"
  rig_fails=()
  rig_notes=()
}

# --- the receiver ------------------------------------------------------------------
# The receiver's identity is the one inc/native.inc describes, as scripts/run.sh does it.
receiver_identity() {
  local line
  mapfile -t line < <(tr -d '\r' <"$WORKBENCH/inc/native.inc")
  printf '%s\n' --mode 2 --oui "${line[0]:2:4}" --model "${line[1]:0:2}.${line[1]:3:2}" \
    --hw "${line[2]:0:2}.${line[2]:3:2}" --bl "${line[3]:0:2}.${line[3]:3:2}" --native 03.00 \
    --address "${line[11]:2:8}"
}

# receiver SIM-ARGS... : the receiver for this lane with the workbench's
# identity (later options win), its summary and flash in $S; on a USB lane
# it also waits for the device (QEMU attaches its adapter once someone is on
# its line; the gadget's port comes after its enumeration). RX_LANE=uart|usb
# picks the line in a pair scenario; the files are then $S/LANE-flash.bin and
# $S/LANE-summary.json.
receiver() {
  local lane=${RX_LANE:-$LANE} prefix='' identity
  [[ $lane == "$LANE" ]] || prefix=$lane-
  mapfile -t identity < <(receiver_identity)
  receiver_on "$lane" "${identity[@]}" --save-flash "$S/${prefix}flash.bin" \
    --summary-json "$S/${prefix}summary.json" "$@" >/dev/null ||
    { rig_fails+=("the receiver on $lane did not start"); return 1; }
  local dev
  dev=$(dev_of "$lane")
  if [[ $lane != uart ]]; then
    "$TOOL" await-there "$dev" 30000 >/dev/null || { rig_fails+=("$dev did not appear"); return 1; }
  fi
}

dev_of() {
  case $1 in
    uart) echo "$DEV_UART" ;;
    usb) echo "$DEV_USB" ;;
    acm) echo "$DEV_ACM" ;;
  esac
}

# receiver_on LANE SIM-ARGS... : the receiver on LANE's far end, its output
# in $S: the host's pty, or for the acm lane the gadget's end here, once the
# gadget is there. That end goes with the gadget, and the gadget cannot go
# while its end is held open (the unbind waits for the last close): there
# the receiver ends when its line hangs up.
receiver_on() {
  local lane=$1
  shift
  if [[ $lane == acm ]]; then
    "$TOOL" await-there "$GADGET_END" 30000 >/dev/null || { echo "no $GADGET_END"; return 1; }
    rx_start "$RX_STATE" acm "$BIN/stb-receiver-sim" "$GADGET_END" "$S" "$@" --exit-when-done
  else
    rig_host receiver "$lane" "$S" "$@"
  fi
}

# Stops the receiver (RX_LANE as above); its exit status in $receiver_status.
receiver_stop() {
  local lane=${RX_LANE:-$LANE}
  if [[ $lane == acm ]]; then
    receiver_status=$(rx_stop "$RX_STATE" acm)
  else
    receiver_status=$(rig_host receiver-stop "$lane") || receiver_status=unknown
  fi
}

# --- the device going and coming back ------------------------------------------------
# unplug / replug : this lane's device taken away and given back. The host
# pulls QEMU's FTDI adapter out; on the acm lane the guest unbinds the dummy
# UDC from its driver, which takes the gadget off the bus as a pulled cable
# would (its end, /dev/ttyGS0, goes too, and comes back with it). The unbind
# was once seen to block while the gadget's end was held open by a process
# that never read it: the receiver there always reads.
UDC=dummy_udc.0
unplug() {
  if [[ $LANE == acm ]]; then
    sysfs_write /sys/bus/platform/drivers/dummy_udc/unbind "$UDC" 20
  else
    rig_host unplug "$@" >/dev/null
  fi
}
replug() {
  if [[ $LANE == acm ]]; then
    # After an unplug done in the background, once it has ended.
    local end=$((SECONDS + 20))
    while [[ -e /sys/bus/platform/drivers/dummy_udc/$UDC ]]; do
      ((SECONDS < end)) || { echo "the gadget's unbind did not end" >&2; return 1; }
      nap 0.05
    done
    sysfs_write /sys/bus/platform/drivers/dummy_udc/bind "$UDC" 20
  else
    rig_host replug "$@" >/dev/null
  fi
}
# sysfs_write FILE VALUE SECONDS : writes VALUE into FILE; false when the
# kernel has not taken it within SECONDS (the writer is left blocked, the
# scenario goes on and fails).
sysfs_write() {
  (echo "$2" >"$1") &
  local writer=$! end=$((SECONDS + $3))
  while kill -0 "$writer" 2>/dev/null; do
    ((SECONDS < end)) || { echo "writing $2 into $1 did not end within $3 s" >&2; return 1; }
    nap 0.02
  done
  wait "$writer"
}
# unplug_at FILE BYTES : unplugs once FILE (a program's --json output)
# reports BYTES sent; returns at once.
unplug_at() {
  if [[ $LANE == acm ]]; then
    ("$TOOL" await-progress "$1" "$2" 120000 >/dev/null && unplug) &
  else
    rig_host on-progress "$1" "$2" unplug >/dev/null
  fi
}

# await_probes BYTES [WINDOW-OUT] : until the program on $DEV has sent BYTES
# (the driver's count, TIOCGICOUNT). cdc_acm counts no bytes sent, nor does
# the gadget's end count bytes received: there, a window must have said it
# calls (rig-faces' "calling" in WINDOW-OUT); the terminal face calls as
# soon as it has chosen its mode, which its caller has seen.
await_probes() {
  if [[ $LANE != acm ]]; then
    "$TOOL" await-sent "$DEV" "$1" 20000 >/dev/null
  elif [[ -n ${2:-} ]]; then
    local end=$((SECONDS + 20))
    until grep -q '^calling' "$2" 2>/dev/null; do
      ((SECONDS < end)) || return 1
      nap 0.05
    done
  fi
}

# --- the program -------------------------------------------------------------------------
# program_start [OPTIONS...] : stb-downloader --console --json --port $DEV in
# the workbench, the keyword on its input, a home folder of its own in
# $S/home; every output line stamped on the guest's clock into $S/events and
# $S/stderr, its status and end time into $S/exit. Bounded by PROGRAM_LIMIT s.
program_start() {
  mkdir -p "$S/home/state" "$S/home/config"
  rm -f "$S/exit" "$S/pid"
  (
    cd "$WORKBENCH" || exit 2
    printf '%s\n' "$KEYWORD" |
      HOME=$S/home XDG_STATE_HOME=$S/home/state XDG_CONFIG_HOME=$S/home/config \
        timeout -k 5 "${PROGRAM_LIMIT:-60}" bash -c 'echo $$ >"$0"; exec "$@"' "$S/pid" \
        "$BIN/stb-downloader" --console --json --port "$DEV" "$@" \
        > >("$TOOL" stamp >"$S/events") 2> >("$TOOL" stamp >"$S/stderr")
    status=$?
    echo "$status $("$TOOL" now)" >"$S/exit.tmp"
    mv "$S/exit.tmp" "$S/exit"
  ) &
  program_pid=$!
}

# program_wait SECONDS : waits for the program's end; sets program_status
# (124 when the bound ended it) and program_end (ms).
program_wait() {
  local end=$((SECONDS + $1))
  until [[ -e $S/exit ]]; do
    ((SECONDS < end)) || break
    nap 0.05
  done
  wait "$program_pid" 2>/dev/null || true
  read -r program_status program_end <"$S/exit" 2>/dev/null || { program_status=none program_end=0; }
}

running() { [[ ! -e $S/exit ]]; }

# program_stop : ends the program (SIGTERM) and waits for it.
program_stop() {
  [[ -s $S/pid ]] && kill -TERM "$(cat "$S/pid")" 2>/dev/null
  program_wait 20
}

# await_output PATTERN SECONDS [FILE] : until a line of the program's output matches.
await_output() {
  local end=$((SECONDS + $2)) file=${3:-$S/events}
  until grep -q -- "$1" "$file" 2>/dev/null; do
    ((SECONDS < end)) || return 1
    running || { grep -q -- "$1" "$file" 2>/dev/null; return; }
    nap 0.05
  done
}

# watch_vanish : watches $DEV from now on (in the background, into
# $S/vanish); returns once it watches. vanished_at then gives the guest time
# (ms) the device hung up or its node went, empty when neither came.
watch_vanish() {
  "$TOOL" await-gone "$DEV" 30000 >"$S/vanish" 2>&1 &
  watch_pid=$!
  local end=$((SECONDS + 20))
  until grep -q '^armed' "$S/vanish" 2>/dev/null; do
    ((SECONDS < end)) || return 1
    nap 0.02
  done
}
vanished_at() {
  local end=$((SECONDS + 40))
  until grep -q -E '^[0-9]+ (hangup|gone)$' "$S/vanish" 2>/dev/null; do
    ((SECONDS < end)) && kill -0 "$watch_pid" 2>/dev/null || break
    nap 0.02
  done
  sed -n -E 's/^([0-9]+) (hangup|gone)$/\1/p' "$S/vanish"
}

# by_id_of DEVICE SECONDS : the /dev/serial/by-id name that leads to DEVICE,
# once the hotplug helper has made it.
by_id_of() {
  local end=$((SECONDS + $2)) link
  while ((SECONDS < end)); do
    for link in /dev/serial/by-id/*; do
      [[ -L $link && $(readlink -f "$link") == "$1" ]] && { echo "$link"; return 0; }
    done
    nap 0.05
  done
  return 1
}

# usb_device_of DEVICE : the sysfs folder of the USB device behind a tty
# (where its manufacturer and product are), however deep its driver puts
# the tty.
usb_device_of() {
  local dir
  dir=$(readlink -f "/sys/class/tty/${1#/dev/}/device")
  while [[ -n $dir && $dir != / && ! -e $dir/idVendor ]]; do dir=${dir%/*}; done
  echo "$dir"
}

# stamp_of PATTERN [FILE] : the guest time (ms) of the first output line matching.
stamp_of() { grep -m1 -- "$1" "${2:-$S/events}" 2>/dev/null | cut -d' ' -f1; }

# Every file under the workbench, /tmp, and the scenario's home, with its
# size and time (not under the host's folders the guest shows within its
# own /tmp, where the other lanes write): taken before and after a run, the difference is what it wrote.
files_now() {
  find "$WORKBENCH" /tmp "$S/home" -xdev -type f -printf '%p %s %T@\n' 2>/dev/null | sort
}
files_written() { comm -13 "$S/files.before" <(files_now) | cut -d' ' -f1; }

scenario_dir() {
  S=$SHARED/$LANE/$1
  mkdir -p "$S/home"
  files_now >"$S/files.before"
}
