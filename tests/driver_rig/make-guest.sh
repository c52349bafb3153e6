#!/usr/bin/env bash
# Makes the rig's guest in DIR: Debian's own kernel (fetched with apt-get
# download and unpacked with dpkg -x, never installed on this machine) and a
# busybox initramfs holding the modules the rig needs. Cached: the kernel
# package is fetched once per version, the initramfs is made again only when
# its inputs change.
#   tests/driver_rig/make-guest.sh DIR     prints DIR/vmlinuz and DIR/initramfs.gz
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=$1
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
say() { printf 'driver rig: %s\n' "$*" >&2; }
die() { say "$*"; exit 1; }

# The modules behind the 9p shares, the xHCI controller and the FTDI adapter,
# and a CDC-ACM port made in the guest itself: a USB gadget (g_serial, its
# end /dev/ttyGS0) on the dummy host controller, seen by the cdc_acm driver
# (/dev/ttyACM0). What they need in turn comes from modules.dep; g_serial
# finds its ACM function by name, so that one is named here.
wanted=(9p 9pnet_virtio virtio_pci xhci_pci ftdi_sio dummy_hcd usb_f_acm g_serial cdc_acm)
# A serial number, as real adapters have, gives the port a by-id name.
declare -A params=([g_serial]="iSerialNumber=RIGACM01")

for tool in busybox cpio depmod dpkg apt-get; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/setup.sh installs it)"
done
dpkg-query -W -f='${Status}' busybox-static 2>/dev/null | grep -q "install ok installed" ||
  die "busybox-static is missing: the initramfs needs a busybox that stands alone (scripts/setup.sh installs it)"
busybox=/bin/busybox

# The versioned image the meta package stands for today; the cloud kernel
# has no USB serial drivers.
package=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -n1)
if [[ -z $package ]]; then
  apt-get update -qq >&2 || true
  package=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -n1)
fi
[[ -n $package ]] || die "apt-cache names no kernel behind linux-image-amd64"
version=${package#linux-image-}
kernel=$dir/kernel-$version
if [[ ! -f $kernel/.unpacked ]]; then
  say "fetching $package (apt-get download, unpacked with dpkg -x)"
  rm -rf "$kernel" "$dir"/download
  mkdir -p "$dir/download"
  if ! (cd "$dir/download" && apt-get download -o APT::Sandbox::User=root "$package" >&2); then
    apt-get update -qq >&2
    (cd "$dir/download" && apt-get download -o APT::Sandbox::User=root "$package" >&2) || die "apt-get download $package failed"
  fi
  dpkg -x "$dir"/download/*.deb "$kernel"
  # The package leaves modules.dep to the installing machine.
  depmod -b "$kernel" "$version"
  rm -rf "$dir/download"
  touch "$kernel/.unpacked"
fi
modules=$kernel/lib/modules/$version
[[ -f $kernel/boot/vmlinuz-$version && -f $modules/modules.dep ]] || die "the unpacked kernel $kernel is incomplete"

# Each wanted module after what it depends on, each once.
declare -A seen=() param_of=()
order=()
add_module() {
  local name=${1//-/_} path deps line
  line=$(grep -E "/${name//_/[_-]}\.ko(\.[a-z]+)?:" "$modules/modules.dep" | head -n1) || true
  [[ -n $line ]] || die "module $1 is not in $version"
  path=${line%%:*}
  [[ -n ${seen[$path]:-} ]] && return
  seen[$path]=1
  deps=${line#*:}
  # modules.dep lists the deepest dependency last.
  local d list=()
  for d in $deps; do list=("$d" "${list[@]}"); done
  for d in "${list[@]}"; do
    d=$(basename "$d"); add_module "${d%%.ko*}"
  done
  order+=("$path")
  [[ -n ${params[$name]:-} ]] && param_of[$path]=${params[$name]}
  return 0
}
for m in "${wanted[@]}"; do add_module "$m"; done

stamp=$( { echo "$version"; printf '%s\n' "${order[@]}" "${param_of[@]}"; cat "$here/guest-init.sh" "$here/guest-hotplug.sh"; } | sha256sum | cut -c1-16)
if [[ ! -f $dir/initramfs.gz || $(cat "$dir/initramfs.stamp" 2>/dev/null) != "$stamp" ]]; then
  say "making the initramfs ($((${#order[@]})) modules, busybox)"
  root=$dir/initramfs
  rm -rf "$root"
  mkdir -p "$root"/{bin,dev,proc,sys,host,modules}
  cp "$busybox" "$root/bin/busybox"
  install -m 755 "$here/guest-init.sh" "$root/init"
  install -m 755 "$here/guest-hotplug.sh" "$root/bin/rig-hotplug"
  : >"$root/modules/order"
  for path in "${order[@]}"; do
    name=$(basename "$path")
    case $name in
      *.xz) xz -dc "$modules/$path" >"$root/modules/${name%.xz}"; name=${name%.xz} ;;
      *.zst) zstd -qdc "$modules/$path" >"$root/modules/${name%.zst}"; name=${name%.zst} ;;
      *) cp "$modules/$path" "$root/modules/$name" ;;
    esac
    echo "$name ${param_of[$path]:-}" >>"$root/modules/order"
  done
  (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$dir/initramfs.gz.new"
  mv "$dir/initramfs.gz.new" "$dir/initramfs.gz"
  echo "$stamp" >"$dir/initramfs.stamp"
fi
ln -sf "kernel-$version/boot/vmlinuz-$version" "$dir/vmlinuz"
echo "$dir/vmlinuz"
echo "$dir/initramfs.gz"
