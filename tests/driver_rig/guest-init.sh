#!/bin/busybox sh
# The guest's first process. Loads the rig's modules, mounts the host's root
# (read-only) and the rig's shared folder over 9p, then runs the rig's guest
# side in the host's root, so that the guest runs the host's own binaries
# with the host's own libraries. Powers off when that ends, whatever happened.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

say() { echo "rig-guest: $*" >/dev/console; }
halt() { sync; poweroff -f; echo o >/proc/sysrq-trigger; sleep 60; }

# One module a line, with its parameters.
while read -r m params; do
  insmod "/modules/$m" $params || say "insmod $m failed"
done </modules/order
# No udev here: busybox's listener on the kernel's events keeps
# /dev/serial/by-id, for the adapters that are there now and that come later.
uevent /bin/rig-hotplug &
for tty in /sys/class/tty/ttyUSB* /sys/class/tty/ttyACM*; do
  [ -e "$tty" ] && ACTION=add SUBSYSTEM=tty DEVNAME=${tty##*/} DEVPATH=$(cd "$tty" && pwd -P | sed 's,^/sys,,') /bin/rig-hotplug
done

shared='' script='' paths=''
for word in $(cat /proc/cmdline); do
  case $word in
    rigshared=*) shared=${word#rigshared=} ;;
    rigscript=*) script=${word#rigscript=} ;;
    righost=*) paths=${word#righost=} ;;
  esac
done
[ -n "$shared" ] && [ -n "$script" ] || { say "no rigshared= or rigscript= on the command line"; halt; }

# The host's files change under a loose cache only if someone rebuilds during
# the run; the shared folder is read through, for the host's answers.
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=262144 hostroot /host || { say "no host root"; halt; }
# The host's root once more, uncovered: the guest's own /tmp and /run below
# hide the host's, where a checkout or a build folder may be.
mkdir -p /hostraw
mount --bind /host /hostraw
mount -t proc proc /host/proc
mount -t sysfs sysfs /host/sys
mount -t devtmpfs devtmpfs /host/dev
# What udev would add: bash's process substitution needs /dev/fd.
ln -sf /proc/self/fd /dev/fd
ln -sf /proc/self/fd/0 /dev/stdin
ln -sf /proc/self/fd/1 /dev/stdout
ln -sf /proc/self/fd/2 /dev/stderr
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /host/dev/pts
mount -t tmpfs tmpfs /host/dev/shm
mount -t tmpfs tmpfs /host/tmp
mount -t tmpfs tmpfs /host/run
# The host's folders the rig runs from (its checkout, its build folder), each
# shown at its own path where the guest's scratch folders covered it.
for path in $(echo "$paths" | tr ':' ' '); do
  [ -e "/host$path" ] && continue
  mkdir -p "/host$path" && mount --bind "/hostraw$path" "/host$path" || say "cannot show the host's $path"
done
mkdir -p "/host$shared" 2>/dev/null
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 shared "/host$shared" || { say "no shared folder"; halt; }

say "up after $(cut -d' ' -f1 /proc/uptime) s; running $script"
cut -d" " -f1 /proc/uptime >"/host$shared/.guest.up" && mv "/host$shared/.guest.up" "/host$shared/guest.up"
chroot /host /bin/bash "$script" "$shared" </dev/null >"/host$shared/guest.out" 2>&1
say "guest side ended with status $?"
halt
