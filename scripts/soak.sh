#!/usr/bin/env bash
# Chaos soak: RUNS whole downloads (default 200) of the real window against
# the simulated receiver, each with a fault drawn from SEED (default: the
# time), judged from outside; prints the table and fails on any bad run.
# Usage: scripts/soak.sh [RUNS] [SEED]
# Builds the soak program into build/ (or $BUILD_DIR) first unless SOAK_NO_BUILD
# is set. A bad run prints the command that repeats it alone.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-200}
seed=${2:-$(date +%s)}
build_dir=${BUILD_DIR:-build}
if [[ -z "${SOAK_NO_BUILD:-}" ]]; then
  scripts/setup.sh
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} >/dev/null
  cmake --build "$build_dir" -j"$(nproc)" --target soak
fi
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
# Qt's chatter about the offscreen platform is not part of the verdict.
"$build_dir/bin/soak" --runs "$runs" --seed "$seed" 2> >(grep -v -e XDG_RUNTIME_DIR -e propagateSizeHints >&2)
