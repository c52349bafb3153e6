#!/usr/bin/env bash
# Runs the Windows tests under Wine, in a Wine prefix of its own that lives
# only as long as this run: the test programs (.exe), the command line and a
# download with the terminal face (console.sh), an FTDI adapter's latency
# timer read from the registry (latency.sh), one whole download with the
# window (e2e.sh), four boxes at once on the bench and a bench of the ports
# ticked in its window (bench.sh) and the installer (installer.sh).
#
#   tests/windows/run.sh [LINUX_BUILD [WINDOWS_BUILD]]     (build, build-windows)
#
# The platform contract tests get their far end from the far agent, a Linux
# program (built in LINUX_BUILD) that holds a pty for them; they open its near
# end through Wine's Z: drive. Wine does not keep an exclusive open between
# programs, so exclusivity is tested on Linux only.
set -euo pipefail
cd "$(dirname "$0")/../.."
linux_build=${1:-build}
win_build=${2:-build-windows}
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

say() { printf 'windows-tests: %s\n' "$*"; }
fail() { printf 'windows-tests: %s\n' "$*" >&2; exit 1; }

[[ -x $wine ]] || fail "no wine64 (scripts/build-windows.sh installs it)"
[[ -x $linux_build/bin/stb-far-agent ]] || fail "no $linux_build/bin/stb-far-agent (scripts/build.sh)"
[[ -f $win_build/bin/platform_contract_tests.exe ]] || fail "no $win_build/bin/platform_contract_tests.exe (scripts/build-windows.sh)"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/stb-wine.XXXXXX")
export WINEPREFIX=$tmp/prefix WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko installers at the first start.
export WINEDLLOVERRIDES="mscoree=;mshtml="
agent_pid=''
cleanup() {
  if [[ -n $agent_pid ]]; then
    kill -TERM "$agent_pid" 2>/dev/null || true
    wait "$agent_pid" 2>/dev/null || true
  fi
  # Only this run's prefix: its wineserver and the programs it serves.
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

started=$SECONDS
say "making a Wine prefix in $WINEPREFIX (the first start takes a while)"
timeout 180 "$wine" wineboot -i >"$tmp/wineboot.log" 2>&1 || fail "wineboot failed: $(tail -5 "$tmp/wineboot.log")"
say "prefix ready after $((SECONDS - started)) s"

"$linux_build/bin/stb-far-agent" "$tmp/agent" 2>"$tmp/agent.err" &
agent_pid=$!
for ((i = 0; i < 100; i++)); do
  [[ -L $tmp/agent ]] && break
  sleep 0.1
done
[[ -L $tmp/agent ]] || fail "the far agent made no control line: $(cat "$tmp/agent.err")"
control=$(readlink "$tmp/agent")
export STB_FAR_AGENT="Z:${control//\//\\}"

rc=0
for program in platform_contract_tests core_unit_tests; do
  say "running $program.exe"
  t0=$SECONDS
  timeout 600 "$wine" "$win_build/bin/$program.exe" || rc=1
  say "$program.exe took $((SECONDS - t0)) s"
done

t0=$SECONDS
tests/windows/console.sh "$linux_build" "$win_build" || rc=1
say "the command line and the terminal face's download took $((SECONDS - t0)) s"
t0=$SECONDS
tests/windows/latency.sh "$linux_build" "$win_build" || rc=1
say "the USB adapter's latency timer took $((SECONDS - t0)) s"
t0=$SECONDS
tests/windows/e2e.sh "$linux_build" "$win_build" || rc=1
tests/windows/e2e.sh "$linux_build" "$win_build" --choose-port || rc=1
say "the downloads under Wine (--port COM3, then COM3 chosen from the list) took $((SECONDS - t0)) s"
t0=$SECONDS
tests/windows/bench.sh "$linux_build" "$win_build" || rc=1
say "the bench's four boxes, its stop and its ticked port took $((SECONDS - t0)) s"
t0=$SECONDS
tests/windows/installer.sh "$win_build" || rc=1
say "the installer's round took $((SECONDS - t0)) s"

((rc == 0)) || fail "a Windows test failed"
say "all Windows tests passed in $((SECONDS - started)) s"
