#!/usr/bin/env bash
# Every option a program's --help prints has an item of its own in the
# program's man page (a line right after a .TP), so an option added to the
# program without its page is caught. Usage: man_options.sh PROGRAM PAGE.1
set -euo pipefail
program=$1 page=$2

help=$("$program" --help 2>&1) || { echo "$program --help failed:"; echo "$help"; exit 1; }
# The program's own options: those that begin a line of the option list, and
# those in brackets in the usage; a word like "stb-downloader --console" in
# the prose names another program's option.
options=$({
  grep -oE -- '^[[:space:]]+--[a-z][a-z0-9-]*' <<<"$help" || true
  grep -oE -- '\[--[a-z][a-z0-9-]*' <<<"$help" || true
} | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u)
[[ -n $options ]] || { echo "$program --help names no option"; exit 1; }

# The page's item tags, with roff's \- read as a plain hyphen.
tags=$(awk 'previous == ".TP" { print } { previous = $1 }' "$page" | sed 's/\\-/-/g')
missing=()
for option in $options; do
  grep -qE -- "(^|[^a-z0-9-])$option([^a-z0-9-]|\$)" <<<"$tags" || missing+=("$option")
done
if ((${#missing[@]})); then
  echo "$(basename "$page") lacks an item for: ${missing[*]}"
  exit 1
fi
echo "$(basename "$page"): all $(wc -w <<<"$options") options of $(basename "$program") --help have an item"
