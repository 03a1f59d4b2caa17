# Helpers shared by the benchmark scripts (sourced).

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# CPU time (clock ticks) used so far by the processes `pids` and their children.
cpu_ticks() {
  local total=0 pid
  for pid in "$@" $(for p in "$@"; do pgrep -P "$p" || true; done); do
    [ -r "/proc/$pid/stat" ] || continue
    total=$((total + $(sed 's/.*) //' "/proc/$pid/stat" | awk '{print $12 + $13}')))
  done
  echo "$total"
}

