#!/usr/bin/env bash
# Installs the Debian packages named after the first argument (the name the
# messages go under), skipping those already present; the package lists are
# refreshed only when something has to be installed.
#   scripts/install-packages.sh setup cmake qt6-base-dev ...
set -euo pipefail
who=$1
shift

missing=()
for p in "$@"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "$who: installing ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
