#!/usr/bin/env bash
# Builds the Debian packages from a configured build folder (stb-downloader,
# the window, and stb-downloader-cli, the terminal face with no toolkit),
# installs the second alone and then both with dpkg, checks what they put on
# the system, runs the installed programs against the installed simulated
# receiver (the window closed with SIGTERM, stb-downloader-cli to the end of a
# download), and removes the packages again.
# Usage: tests/package/check_package.sh [BUILD_DIR]
#
# As root (or with password-less sudo) the package goes into the real system;
# otherwise it is unpacked into a temporary folder and only the files are checked.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${1:-build}")
package=stb-downloader
cli_package=stb-downloader-cli

say() { printf 'package: %s\n' "$*"; }
fail() { printf 'package: FAIL: %s\n' "$*" >&2; exit 1; }

tmp=$(mktemp -d "${TMPDIR:-/tmp}/stb-package.XXXXXX")
sim_pid='' tool_pid='' installed_here=0
root_cmd=()
if [[ $(id -u) -ne 0 ]]; then
  if sudo -n true 2>/dev/null; then root_cmd=(sudo -n); else root_cmd=(none); fi
fi
as_root() { "${root_cmd[@]}" "$@"; }

cleanup() {
  local pid
  for pid in $tool_pid $sim_pid; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in $tool_pid $sim_pid; do wait "$pid" 2>/dev/null || true; done
  ((installed_here)) && as_root dpkg --purge "$package" "$cli_package" >/dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap cleanup EXIT

# Another run of this check (a colleague's test.sh) installs the same package.
exec 9>"${TMPDIR:-/tmp}/stb-downloader-package-check.lock"
flock -w 600 9 || fail "another package check held the lock for 10 minutes"

say "building the package in $build/package"
rm -rf "$build/package"
(cd "$build" && cpack -G DEB -B "$build/package" >"$tmp/cpack.log" 2>&1) || { cat "$tmp/cpack.log"; fail "cpack failed"; }
deb=$(ls "$build"/package/"$package"_*.deb)
cli_deb=$(ls "$build"/package/"$cli_package"_*.deb)
say "built $(basename "$deb") and $(basename "$cli_deb")"

# --- the package's contents and control fields -------------------------------------
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$tmp/contents"
for f in /usr/bin/stb-downloader /usr/bin/stb-bench /usr/bin/stb-receiver-sim \
  /usr/share/applications/stb-downloader.desktop /usr/share/applications/stb-bench.desktop \
  /usr/share/icons/hicolor/scalable/apps/stb-downloader.svg \
  /usr/share/doc/stb-downloader/docs/operator-guide.md /usr/share/doc/stb-downloader/README.md \
  /usr/share/doc/stb-downloader/copyright \
  /usr/share/man/man1/stb-downloader.1.gz /usr/share/man/man1/stb-bench.1.gz /usr/share/man/man1/stb-receiver-sim.1.gz \
  /usr/share/doc/stb-downloader/examples/inc/native.inc \
  /usr/share/doc/stb-downloader/examples/images/native.bin; do
  grep -qx "$f" "$tmp/contents" || fail "the package lacks $f"
done
depends=$(dpkg-deb -f "$deb" Depends)
for d in libqt6widgets6 libqt6gui6 libqt6core6 qt6-qpa-plugins; do
  [[ $depends == *"$d"* ]] || fail "Depends lacks $d: $depends"
done
[[ $depends == *"$cli_package (= "* ]] || fail "Depends lacks $cli_package, which the bench's stations are: $depends"
grep -qx /usr/bin/stb-downloader-cli "$tmp/contents" && fail "the window's package holds stb-downloader-cli as well"
dpkg-deb -c "$cli_deb" | awk '{print $6}' | sed 's|^\./|/|' >"$tmp/cli-contents"
for f in /usr/bin/stb-downloader-cli /usr/share/man/man1/stb-downloader-cli.1.gz /usr/share/doc/$cli_package/copyright; do
  grep -qx "$f" "$tmp/cli-contents" || fail "$cli_package lacks $f"
done
cli_depends=$(dpkg-deb -f "$cli_deb" Depends)
[[ $cli_depends == *libc6* ]] || fail "$cli_package's Depends lacks libc6: $cli_depends"
if grep -Eqi 'qt|libx|libgl|wayland' <<<"$cli_depends"; then fail "$cli_package depends on a toolkit: $cli_depends"; fi
say "contents and dependencies as expected ($cli_package: $cli_depends)"

# --- install ----------------------------------------------------------------------
if [[ ${root_cmd[0]:-} == none ]]; then
  say "not root and no sudo: unpacking instead of installing"
  dpkg-deb -x "$deb" "$tmp/root"
  dpkg-deb -x "$cli_deb" "$tmp/root"
  prefix=$tmp/root/usr
else
  was_installed=0
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' && was_installed=1
  # dpkg takes no turn while apt or another dpkg runs: wait for it.
  install_debs() {
    local i
    for ((i = 0; ; i++)); do
      if as_root dpkg -i "$@" >"$tmp/dpkg.log" 2>&1; then break; fi
      grep -qi lock "$tmp/dpkg.log" && ((i < 60)) || { cat "$tmp/dpkg.log"; fail "dpkg -i failed"; }
      sleep 2
    done
  }
  ((was_installed)) || installed_here=1
  # The terminal face installs on its own, with nothing of the window's.
  ((was_installed)) || install_debs "$cli_deb"
  dpkg-query -W -f='${Status}' "$cli_package" | grep -q 'install ok installed' || fail "dpkg does not list $cli_package as installed"
  install_debs "$cli_deb" "$deb"
  dpkg-query -W -f='${Status}' "$package" | grep -q 'install ok installed' || fail "dpkg does not list $package as installed"
  prefix=/usr
  say "installed with dpkg -i"
fi

tool=$prefix/bin/stb-downloader
sim=$prefix/bin/stb-receiver-sim
bench=$prefix/bin/stb-bench
[[ -x $tool && -x $sim ]] || fail "the programs are not installed as executables"
if ldd "$tool" "$sim" "$bench" | grep -q 'not found'; then
  ldd "$tool" "$sim" "$bench" | grep 'not found'
  fail "a library the programs need is missing"
fi
cli=$prefix/bin/stb-downloader-cli
[[ -x $cli ]] || fail "stb-downloader-cli is not installed as an executable"
ldd "$cli" | grep -q 'not found' && { ldd "$cli"; fail "a library stb-downloader-cli needs is missing"; }
if ldd "$cli" | grep -Eq 'libQt|libX11|libxcb|libGL|libwayland'; then
  ldd "$cli"
  fail "stb-downloader-cli loads a toolkit's library"
fi
grep -qx 'Exec=stb-downloader' "$prefix/share/applications/stb-downloader.desktop" || fail "the desktop entry does not start stb-downloader"
grep -qx 'Icon=stb-downloader' "$prefix/share/applications/stb-downloader.desktop" || fail "the desktop entry names another icon"
grep -qx 'Exec=stb-bench' "$prefix/share/applications/stb-bench.desktop" || fail "the bench's desktop entry does not start stb-bench"
"$sim" --help | grep -q -- '--link' || fail "stb-receiver-sim --help says nothing of --link"
# Neither asks for a display to say how it is used.
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$tool" --help | grep -q -- '--port' ||
  fail "stb-downloader --help says nothing of --port"
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$bench" --help | grep -q -- '--continuous' ||
  fail "stb-bench --help says nothing of --continuous"
for program in "$tool" "$sim" "$bench" "$cli"; do
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" --version | grep -q '^stb-[a-z-]* [0-9]' ||
    fail "$(basename "$program") --version printed no version"
done
# Every relative link of the installed documents leads to an installed file
# (code blocks hold commands, not links).
doc=$prefix/share/doc/$package
while IFS= read -r md; do
  while IFS= read -r target; do
    [[ $target == http* || $target == \#* ]] && continue
    [[ -e $(dirname "$md")/${target%%#*} ]] || fail "${md#"$prefix"/} links to $target, which is not installed"
  done < <(awk '/^```/ { code = !code; next } !code' "$md" | grep -o '](\([^)]*\))' | sed 's/^](\(.*\))$/\1/')
done < <(find "$doc" -name '*.md')
for page in stb-downloader stb-bench stb-receiver-sim stb-downloader-cli; do
  man -l "$prefix/share/man/man1/$page.1.gz" 2>/dev/null | grep -q "^NAME" ||
    zcat "$prefix/share/man/man1/$page.1.gz" | grep -q '^\.SH NAME' || fail "the manual page of $page does not read"
done
say "--help, --version, manual pages and the documents' links as expected"

# --- the installed tool starts and closes cleanly --------------------------------------
"$sim" --link "$tmp/com1" >"$tmp/sim.out" 2>&1 &
sim_pid=$!
for ((i = 0; i < 50; i++)); do [[ -L $tmp/com1 ]] && break; sleep 0.1; done
[[ -L $tmp/com1 ]] || fail "the installed stb-receiver-sim made no port"

(cd "$tmp" && COM1=/nonexistent XDG_CONFIG_HOME=$tmp/config QT_QPA_PLATFORM=offscreen exec "$tool" --port "$tmp/com1") \
  >"$tmp/tool.log" 2>&1 &
tool_pid=$!
# Up once it has the port open and locked: watched in /proc, so as not to race
# its lock with one of ours.
for ((i = 0; ; i++)); do
  kill -0 "$tool_pid" 2>/dev/null || { cat "$tmp/tool.log"; fail "the installed tool did not stay up"; }
  grep -Eq "^[0-9]+: FLOCK +ADVISORY +WRITE +$tool_pid " /proc/locks && break
  ((i < 200)) || fail "the installed tool did not open the port within 20 s"
  sleep 0.1
done
# It holds the port under an exclusive lock while it runs.
if flock -n -x "$tmp/com1" true; then fail "the installed tool did not lock the port"; fi
kill -TERM "$tool_pid"
rc=''
for ((i = 0; i < 100; i++)); do
  if ! kill -0 "$tool_pid" 2>/dev/null; then
    rc=0
    wait "$tool_pid" || rc=$?
    break
  fi
  sleep 0.1
done
[[ -n $rc ]] || fail "the installed tool did not close within 10 s of SIGTERM"
tool_pid=''
# No download reached a receiver: status 2.
((rc == 2)) || { cat "$tmp/tool.log"; fail "the installed tool exited with status $rc after SIGTERM, not 2"; }
flock -n -x "$tmp/com1" true || fail "the port is still locked after the tool ended"
kill -TERM "$sim_pid"
wait "$sim_pid" || true
sim_pid=''
grep -qx "port=$tmp/com1" "$tmp/config/stb-downloader/stb-downloader.ini" ||
  fail "the port given with --port was not remembered"
say "the installed tool started on the --port device, held it, remembered it, closed on SIGTERM with status 2 and let the port go"

# --- the installed terminal face: --check, then one download ----------------------------
cp -r "$doc/examples" "$tmp/work"
(cd "$tmp/work" && env -u DISPLAY -u WAYLAND_DISPLAY "$cli" --check) >"$tmp/check.out" 2>&1 ||
  { cat "$tmp/check.out"; fail "stb-downloader-cli --check found problems in the examples"; }
grep -qx 'All 8 description files are good.' "$tmp/check.out" || { cat "$tmp/check.out"; fail "--check did not check every example"; }
"$sim" --link "$tmp/com2" --exit-when-done >"$tmp/sim2.out" 2>&1 &
sim_pid=$!
for ((i = 0; i < 50; i++)); do [[ -L $tmp/com2 ]] && break; sleep 0.1; done
[[ -L $tmp/com2 ]] || fail "the installed stb-receiver-sim made no second port"
rc=0
(cd "$tmp/work" && printf 'W4n!Rk\n' | env -u DISPLAY -u WAYLAND_DISPLAY COM1=/nonexistent XDG_STATE_HOME=$tmp/state \
  XDG_CONFIG_HOME=$tmp/config-cli timeout -k 5 120 "$cli" --port "$tmp/com2" --wait-for-box 60) >"$tmp/cli.log" 2>&1 || rc=$?
((rc == 0)) || { cat "$tmp/cli.log"; fail "stb-downloader-cli ended with status $rc, not 0"; }
grep -qx 'Please Turn Off and On the STB set !!!' "$tmp/cli.log" || { cat "$tmp/cli.log"; fail "stb-downloader-cli's log has no success"; }
wait "$sim_pid" || { cat "$tmp/sim2.out"; fail "the simulated receiver saw no whole download"; }
sim_pid=''
say "the installed stb-downloader-cli checked the examples and flashed the simulated receiver, with no toolkit loaded"

# --- remove --------------------------------------------------------------------------
if ((installed_here)); then
  as_root dpkg --purge "$package" "$cli_package" >/dev/null
  installed_here=0
  [[ ! -e /usr/bin/stb-downloader ]] || fail "/usr/bin/stb-downloader is still there after dpkg --purge"
  [[ ! -e /usr/bin/stb-downloader-cli ]] || fail "/usr/bin/stb-downloader-cli is still there after dpkg --purge"
  say "removed with dpkg --purge"
fi
say "OK"
