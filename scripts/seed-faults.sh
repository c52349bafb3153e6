#!/usr/bin/env bash
# Puts one-line faults, one at a time, into the product lines changed since a
# commit (a comparison flipped, a condition negated, a constant off by one, a
# call or assignment dropped, an early return), builds only the test programs
# whose tests run the faulted line (a coverage map, made once per commit in
# build-cov/), runs those tests fastest first until one fails and prints every
# fault they did not catch, and every changed line no test runs.
# Usage: scripts/seed-faults.sh --since COMMIT [--max N] [--minutes M] [--seed S]
#          [--build-dir DIR] [--cov-dir DIR] [--filter REGEX] [--exclude REGEX]
#          [--timeout S] [--jobs J] [--path DIR]... [--list]
# --list only prints the faults a run would try. scripts/seed-faults.sh --help
# tells the rest. Exit status: 0 every fault built was caught, 1 some survived,
# 2 it could not start (dirty tree, no build, tests failing without a fault),
# 3 the tree was not clean afterwards, 128+N ended by signal N.
#
# The faulting engine is scripts/lib/seed_faults.py. This wrapper keeps the
# tree safe around it: it refuses to start on uncommitted changes, and
# whatever ends the engine (an interrupt, a crash, a kill), it puts back the
# file under a fault from the pristine copy the engine keeps, ends the build
# or test run the engine had started, and checks that git sees no change.
set -euo pipefail
cd "$(dirname "$0")/.."

engine=scripts/lib/seed_faults.py
for arg in "$@"; do
  case $arg in
    --list | -h | --help) exec python3 "$engine" "$@" ;;
  esac
done

if ! git diff --quiet || ! git diff --cached --quiet; then
  echo "seed-faults: the tree has uncommitted changes; commit or stash them first" >&2
  exit 2
fi

state=$(mktemp -d "${TMPDIR:-/tmp}/seed-faults.XXXXXX")
engine_pid=''

put_back() {
  # The engine restores the file itself; this is for when it could not.
  if [[ -s $state/child ]]; then
    kill -TERM -- "-$(cat "$state/child")" 2>/dev/null || true
  fi
  if [[ -s $state/target && -f $state/pristine ]]; then
    cp "$state/pristine" "$(cat "$state/target")"
    echo "seed-faults: put $(cat "$state/target") back from its pristine copy" >&2
  fi
}

finish() {
  local status=$?
  trap '' INT TERM
  if [[ -n $engine_pid ]] && kill -0 "$engine_pid" 2>/dev/null; then
    kill -TERM "$engine_pid" 2>/dev/null || true
    wait "$engine_pid" 2>/dev/null || true
  fi
  put_back
  rm -rf "$state"
  if ! git diff --quiet || ! git diff --cached --quiet; then
    echo "seed-faults: the tree is NOT clean afterwards:" >&2
    git status --short >&2
    exit 3
  fi
  echo "tree clean (git diff --quiet)"
  exit "$status"
}
trap finish EXIT
# A signal is passed on to the engine, which ends its build or tests and
# puts the file back; the wait below then returns and finish runs.
trap 'kill -TERM "$engine_pid" 2>/dev/null || true' INT TERM

export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
# In the background so that this shell can take a signal while the engine
# runs; the engine sets its own handlers for INT and TERM.
python3 "$engine" --state "$state" "$@" &
engine_pid=$!
status=0
wait "$engine_pid" || status=$?
while kill -0 "$engine_pid" 2>/dev/null; do
  status=0
  wait "$engine_pid" || status=$?
done
engine_pid=''
exit "$status"
