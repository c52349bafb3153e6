#!/bin/bash
# The rig's guest side, run by the guest's /init in the host's root:
#   guest.sh SHARED
# Runs two lanes at a time, then the pair scenarios; every verdict goes
# into SHARED/results/LANE; SHARED/guest.done tells the host it is over.
SHARED=$1
# shellcheck source=/dev/null
source "$SHARED/rig.env"
here=$(dirname "${BASH_SOURCE[0]}")
source "$here/receiver-lib.sh"
source "$here/guest-lib.sh"
source "$here/scenarios.sh"
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export QT_QPA_PLATFORM=offscreen LANG=C.UTF-8
DEV_UART=/dev/ttyS1
DEV_USB=/dev/ttyUSB0
DEV_ACM=/dev/ttyACM0
# The CDC-ACM lane's far end: the gadget's own tty, where its receiver runs.
GADGET_END=/dev/ttyGS0
RX_STATE=/run/rig-receivers
mkdir -p "$RX_STATE"

# ONLY: the scenario functions and the lanes asked for; none of one kind
# means all of that kind.
only_lanes='' only_names=''
for word in $ONLY; do
  case $word in
    uart | usb | acm | pair) only_lanes+=" $word" ;;
    *) only_names+=" $word" ;;
  esac
done
wanted() { # wanted NAME LANE
  { [[ -z $only_names ]] || [[ "$only_names " == *" $1 "* ]]; } &&
    { [[ -z $only_lanes ]] || [[ "$only_lanes " == *" $2 "* ]]; }
}

run_lane() {
  LANE=$1
  DEV=$2
  local entry name lanes
  for entry in "${scenarios[@]}"; do
    read -r name lanes <<<"$entry"
    [[ " $lanes " == *" $LANE "* ]] && wanted "$name" "$LANE" || continue
    echo "$(cut -d' ' -f1 /proc/uptime) $LANE: $name"
    "$name"
    printf 'DONE\t%s\t%s\n' "$name" "$LANE" >>"$SHARED/results/$LANE"
  done
}

mkdir -p "$SHARED/results"
echo "guest side up at $(cut -d' ' -f1 /proc/uptime) s"
for entry in "${scenarios[@]}"; do
  read -r name lanes <<<"$entry"
  for lane in $lanes; do wanted "$name" "$lane" && echo "$lane $name"; done
done >"$SHARED/plan"

# Two lanes at a time, as the guest has two processors: the acm lane, whose
# receiver runs here too, after the uart lane, whose scenarios are few. The
# pair after all: its paced rows need the guest to themselves (beside the
# acm lane the 8250 row's replies came late enough to break a block).
{
  run_lane uart "$DEV_UART"
  run_lane acm "$DEV_ACM"
} &
run_lane usb "$DEV_USB" &
wait
run_lane pair "$DEV_UART"
echo "guest side done at $(cut -d' ' -f1 /proc/uptime) s"
touch "$SHARED/guest.done"
