#!/bin/busybox sh
# The kernel's hotplug helper in the guest, in udev's stead: keeps the
# /dev/serial/by-id names of USB serial ports the way udev spells them
# (usb-<maker>_<model>_<serial>-if<NN>-port0 for a usb-serial adapter,
# without -port0 for a CDC-ACM one).
[ "$SUBSYSTEM" = tty ] || exit 0
case $DEVNAME in
  ttyUSB*) up=../../.. port=-port0 ;;
  ttyACM*) up=../.. port='' ;;
  *) exit 0 ;;
esac
export PATH=/bin
byid=/dev/serial/by-id

if [ "$ACTION" = remove ]; then
  for link in "$byid"/*; do
    [ -L "$link" ] && [ "$(readlink "$link")" = "../../$DEVNAME" ] && rm -f "$link"
  done
  exit 0
fi
[ "$ACTION" = add ] || exit 0

# .../1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0: the interface is three up, the device
# four; .../1-1/1-1:2.0/tty/ttyACM0: two and three.
node=/sys$DEVPATH
interface=$(cd "$node/$up" && pwd -P)
device=$(cd "$interface/.." && pwd -P)
clean() { tr -c 'A-Za-z0-9#+.:=@_\n-' '_' | sed 's/__*/_/g; s/^_//; s/_$//'; }
maker=$(clean <"$device/manufacturer" 2>/dev/null)
model=$(clean <"$device/product" 2>/dev/null)
serial=$(clean <"$device/serial" 2>/dev/null)
number=$(cat "$interface/bInterfaceNumber" 2>/dev/null)
name=usb-${maker}_${model}${serial:+_$serial}-if${number:-00}$port
mkdir -p "$byid"
ln -sfn "../../$DEVNAME" "$byid/$name"
