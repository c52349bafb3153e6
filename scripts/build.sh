#!/usr/bin/env bash
# Configures and builds into build/ (or the folder given as $BUILD_DIR).
# Extra arguments go to cmake's configure step, e.g. -DSTB_SANITIZE=ON.
# BUILD_TARGETS names the targets to build (all when unset).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} "$@" >/dev/null
targets=()
for target in ${BUILD_TARGETS:-}; do targets+=(--target "$target"); done
cmake --build "$build_dir" -j"$(nproc)" "${targets[@]}"
