#!/usr/bin/env bash
# What idle connections cost each connection engine. For each engine and each
# kind of connection (HTTP/1.1 kept alive after one request, HTTP/2 over TLS
# after one request, WebSocket without compression after the upgrade), a fresh
# server holds CONNECTIONS idle ones for HOLD seconds. Prints the server's
# threads at the start and with them held, its context switches (voluntary and
# involuntary, all threads) and CPU time during the hold, and its resident
# memory per connection. With the HTTP/2 ones still held, h2load -c 100 -m 10
# over TLS runs against the same server, and again once they are gone.
# Columns: connections open, seconds to open them, of them still open on the
# server after the hold (servers close idle HTTP/2 connections after
# HTTP2Options.IdleTimeOut, 60 s by default), threads at the start and held,
# context switches and CPU ms during the hold, KiB and descriptors per connection.
#   bench/idle.sh [--engine threads|loops|both] [--loops N] [--connections N] [--hold S] [--load S]
#   (defaults: both engines, 10,000 connections, 30 s held, 10 s of h2load)
# --broadcast N instead opens N WebSocket connections to the loops engine and
# times one Broadcast of 100 octets from the call until the kernel received it
# on the last connection.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/bench_lib.sh"
read_engine_options "$@"
set -- "${rest[@]}"
connections=10000
hold=30
load=10
broadcast=0
while [ $# -gt 0 ]; do
  case $1 in
    --connections) connections=$2 ;;
    --hold) hold=$2 ;;
    --load) load=$2 ;;
    --broadcast) broadcast=$2 ;;
    *) echo "usage: $0 [--engine threads|loops|both] [--loops N] [--connections N] [--hold S] [--load S] [--broadcast N]" >&2
       exit 2 ;;
  esac
  shift 2
done

prepare_tile_bench "$root"
tile_path="/gophertiles?x=7&y=4"
# Every process started below inherits the limit; the hard one rises only with CAP_SYS_RESOURCE.
descriptor_note="hard limit $(ulimit -Hn)"
if raise_error=$(ulimit -Hn 1048576 2>&1); then
  ulimit -Hn 1048576
  descriptor_note="hard limit raised to 1048576"
else
  descriptor_note+=", not raised (ulimit -Hn 1048576: ${raise_error##*: })"
fi
ulimit -n "$(ulimit -Hn)"
# A client process stays below its descriptor limit and below the ~28,000
# ports of one source address; the server keeps room for h2load and its files.
room=$(($(ulimit -n) - 150))
clients_per_process=$((room < 15000 ? room : 15000))

thread_count() { awk '/^Threads:/ {print $2}' "/proc/$1/status"; }
# Descriptors closed while find walks the folder are not counted (nor reported).
descriptor_count() { { find "/proc/$1/fd" -mindepth 1 2>/dev/null || true; } | wc -l; }
socket_count() { { find "/proc/$1/fd" -mindepth 1 -lname 'socket:*' 2>/dev/null || true; } | wc -l; }

# Voluntary and involuntary context switches of all threads of a process so far.
context_switches() {
  { cat "/proc/$1"/task/*/status 2>/dev/null || true; } |
    awk '/^(non)?voluntary_ctxt_switches:/ {sum += $2} END {print sum + 0}'
}

# Starts zal_bench_server with the options given and waits until it listens;
# sets server_port and server_pid, its standard output goes to $work/server.
start_server() {
  server_port=$(free_port)
  "$bench_server" --port "$server_port" --folder "$assets" "$@" >"$work/server" &
  server_pid=$!
  pids+=("$server_pid")
  wait_listening "$server_port"
}

stop_server() {
  kill "$server_pid"
  wait "$server_pid" 2>/dev/null || true
}

# Opens COUNT connections of KIND to $server_port, asking PATH, from four or
# more processes (opening in parallel) of at most $clients_per_process
# connections, each from its own loopback address (127.0.0.2, 127.0.0.3, ...);
# more options go to each process. Waits
# until all processes have opened theirs; sets clients_open (how many are open)
# and clients_stopped (why some process opened fewer). The connections stay
# open until release_clients.
open_clients() {
  local kind=$1 count=$2 path=$3 index=0 share processes
  shift 3
  processes=$(((count + clients_per_process - 1) / clients_per_process))
  [ "$processes" -lt 4 ] && processes=4
  rm -f "$work/hold" "$work"/clients_*
  mkfifo "$work/hold"
  client_pids=()
  while [ "$count" -gt 0 ]; do
    share=$(((count + processes - index - 1) / (processes - index)))
    /usr/bin/python3 "$root/bench/idle_clients.py" --source "127.0.0.$((index + 2))" "$@" \
      "$kind" "$server_port" "$share" "$path" <"$work/hold" >"$work/clients_$index" &
    client_pids+=($!)
    count=$((count - share))
    index=$((index + 1))
  done
  pids+=("${client_pids[@]}")
  exec {hold_fd}>"$work/hold"  # the clients hold their connections until it closes
  wait_client_lines '^open' 900
  clients_open=$(cat "$work"/clients_* | awk '/^open/ {sum += $2} END {print sum + 0}')
  clients_stopped=$(sed -n 's/^open .* stopped: //p' "$work"/clients_* | head -1)
}

# Waits (at most SECONDS) until every client process has printed a line matching PATTERN.
wait_client_lines() {
  local pattern=$1 seconds=$2 index
  for _ in $(seq $((seconds * 10))); do
    local missing=0
    for index in "${!client_pids[@]}"; do
      grep -q "$pattern" "$work/clients_$index" && continue
      missing=1
      kill -0 "${client_pids[$index]}" 2>/dev/null ||
        { echo "a client process ended early: $(cat "$work/clients_$index")" >&2; return 1; }
    done
    [ "$missing" = 0 ] && return 0
    sleep 0.1
  done
  echo "the clients did not print $pattern within $seconds s" >&2
  return 1
}

release_clients() {
  exec {hold_fd}>&-
  wait "${client_pids[@]}" 2>/dev/null || true
}

# h2load over TLS against the server: one line, figures kept under LABEL.
measure_h2load() {
  local label=$1 before after
  before=$(cpu_ticks "$server_pid")
  timeout $((load + 60)) h2load -c 100 -m 10 -D "$load" "https://127.0.0.1:$server_port$tile_path" >"$work/h2load_$label" ||
    echo "  h2load did not finish within $((load + 60)) s"
  after=$(cpu_ticks "$server_pid")
  local rps requests
  rps=$(awk '/^finished in/ {print $4}' "$work/h2load_$label")
  requests=$(awk '/^requests:/ {print $8}' "$work/h2load_$label")
  record_figures "$label" "$rps" "$requests" $((after - before))
  printf '  h2load -c 100 -m 10, %-26s %11s requests/s %9s per CPU second  %s\n' "$label:" "$rps" \
    "$(cat "$work/cpu_$label")" "$(awk '/^requests:/ {print $10 " failed, " $12 " errored"}' "$work/h2load_$label")"
}

# Server options, request path and memory target (KiB per connection) of each kind.
declare -A kind_options=([http1]="--keep-alive" [ws]="" [h2-tls]="--keep-alive --http2 --tls $certificate")
declare -A kind_path=([http1]="$tile_path" [ws]=/ [h2-tls]=/)
declare -A kind_target=([http1]=4 [ws]=4 [h2-tls]=16)

# (HELD - BEFORE) / clients_open, one decimal.
per_connection() {
  awk -v a="$1" -v b="$2" -v n="$clients_open" 'BEGIN { printf "%.1f", n ? (a - b) / n : 0 }'
}

# One engine, one kind: a fresh server, CONNECTIONS idle ones held, one line.
measure_idle() {
  local engine=$1 kind=$2
  start_server $(engine_options "$engine") ${kind_options[$kind]}
  # A few connections first, so that what the first one sets up once is not counted per connection.
  open_clients "$kind" 8 "${kind_path[$kind]}"
  release_clients
  sleep 1
  local threads_start rss_before descriptors_before sockets_before opening threads_held rss_held switches ticks
  threads_start=$(thread_count "$server_pid")
  rss_before=$(resident_kib "$server_pid")
  descriptors_before=$(descriptor_count "$server_pid")
  sockets_before=$(socket_count "$server_pid")
  opening=$SECONDS
  open_clients "$kind" "$connections" "${kind_path[$kind]}"
  opening=$((SECONDS - opening))
  sleep 1
  threads_held=$(thread_count "$server_pid")
  rss_held=$(resident_kib "$server_pid")
  switches=$(context_switches "$server_pid")
  ticks=$(cpu_ticks "$server_pid")
  sleep "$hold"
  switches=$(($(context_switches "$server_pid") - switches))
  ticks=$(($(cpu_ticks "$server_pid") - ticks))
  printf '%-8s %-7s %6s %6s %6s %7s %7s %8s %7s %8s %8s   0, <= %s KiB%s\n' "$engine" "$kind" "$clients_open" \
    "$opening" "$(($(socket_count "$server_pid") - sockets_before))" \
    "$threads_start" "$threads_held" "$switches" "$((ticks * 1000 / $(getconf CLK_TCK)))" \
    "$(per_connection "$rss_held" "$rss_before")" \
    "$(per_connection "$(descriptor_count "$server_pid")" "$descriptors_before")" \
    "${kind_target[$kind]}" "${clients_stopped:+ (a client stopped: $clients_stopped)}"
  if [ "$kind" = h2-tls ] && [ "$clients_open" -lt "$connections" ]; then
    echo "  h2load skipped: the server took fewer connections than asked for" \
      "(it holds $(descriptor_count "$server_pid") descriptors of $(ulimit -n))"
    release_clients
    wait_released "$threads_start" "$sockets_before"
  elif [ "$kind" = h2-tls ]; then
    measure_h2load "with-idle($engine)"
    release_clients
    wait_released "$threads_start" "$sockets_before"
    measure_h2load "without-idle($engine)"
    ratio_line "with/without idle ($engine), target >= 0.90" "with-idle($engine)" "without-idle($engine)"
  else
    release_clients
    wait_released "$threads_start" "$sockets_before"
  fi
  stop_server
}

# Waits (at most 30 s) until the server is back to THREADS threads and SOCKETS
# sockets; then prints them, how long that took and the CPU it used over the
# next second: whether it is idle again.
wait_released() {
  local waited=$SECONDS
  for _ in $(seq 300); do
    [ "$(thread_count "$server_pid")" -le "$1" ] && [ "$(socket_count "$server_pid")" -le "$2" ] && break
    sleep 0.1
  done
  waited=$((SECONDS - waited))
  local ticks
  ticks=$(cpu_ticks "$server_pid")
  sleep 1
  printf '  released: %s threads (at the start %s), %s sockets (at the start %s) after %s s, %s CPU ms in the next second\n' \
    "$(thread_count "$server_pid")" "$1" "$(socket_count "$server_pid")" "$2" "$waited" \
    "$((($(cpu_ticks "$server_pid") - ticks) * 1000 / $(getconf CLK_TCK)))"
}

# Sets `fitting` to COUNT, or to as many connections as the server's descriptors allow (saying so).
fit_count() {
  fitting=$1
  if [ "$1" -gt "$room" ]; then
    echo "the server process can hold $room of the $1 connections asked for: its descriptor limit is $(ulimit -n)"
    fitting=$room
  fi
}

measure_broadcast() {
  echo "broadcast of 100 octets to $broadcast WebSocket connections, loops engine only (the thread engine would run" \
    "one thread per connection); $(nproc) cores, descriptors per process: $(ulimit -n) ($descriptor_note)"
  fit_count "$broadcast"
  start_server $(engine_options loops)
  local rss_before
  rss_before=$(resident_kib "$server_pid")
  open_clients ws "$fitting" / --broadcast 100
  echo "open: $clients_open connections from ${#client_pids[@]} client processes${clients_stopped:+ (a client stopped: $clients_stopped)};" \
    "server: $(thread_count "$server_pid") threads, $(descriptor_count "$server_pid") descriptors," \
    "$(per_connection "$(resident_kib "$server_pid")" "$rss_before") KiB resident per connection"
  kill -USR1 "$server_pid"
  wait_client_lines '^received' 600
  for _ in $(seq 100); do grep -q '^broadcast' "$work/server" && break; sleep 0.1; done
  local called returned
  read -r _ called returned <"$work/server"
  # Over all client processes: the last kernel arrival, the last read, the CPU seconds.
  cat "$work"/clients_* | awk -v called="$called" -v returned="$returned" '
    /^received/ { if ($3 > arrival) arrival = $3; if ($4 > read) read = $4; cpu += $5 }
    END {
      if (!arrival) { print "the kernel gave no receive time stamps"; exit 1 }
      printf "the last connection received it %.1f ms after the call (Broadcast returned after %.1f ms)\n",
        (arrival - called) / 1e6, (returned - called) / 1e6
      printf "the clients read the last one %.1f ms after the call and used %.0f CPU ms reading\n",
        (read - called) / 1e6, cpu * 1000
    }'
  release_clients
  stop_server
}

if [ "$broadcast" -gt 0 ]; then
  measure_broadcast
  exit 0
fi
fit_count "$connections"
connections=$fitting
echo "$connections idle connections per kind and engine, held ${hold} s, h2load ${load} s, $(nproc) cores," \
  "descriptors per process: $(ulimit -n) ($descriptor_note)"
printf '%-8s %-7s %6s %6s %6s %7s %7s %8s %7s %8s %8s   %s\n' engine kind open "open s" kept threads held \
  wake-ups "CPU ms" KiB/conn fds/conn "target wake-ups, memory"
for engine in "${engines[@]}"; do
  for kind in http1 ws h2-tls; do measure_idle "$engine" "$kind"; done
done
