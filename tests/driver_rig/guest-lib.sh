# What the rig's scenarios use in the guest (sourced by guest.sh, bash).
#
# A lane is one port and its receiver: "uart" is /dev/ttyS1 on the 8250
# driver, "usb" is /dev/ttyUSB0 on ftdi_sio. The lanes run side by side,
# each its scenarios one after the other; scenarios of the lane "pair" run
# after both, with both ports (for the bench's several rows).
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
#   unplug / replug                 pulls the USB adapter out / plugs it back
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
    sleep 0.05
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
# identity (later options win), its summary and flash in $S; on the USB lane
# it also waits for the adapter (QEMU attaches it once someone is on its
# line). RX_LANE=uart|usb picks the line in a pair scenario; the files are
# then $S/LANE-flash.bin and $S/LANE-summary.json.
receiver() {
  local lane=${RX_LANE:-$LANE} prefix='' identity
  [[ $lane == "$LANE" ]] || prefix=$lane-
  mapfile -t identity < <(receiver_identity)
  rig_host receiver "$lane" "$S" "${identity[@]}" --save-flash "$S/${prefix}flash.bin" \
    --summary-json "$S/${prefix}summary.json" "$@" >/dev/null ||
    { rig_fails+=("the receiver on $lane did not start"); return 1; }
  if [[ $lane == usb ]]; then
    "$TOOL" await-there "$DEV_USB" 30000 >/dev/null || { rig_fails+=("$DEV_USB did not appear"); return 1; }
  fi
}

# Stops the receiver (RX_LANE as above); its exit status in $receiver_status.
receiver_stop() {
  receiver_status=$(rig_host receiver-stop "${RX_LANE:-$LANE}") || receiver_status=unknown
}

# --- the program -------------------------------------------------------------------------
# program_start [OPTIONS...] : stb-downloader --console --json --port $DEV in
# the workbench, the keyword on its input, a home folder of its own in
# $S/home; every output line stamped on the guest's clock into $S/events and
# $S/stderr, its status and end time into $S/exit. Bounded by PROGRAM_LIMIT s.
program_start() {
  mkdir -p "$S/home/state" "$S/home/config"
  rm -f "$S/exit"
  (
    cd "$WORKBENCH" || exit 2
    printf '%s\n' "$KEYWORD" |
      HOME=$S/home XDG_STATE_HOME=$S/home/state XDG_CONFIG_HOME=$S/home/config \
        timeout -k 5 "${PROGRAM_LIMIT:-60}" "$BIN/stb-downloader" --console --json --port "$DEV" "$@" \
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
    sleep 0.05
  done
  wait "$program_pid" 2>/dev/null || true
  read -r program_status program_end <"$S/exit" 2>/dev/null || { program_status=none program_end=0; }
}

running() { [[ ! -e $S/exit ]]; }

# await_output PATTERN SECONDS [FILE] : until a line of the program's output matches.
await_output() {
  local end=$((SECONDS + $2)) file=${3:-$S/events}
  until grep -q -- "$1" "$file" 2>/dev/null; do
    ((SECONDS < end)) || return 1
    running || { grep -q -- "$1" "$file" 2>/dev/null; return; }
    sleep 0.05
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
    sleep 0.02
  done
}
vanished_at() {
  local end=$((SECONDS + 40))
  until grep -q -E '^[0-9]+ (hangup|gone)$' "$S/vanish" 2>/dev/null; do
    ((SECONDS < end)) && kill -0 "$watch_pid" 2>/dev/null || break
    sleep 0.02
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
    sleep 0.05
  done
  return 1
}

# stamp_of PATTERN [FILE] : the guest time (ms) of the first output line matching.
stamp_of() { grep -m1 -- "$1" "${2:-$S/events}" 2>/dev/null | cut -d' ' -f1; }

# Every file under the workbench, /tmp, and the scenario's home, with its
# size and time: taken before and after a run, the difference is what it wrote.
files_now() {
  find "$WORKBENCH" /tmp "$S/home" -type f -printf '%p %s %T@\n' 2>/dev/null | sort
}
files_written() { comm -13 "$S/files.before" <(files_now) | cut -d' ' -f1; }

scenario_dir() {
  S=$SHARED/$LANE/$1
  mkdir -p "$S/home"
  files_now >"$S/files.before"
}
