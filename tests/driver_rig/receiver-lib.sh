# The simulated receiver and the watch on a program's progress, as both
# sides of the rig run them: the host on its ptys (run.sh), the guest on the
# gadget's end of the CDC-ACM lane (guest-lib.sh). Sourced, bash.

# rx_start STATE NAME SIM LINE DIR SIM-ARGS... : the receiver SIM on LINE in
# the background, its output in DIR; it writes its exit status into
# DIR/sim.status once it ends. STATE (a folder) keeps its process id and
# folder under NAME for rx_stop. Returns once it has opened its line.
rx_start() {
  local state=$1 name=$2 sim=$3 line=$4 dir=$5
  shift 5
  rx_stop "$state" "$name" >/dev/null
  mkdir -p "$dir"
  rm -f "$dir/sim.status" "$dir/sim.out"
  (
    "$sim" --device "$line" "$@" >"$dir/sim.out" 2>"$dir/sim.err" &
    echo $! >"$state/$name.pid"
    wait $! && status=0 || status=$?
    echo "$status" >"$dir/sim.status"
  ) &
  echo "$dir" >"$state/$name.dir"
  # Its first line is the line it opened.
  local end=$((SECONDS + 20))
  until [[ -s $dir/sim.out ]]; do
    [[ -e $dir/sim.status ]] && { cat "$dir/sim.err"; return 1; }
    ((SECONDS < end)) || { echo "the receiver did not open $line"; return 1; }
    sleep 0.02
  done
}

# rx_stop STATE NAME : stops it (SIGTERM, so it writes its summary and
# flash); prints its exit status, or "none" when none ran.
rx_stop() {
  local state=$1 name=$2 dir pid
  [[ -f $state/$name.pid ]] || { echo none; return 0; }
  pid=$(cat "$state/$name.pid")
  dir=$(cat "$state/$name.dir")
  kill -TERM "$pid" 2>/dev/null || true
  local end=$((SECONDS + 15))
  until [[ -e $dir/sim.status ]]; do
    if ((SECONDS >= end + 15)); then
      echo stuck
      return 1
    elif ((SECONDS >= end)); then
      kill -KILL "$pid" 2>/dev/null || true
    fi
    sleep 0.02
  done
  rm -f "$state/$name.pid"
  cat "$dir/sim.status"
}

# await_progress FILE BYTES SECONDS : true once FILE (a program's --json
# output) reports BYTES sent; false when the program ended or the time ran
# out first. Prints the bytes it saw.
await_progress() {
  local file=$1 bytes=$2 end=$((SECONDS + $3)) seen
  while ((SECONDS < end)); do
    seen=$(grep -o '"phase":"download","percent":[0-9]*,"bytes":[0-9]*' "$file" 2>/dev/null | tail -n1 | sed 's/.*"bytes"://')
    if [[ -n $seen ]] && ((seen >= bytes)); then
      echo "$seen"
      return 0
    fi
    grep -q '"event":"result"' "$file" 2>/dev/null && return 1
    sleep 0.02
  done
  return 1
}
