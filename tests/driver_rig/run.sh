#!/usr/bin/env bash
# The driver rig: the real program in a small Linux guest under QEMU, on the
# kernel's own serial drivers, the simulated receiver on the host's end of
# each line.
#   tests/driver_rig/run.sh BUILD_DIR [SCENARIO_FUNCTION...] [LANE...]
# The guest: Debian's kernel (make-guest.sh, cached in BUILD_DIR/driver-rig),
# a busybox initramfs, the host's root read-only over 9p (so the guest runs
# BUILD_DIR's programs with this machine's libraries; the checkout and the
# build folder are shown to it even where its own /tmp covers them) and a
# shared folder. Its lines: an emulated 16550A (/dev/ttyS1, the 8250 driver)
# and QEMU's FTDI adapter on an xHCI controller (/dev/ttyUSB0, ftdi_sio),
# both on host ptys, and a USB gadget made in the guest (/dev/ttyACM0,
# cdc_acm; its receiver runs in the guest). The monitor (QMP) pulls the
# adapter out and plugs it back, or plugs another one in.
# elsewhere.sh runs it from a copy of the checkout under /tmp, as
# scripts/test.sh does.
#
# The scenarios run in the guest (scenarios.sh); this side answers their
# requests (start or stop a receiver, unplug, replug, act on a program's
# progress), then prints one line per scenario and driver. Exit status 0 only
# when every scenario passed; a rig that cannot start fails.
# RIG_ACCEL=kvm|tcg forces the accelerator; otherwise KVM is tried once per
# build folder and TCG taken where it does not boot.
set -euo pipefail
# Physical paths: the guest sees the host's folders as they are, not its links.
here=$(cd "$(dirname "$0")" && pwd -P)
root=$(cd "$here/../.." && pwd -P)
say() { printf 'driver rig: %s\n' "$*"; }
die() { say "FAILED: $*" >&2; exit 1; }

[[ $# -ge 1 ]] || die "usage: tests/driver_rig/run.sh BUILD_DIR [SCENARIO_FUNCTION...]"
build=$(cd "$1" 2>/dev/null && pwd -P) || die "no build folder $1"
shift
only="$*"
bin=$build/bin
tool=$bin/driver-rig-tool
rig=$build/driver-rig
qemu=qemu-system-x86_64

command -v $qemu >/dev/null || die "$qemu is missing (scripts/setup.sh installs qemu-system-x86): the rig cannot run"
for program in stb-downloader stb-downloader-cli stb-receiver-sim; do
  [[ -x $bin/$program ]] || die "no $bin/$program: build first"
done
[[ -x $tool ]] || cmake --build "$build" --target driver-rig-tool >/dev/null || die "cannot build driver-rig-tool"

started=$SECONDS
mapfile -t guest < <("$here/make-guest.sh" "$rig/guest") || true
[[ ${#guest[@]} -eq 2 && -f ${guest[0]} && -f ${guest[1]} ]] || die "the guest could not be made"

run=$rig/run
shared=$run/shared
rm -rf "$run"
mkdir -p "$shared/req" "$shared/ack" "$shared/results" "$run/host"
# The monitor's socket path must be short.
sock_dir=$(mktemp -d /tmp/driver-rig.XXXXXX)
qmp=$sock_dir/qmp
"$root/scripts/workbench.sh" "$shared/workbench" >/dev/null
cat >"$shared/rig.env" <<EOF
BIN=$bin
TOOL=$tool
WORKBENCH=$shared/workbench
KEYWORD='W4n!Rk'
ONLY='$only'
EOF

qemu_pid=''
cleanup() {
  local pidfile pid
  # Only what this run started, each by its own id.
  for pidfile in "$run"/host/*.pid; do
    [[ -f $pidfile ]] && pid=$(cat "$pidfile") && [[ -n $pid ]] && kill -TERM "$pid" 2>/dev/null || true
  done
  [[ -n $qemu_pid ]] && kill -TERM "$qemu_pid" 2>/dev/null || true
  for pid in $(jobs -p); do kill -TERM "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$sock_dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- the guest ---------------------------------------------------------------------
# The adapter keeps its socket and its serial number when plugged back, as a
# real one does: the same /dev/serial/by-id name. The other adapter, with a
# serial number of its own, is plugged in only while the first is out (its
# line is there from the start, for its receiver).
declare -A adapter=(
  [ftdi]=chardev=usbser,id=ftdi,bus=xhci.0,port=1,serial=RIG00001
  [other]=chardev=usbser2,id=other,bus=xhci.0,port=2,serial=RIG00002
)
# boot ACCEL BOUND: true once the guest's first process is up within BOUND s.
boot() {
  local accel=$1 bound=$2
  rm -f "$shared/guest.up" "$qmp"
  $qemu -machine q35,accel="$accel" -smp 2 -m 1024 -display none -vga none -monitor none -nic none -no-reboot \
    -kernel "${guest[0]}" -initrd "${guest[1]}" \
    -append "console=ttyS0 panic=-1 quiet rigshared=$shared rigscript=$here/guest.sh righost=$root:$build" \
    -serial file:"$run/host/console.log" \
    -chardev pty,id=uart1 -serial chardev:uart1 \
    -device qemu-xhci,id=xhci -chardev pty,id=usbser -device "usb-serial,${adapter[ftdi]}" -chardev pty,id=usbser2 \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
    -virtfs local,path="$shared",mount_tag=shared,security_model=none \
    -qmp unix:"$qmp",server=on,wait=off >"$run/host/qemu.out" 2>&1 &
  qemu_pid=$!
  local end=$((SECONDS + bound))
  until [[ -e $shared/guest.up ]]; do
    if ! kill -0 "$qemu_pid" 2>/dev/null || ((SECONDS >= end)); then
      kill -TERM "$qemu_pid" 2>/dev/null || true
      wait "$qemu_pid" 2>/dev/null || true
      qemu_pid=''
      return 1
    fi
    sleep 0.05
  done
}

accel=${RIG_ACCEL:-}
verdict_file=$rig/kvm-verdict
if [[ -z $accel ]]; then
  accel=tcg
  if [[ -r /dev/kvm && -w /dev/kvm && $(cat "$verdict_file" 2>/dev/null) != "no $(uname -r)" ]]; then
    if boot kvm 15; then
      accel=kvm
    else
      echo "no $(uname -r)" >"$verdict_file"
    fi
  fi
fi
if [[ -z $qemu_pid ]]; then
  boot "$accel" 90 || die "the guest did not come up under $accel within 90 s (see $run/host/console.log, $run/host/qemu.out)"
fi
if [[ $accel == kvm ]]; then
  say "accelerator: KVM"
elif [[ -n ${RIG_ACCEL:-} ]]; then
  say "accelerator: TCG (asked for)"
else
  say "accelerator: TCG (KVM does not boot a guest on this machine)"
fi
say "guest up in $(cat "$shared/guest.up") s of its own time"

declare -A pty
for label in uart1 usbser usbser2; do
  pty[$label]=$(sed -n "s,^char device redirected to \(/dev/pts/[0-9]*\) (label $label).*,\1,p" "$run/host/qemu.out")
  [[ -n ${pty[$label]} ]] || die "QEMU named no pty for $label"
done
declare -A line_of=([uart]=${pty[uart1]} [usb]=${pty[usbser]} [other]=${pty[usbser2]})

# --- the host's answers --------------------------------------------------------------------
monitor() { flock "$run/host/qmp.lock" "$tool" qmp "$qmp" "$@"; }

source "$here/receiver-lib.sh"
receiver_start() {
  local lane=$1
  shift
  rx_start "$run/host" "$lane" "$bin/stb-receiver-sim" "${line_of[$lane]}" "$@"
}
receiver_stop() { rx_stop "$run/host" "$1"; }

# unplug [ADAPTER] / replug [ADAPTER]: ftdi (the lane's own) or other.
unplug() { monitor --event DEVICE_DELETED "{\"execute\":\"device_del\",\"arguments\":{\"id\":\"${1:-ftdi}\"}}" >/dev/null 2>&1; }
replug() {
  local args='' pair
  for pair in ${adapter[${1:-ftdi}]//,/ }; do args+=",\"${pair%%=*}\":\"${pair#*=}\""; done
  monitor "{\"execute\":\"device_add\",\"arguments\":{\"driver\":\"usb-serial\"$args}}" >/dev/null 2>&1
}

# Waits for a program's --json output to report BYTES sent, then acts.
on_progress() {
  local file=$1 bytes=$2 seen
  shift 2
  if seen=$("$tool" await-progress "$file" "$bytes" 120000); then
    echo "$(date +%T.%N) at $seen bytes: $*" >>"$run/host/actions.log"
    act "$@"
  else
    echo "$(date +%T.%N) never reached $bytes bytes in $file: $* not done" >>"$run/host/actions.log"
  fi
}

act() {
  local action=$1
  shift
  case $action in
    receiver) receiver_start "$@" ;;
    receiver-stop) receiver_stop "$@" ;;
    unplug) unplug "$@" ;;
    replug) replug "$@" ;;
    on-progress)
      on_progress "$@" </dev/null >/dev/null 2>&1 &
      echo $! >"$run/host/watch-$!.pid"
      ;;
    *) echo "no such action: $action"; return 2 ;;
  esac
}

serve() {
  local id=$1 words status
  read -r -a words <"$shared/req/$id.req"
  echo "$(date +%T.%N) $id: ${words[*]}" >>"$run/host/actions.log"
  act "${words[@]}" >"$run/host/$id.out" 2>&1 && status=0 || status=$?
  { echo "$status"; cat "$run/host/$id.out"; } >"$shared/ack/.$id.tmp"
  mv "$shared/ack/.$id.tmp" "$shared/ack/$id.ack"
}

declare -A served
deadline=$((SECONDS + ${RIG_LIMIT:-420}))
outcome=ok
while [[ ! -e $shared/guest.done ]]; do
  if ! kill -0 "$qemu_pid" 2>/dev/null; then
    outcome="the guest stopped before its scenarios ended"
    break
  fi
  if ((SECONDS >= deadline)); then
    outcome="the scenarios did not end within ${RIG_LIMIT:-420} s"
    break
  fi
  for req in "$shared"/req/*.req; do
    [[ -e $req ]] || continue
    id=$(basename "$req" .req)
    [[ -n ${served[$id]:-} ]] && continue
    served[$id]=1
    serve "$id" &
  done
  sleep 0.05
done
# The guest powers itself off once its side has ended.
end=$((SECONDS + 30))
while kill -0 "$qemu_pid" 2>/dev/null && ((SECONDS < end)); do sleep 0.1; done
kill -TERM "$qemu_pid" 2>/dev/null || true
for lane in uart usb other; do receiver_stop "$lane" >/dev/null; done

# --- the verdicts ---------------------------------------------------------------------------
declare -A driver=([uart]="8250 /dev/ttyS1" [usb]="ftdi_sio /dev/ttyUSB0" [acm]="cdc_acm /dev/ttyACM0" [pair]="both")
failures=0 passes=0
for lane in uart usb acm pair; do
  [[ -f $shared/results/$lane ]] || continue
  while IFS=$'\t' read -r result name l details; do
    [[ $result == DONE ]] && continue
    printf 'driver rig: %-4s %-16s %-22s %s\n' "$result" "$name" "${driver[$l]}" "$details"
    if [[ $result == PASS ]]; then passes=$((passes + 1)); else failures=$((failures + 1)); fi
  done <"$shared/results/$lane"
done
# A scenario that never finished has no DONE line: it failed.
if [[ -f $shared/plan ]]; then
  while read -r lane name; do
    grep -q "^DONE	$name	$lane\$" "$shared/results/$lane" 2>/dev/null && continue
    printf 'driver rig: %-4s %-16s %-22s %s\n' FAIL "$name" "${driver[$lane]}" "did not finish"
    failures=$((failures + 1))
  done <"$shared/plan"
else
  outcome="the guest side never started (see $shared/guest.out)"
fi
if [[ $outcome != ok ]]; then
  say "FAILED: $outcome (guest: $shared/guest.out; console: $run/host/console.log)"
  failures=$((failures + 1))
fi
((passes + failures > 0)) || { say "FAILED: no scenario ran"; failures=1; }
say "$passes passed, $failures failed in $((SECONDS - started)) s ($accel; files in $run)"
((failures == 0))
