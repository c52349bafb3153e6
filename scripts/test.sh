#!/usr/bin/env bash
# Sets up, builds and runs every test: once with warnings as errors, once with
# AddressSanitizer and UndefinedBehaviorSanitizer, and the Windows build's
# tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}

echo "== build (warnings as errors) =="
BUILD_DIR=build scripts/build.sh -DSTB_WERROR=ON -DSTB_SANITIZE=OFF
echo "== tests =="
ctest --test-dir build --output-on-failure -j2 --timeout 300
echo "== Debian package =="
tests/package/check_package.sh build
echo "== the driver rig: the program in a QEMU guest on the 8250, ftdi_sio and cdc_acm drivers, run from a copy under /tmp =="
timeout 900 tests/driver_rig/elsewhere.sh build

echo "== Windows: cross-build, then the Windows tests under Wine =="
scripts/build-windows.sh
timeout 900 tests/windows/run.sh build build-windows

echo "== build (AddressSanitizer + UndefinedBehaviorSanitizer) =="
BUILD_DIR=build-asan BUILD_TYPE=Debug scripts/build.sh -DSTB_WERROR=ON -DSTB_SANITIZE=ON -DSTB_BUILD_BENCH=OFF
echo "== fuzzing the description file reader (a fixed seed and count) =="
rm -rf build-fuzz-ci/corpus
FUZZ_DIR=build-fuzz-ci scripts/fuzz.sh --runs 200000 --seed 1
echo "== chaos soak under sanitizers (30 seeded downloads) =="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  SOAK_NO_BUILD=1 BUILD_DIR=build-asan scripts/soak.sh 30 1
echo "== tests under sanitizers =="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j2 --timeout 600
