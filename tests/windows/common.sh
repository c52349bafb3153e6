# Steps the Windows scripts share; sourced, not run. Each script defines
# fail() and $tmp before it calls them.

# A workbench in $tmp/bench and the simulated receiver with the identity of
# its description $1 (mode $2) on the pty $tmp/com3; further arguments go to
# the receiver. Sets bench, line (the description's lines), image, blocks
# and sim_pid.
start_receiver() {
  local description=$1 mode=$2
  shift 2
  bench=$tmp/bench
  scripts/workbench.sh "$bench" >/dev/null
  mapfile -t line < <(tr -d '\r' <"$bench/$description")
  image=$bench/${line[9]}
  blocks=$(( ($(stat -c %s "$image") + 1023) / 1024 ))
  "$linux_build/bin/stb-receiver-sim" --link "$tmp/com3" --mode "$mode" \
    --oui "${line[0]:2:4}" --model "${line[1]:0:2}.${line[1]:3:2}" \
    --hw "${line[2]:0:2}.${line[2]:3:2}" --bl "${line[3]:0:2}.${line[3]:3:2}" \
    --address "${line[11]:2:8}" --exit-when-done \
    --save-flash "$tmp/flash.bin" "$@" >"$tmp/sim.out" 2>"$tmp/sim.err" &
  sim_pid=$!
  local i
  for ((i = 0; i < 100; i++)); do
    [[ -L $tmp/com3 ]] && break
    sleep 0.1
  done
  [[ -L $tmp/com3 ]] || fail "the simulated receiver made no port: $(cat "$tmp/sim.err")"
}

# stop_receiver: the receiver started by start_receiver, as scripts/run.sh
# stops its own.
source scripts/lib/receiver.sh

# A virtual display for the window programs. Sets xvfb_pid and DISPLAY.
start_xvfb() {
  Xvfb -displayfd 3 -screen 0 800x800x24 -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.err" &
  xvfb_pid=$!
  local i
  for ((i = 0; i < 100; i++)); do
    [[ -s $tmp/display ]] && break
    sleep 0.1
  done
  [[ -s $tmp/display ]] || fail "Xvfb gave no display: $(cat "$tmp/xvfb.err")"
  export DISPLAY=:$(head -n1 "$tmp/display")
}
