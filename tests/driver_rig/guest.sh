#!/bin/bash
# The rig's guest side, run by the guest's /init in the host's root:
#   guest.sh SHARED
# Runs the lanes side by side, then the pair scenarios; every verdict goes
# into SHARED/results/LANE; SHARED/guest.done tells the host it is over.
SHARED=$1
# shellcheck source=/dev/null
source "$SHARED/rig.env"
here=$(dirname "${BASH_SOURCE[0]}")
source "$here/guest-lib.sh"
source "$here/scenarios.sh"
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export QT_QPA_PLATFORM=offscreen LANG=C.UTF-8
DEV_UART=/dev/ttyS1
DEV_USB=/dev/ttyUSB0

wanted() { [[ -z $ONLY ]] || [[ " $ONLY " == *" $1 "* ]]; }

run_lane() {
  LANE=$1
  DEV=$2
  local entry name lanes
  for entry in "${scenarios[@]}"; do
    read -r name lanes <<<"$entry"
    [[ " $lanes " == *" $LANE "* ]] && wanted "$name" || continue
    echo "$(cut -d' ' -f1 /proc/uptime) $LANE: $name"
    "$name"
    printf 'DONE\t%s\t%s\n' "$name" "$LANE" >>"$SHARED/results/$LANE"
  done
}

mkdir -p "$SHARED/results"
echo "guest side up at $(cut -d' ' -f1 /proc/uptime) s"
for entry in "${scenarios[@]}"; do
  read -r name lanes <<<"$entry"
  wanted "$name" && for lane in $lanes; do echo "$lane $name"; done
done >"$SHARED/plan"

run_lane uart "$DEV_UART" &
run_lane usb "$DEV_USB" &
wait
run_lane pair "$DEV_UART"
echo "guest side done at $(cut -d' ' -f1 /proc/uptime) s"
touch "$SHARED/guest.done"
