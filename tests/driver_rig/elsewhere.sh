#!/usr/bin/env bash
# The rig from another place: a copy of this checkout under /tmp, which the
# guest covers with a /tmp of its own, and a build folder of another name
# there, holding the programs of BUILD_DIR. Runs one short scenario from it
# and prints one line, PASS or FAIL, like the rig's others.
#   tests/driver_rig/elsewhere.sh BUILD_DIR
# The guest's kernel is BUILD_DIR's, not fetched again. Exit status 0 when
# the scenario passed there.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd -P)
root=$(cd "$here/../.." && pwd -P)
build=$(cd "${1:?usage: tests/driver_rig/elsewhere.sh BUILD_DIR}" && pwd -P) || exit 1
started=$SECONDS
place=$(mktemp -d /tmp/stb-rig-elsewhere.XXXXXX)
trap 'rm -rf "$place"' EXIT
line() { printf 'driver rig: %-4s %-16s %-22s %s\n' "$1" elsewhere "cdc_acm /dev/ttyACM0" "$2"; }

checkout=$place/checkout
other=$place/rig-build-elsewhere
mkdir -p "$checkout" "$other/bin" "$other/driver-rig"
# The checkout's own files as they stand (the rig's alone where this is no
# git checkout); the programs linked where the file system allows it.
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$root" && git ls-files -z | cpio -0pdm --quiet "$checkout")
else
  mkdir -p "$checkout/tests" && cp -r "$root/tests/driver_rig" "$checkout/tests/" && cp -r "$root/scripts" "$checkout/"
fi
for program in stb-downloader stb-receiver-sim driver-rig-tool rig-faces; do
  cp -l "$build/bin/$program" "$other/bin/" 2>/dev/null || cp "$build/bin/$program" "$other/bin/"
done
ln -s "$build/driver-rig/guest" "$other/driver-rig/guest"
cp "$build/driver-rig/kvm-verdict" "$other/driver-rig/" 2>/dev/null

if RIG_LIMIT=120 "$checkout/tests/driver_rig/run.sh" "$other" acm sc_list_ports >"$place/out" 2>&1; then
  line PASS "list-ports from $checkout, build folder ${other##*/}, in $((SECONDS - started)) s"
  exit 0
fi
line FAIL "from $checkout, build folder ${other##*/}: $(grep -E 'FAIL|FAILED' "$place/out" | head -n3 | tr '\n' ' ')"
# What the guest said, kept past the copy's removal.
cp "$place/out" "$build/driver-rig/elsewhere.out" 2>/dev/null
cp "$other/driver-rig/run/shared/guest.out" "$build/driver-rig/elsewhere-guest.out" 2>/dev/null
exit 1
