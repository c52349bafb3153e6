#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need.
# Idempotent: packages already present are skipped.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qt6-base-dev libgl-dev
  libgtest-dev libgmock-dev
  clang libclang-rt-14-dev
  xvfb xauth xdotool x11-utils
  qt6-qpa-plugins imagemagick openssl util-linux
  fonts-dejavu-core fonts-dejavu-extra
  dpkg-dev fakeroot file
  stress-ng
  python3
  qemu-system-x86 busybox-static cpio kmod
)

"$(dirname "$0")/install-packages.sh" setup "${packages[@]}"
