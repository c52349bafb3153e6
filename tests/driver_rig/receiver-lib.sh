# The simulated receiver as both sides of the rig run it: the host on its
# ptys (run.sh), the guest on the gadget's end of the CDC-ACM lane
# (guest-lib.sh). Sourced, bash.

# nap SECONDS : a pause that starts no process (`sleep` is one): in the
# guest, under TCG, every process started costs, and the rig's waits loop.
exec {rig_nap_fd}<> <(:)
nap() { read -r -t "$1" -u "$rig_nap_fd" _ 2>/dev/null || true; }

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
    nap 0.02
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
    nap 0.02
  done
  rm -f "$state/$name.pid"
  cat "$dir/sim.status"
}
