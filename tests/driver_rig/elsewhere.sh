#!/usr/bin/env bash
# The rig from another place, as a newcomer's clone may be: a copy of this
# checkout under /tmp, which the guest covers with a /tmp of its own, and a
# build folder of another name beside it holding BUILD_DIR's programs.
#   tests/driver_rig/elsewhere.sh BUILD_DIR [SCENARIO_FUNCTION...] [LANE...]
# Runs tests/driver_rig/run.sh from there with the same words, prints what
# it prints, then one line more: "elsewhere", PASS when it passed. The guest's
# kernel is BUILD_DIR's, not fetched again; what the run left is moved to
# BUILD_DIR/driver-rig/run, as if run there. scripts/test.sh runs the rig
# this way, so that every scenario shows the rig runs from anywhere.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd -P)
root=$(cd "$here/../.." && pwd -P)
build=$(cd "${1:?usage: tests/driver_rig/elsewhere.sh BUILD_DIR [SCENARIO_FUNCTION...]}" && pwd -P) || exit 1
shift
place=$(mktemp -d /tmp/stb-rig-elsewhere.XXXXXX)
trap 'rm -rf "$place"' EXIT
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
for program in stb-downloader stb-downloader-cli stb-receiver-sim driver-rig-tool rig-faces; do
  cp -l "$build/bin/$program" "$other/bin/" 2>/dev/null || cp "$build/bin/$program" "$other/bin/"
done
mkdir -p "$build/driver-rig/guest"
ln -s "$build/driver-rig/guest" "$other/driver-rig/guest"
cp "$build/driver-rig/kvm-verdict" "$other/driver-rig/" 2>/dev/null

printf 'driver rig: from a copy of the checkout in %s, build folder %s\n' "$checkout" "$other"
"$checkout/tests/driver_rig/run.sh" "$other" "$@"
status=$?
cp "$other/driver-rig/kvm-verdict" "$build/driver-rig/" 2>/dev/null
rm -rf "$build/driver-rig/run"
mv "$other/driver-rig/run" "$build/driver-rig/run" 2>/dev/null
outcome=PASS
((status == 0)) || outcome=FAIL
printf 'driver rig: %-4s %-16s %-22s %s\n' "$outcome" elsewhere "-" \
  "run.sh from under /tmp with a build folder of another name: status $status (its files now in $build/driver-rig/run)"
exit "$status"
