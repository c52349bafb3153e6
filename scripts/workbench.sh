#!/usr/bin/env bash
# Prepares a working folder for a dry run: ./inc/*.inc for all eight modes and
# a generated sample image for each. Usage: scripts/workbench.sh [FOLDER]
set -euo pipefail
dir=${1:-workbench}
mkdir -p "$dir/inc" "$dir/images"

# name  mode-file   image-bytes  selector  address     model hw    bl    native app1  app2
rows=(
  "bl     bl.inc      61440   1 0xBFC00000"
  "native native.inc  262144  2 0x80010000"
  "app1   app1.inc    524288  3 0x80200000"
  "app2   app2.inc    393216  4 0x80400000"
  "lpd    lpd.inc     8192    0 0x80600000"
  "gui    gui.inc     131072  0 0x80700000"
  "psi    psi.inc     65536   0 0x80780000"
  "rsvd   rsvd.inc    4096    0 0x807C0000"
)

command -v openssl >/dev/null || { echo "workbench.sh: openssl is needed to make the sample images" >&2; exit 1; }

for row in "${rows[@]}"; do
  read -r name file bytes selector address <<<"$row"
  image="images/$name.bin"
  # The same bytes on every machine: AES in counter mode over exactly $bytes
  # zero bytes, keyed by the image's name. The zeros come from head, so no
  # reader closes the pipe early, and a failure stops the script.
  head -c "$bytes" /dev/zero |
    openssl enc -aes-128-ctr -pass "pass:$name" -nosalt -pbkdf2 >"$dir/$image.part" 2>"$dir/$image.err" ||
    { cat "$dir/$image.err" >&2; rm -f "$dir/$image.part" "$dir/$image.err"; exit 1; }
  rm -f "$dir/$image.err"
  [[ $(stat -c %s "$dir/$image.part") -eq $bytes ]] || { echo "workbench.sh: $image came out short" >&2; exit 1; }
  mv -f "$dir/$image.part" "$dir/$image"
  printf '%s\r\n' \
    "001234" "0A.01" "01.05" "02.00" "03.01" "04.02" "05.03" \
    "26120" "sample image" "$image" "$selector" "$address" >"$dir/inc/$file"
done
echo "$dir"
