# The simulated receiver's end, shared by scripts/run.sh and the Windows
# tests; sourced, not run.

# Gives the receiver $sim_pid ten seconds to finish on its own, then a TERM,
# which makes it report (the operator may have closed the window before the
# download, and the receiver would wait for ever). Sets sim_rc and clears
# sim_pid.
stop_receiver() {
  local i
  for ((i = 0; i < 100; i++)); do
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -TERM "$sim_pid" 2>/dev/null || true
  sim_rc=0
  wait "$sim_pid" || sim_rc=$?
  sim_pid=''
}
