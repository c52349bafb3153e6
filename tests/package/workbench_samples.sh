#!/usr/bin/env bash
# scripts/workbench.sh makes the same sample files on every machine: two runs
# into two fresh folders give the same bytes, and those bytes are the ones
# listed below, so a change of the generator is seen too.
# Usage: workbench_samples.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
tmp=$(mktemp -d "${TMPDIR:-/tmp}/stb-workbench.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

expected='bcbf08312954013024e5dec63a17600ebfcaaf907bbaab892edf33a0d28ace7d  images/app1.bin
cf987930725c2503aa7855a47f7cdd499d0df76221b32151aa4ed4b4eff7b99f  images/app2.bin
0dadb88f430b12f16141ca9cb7c5e982cbe3edb1cc53553f7fb70a7b8f565c5a  images/bl.bin
0c2a65f2121b0f941fbd8f583b1ffe38acffdb853ddac17d242ce31d7729128a  images/gui.bin
fca15d4dd4652bb89d3093af4d561b82484b7212ac0e10ed765f41b591bb3bf6  images/lpd.bin
6055ad9beeb8f354c55990d79211b3ea07923e5d8584fd30ea2bbf8150df8608  images/native.bin
49b0b3a450837529d3faa5b5a2c6d53873ae156d7ce38ca898fa98a963f66ce3  images/psi.bin
ea98fb12af2898b7b3b6e849048c64adb9301c1a3218db44d8a6ac4f1c44d49a  images/rsvd.bin
14c96335ec30a2f36bc3a651cc1ece3a9baa009e9caab2ceaf96b93a425e9168  inc/app1.inc
e65b9fa430400187a8e667db19dc5e2750278db13ed75507c098cbfa6f628c62  inc/app2.inc
5d5f79d29c4d81a7314182698ecfdfdc451bd7dfb0b7f8c12c66a3bc65f95b6f  inc/bl.inc
73003e1a5bf1ead688a892c82aa51733ab13560296b8cc986ae8a56d8538cac6  inc/gui.inc
04fac8b483e2588f5c2da298d3993ea85e7e3458792bd947a923a2eb49bf246a  inc/lpd.inc
31f5b2858510a1c3ecfc1d2d52647bf36c34ae3517d10142b204989af53fec76  inc/native.inc
644a50a0f73257f21adf946545dfd17f6d9d0c2e5c89ca86710e8b9ded6ef7d0  inc/psi.inc
aa5c41035cd057a8e4c19091ccc24ea729c371562e0160c5dd0425acb892712b  inc/rsvd.inc'

digests() { (cd "$1" && find images inc -type f | LC_ALL=C sort | xargs sha256sum); }
for run in a b; do
  bash scripts/workbench.sh "$tmp/$run" >/dev/null
done
digests "$tmp/a" >"$tmp/a.sums"
digests "$tmp/b" >"$tmp/b.sums"
if ! diff -u "$tmp/a.sums" "$tmp/b.sums"; then
  echo "two runs of workbench.sh made different samples"
  exit 1
fi
if ! diff -u <(printf '%s\n' "$expected") "$tmp/a.sums"; then
  echo "workbench.sh made other samples than the ones every machine has made so far"
  exit 1
fi
# A second run into the same folder leaves it as a first run does.
bash scripts/workbench.sh "$tmp/a" >/dev/null
diff -u "$tmp/b.sums" <(digests "$tmp/a") || { echo "a second run into the same folder changed its samples"; exit 1; }
echo "workbench.sh: $(wc -l <"$tmp/a.sums") sample files, the same bytes in every run"
