#!/usr/bin/env bash
# Cross-builds the Windows programs with MinGW-w64 into build-windows/ (or
# $BUILD_DIR): the tool, its tests as .exe files for Wine, and the installer.
# Installs what it needs first (Debian packages). Extra arguments go to
# cmake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build-windows}

packages=(g++-mingw-w64-x86-64-posix wine64 nsis cmake googletest imagemagick librsvg2-bin)
scripts/install-packages.sh build-windows "${packages[@]}"

cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Release} -DSTB_WERROR=ON "$@" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
