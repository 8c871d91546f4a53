# Sourced by the benchmarks in bench/. It finds or builds what they run, starts background processes and
# stops them again by their own process ids, and tears everything down when the script ends, whichever
# way it ends. A script sets `prog` and may set `on_exit_hook`, a function that teardown runs once the
# background processes are stopped (the network namespaces go last, after what ran inside them).

bench_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$bench_dir/.." && pwd)
build_dir=${KESTRUM_BENCH_BUILD:-$root/build/bench}
figures=("python3" "$bench_dir/figures.py")
bg_pids=()
on_exit_hook=
work=

die() {
  echo "$prog: $*" >&2
  exit 1
}

note() { echo "$prog: $*" >&2; }

# Every background process that a script starts, stopped by its pid: TERM first, KILL after 3 seconds.
stop_pid() {
  local pid=$1 i
  kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for i in $(seq 1 30); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

teardown() {
  local rc=$?
  trap - EXIT INT TERM
  local pid
  for pid in "${bg_pids[@]}"; do stop_pid "$pid"; done
  if [ -n "$on_exit_hook" ]; then "$on_exit_hook" || true; fi
  if [ -n "$work" ] && [ -d "$work" ]; then
    if [ "${keep_work:-0}" = 1 ]; then note "raw outputs kept in $work"; else rm -rf "$work"; fi
  fi
  exit "$rc"
}

begin() {
  trap teardown EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  work=$(mktemp -d /tmp/kestrum-bench.XXXXXX) || die "cannot make a work directory"
}

need_tools() {
  local t
  for t in "$@"; do
    command -v "$t" >/dev/null 2>&1 || die "$t is missing (scripts/setup --bench installs what the benchmarks use)"
  done
}

# start_bg LOG CMD... : runs CMD in the background with its output in LOG; its pid is in $last_pid.
start_bg() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 &
  last_pid=$!
  bg_pids+=("$last_pid")
}

# wait_listen PORT [NETNS]: until something listens on the TCP port (5 seconds at most).
wait_listen() {
  local port=$1 ns=${2:-} i
  for i in $(seq 1 50); do
    if [ -n "$ns" ]; then
      ip netns exec "$ns" ss -Htln "sport = :$port" | grep -q . && return 0
    else
      ss -Htln "sport = :$port" | grep -q . && return 0
    fi
    sleep 0.1
  done
  return 1
}

# Every background process still running? A Ctrl-C from the terminal reaches the servers (they share the
# script's process group) but not a client under `timeout`, which runs in a group of its own; bash then
# takes the interrupt as the client's business and goes on. The scripts call this before each transfer,
# so an interrupt, or a server that died, ends the run after the transfer in progress.
check_servers() {
  local pid
  for pid in "${bg_pids[@]}"; do
    kill -0 "$pid" 2>/dev/null || die "a server has stopped (interrupted?); giving up"
  done
}

port_busy() { ss -Htln "sport = :$1" | grep -q .; }

# Builds the library, the server and, when it can, the kestrum command into the benchmarks' own build
# directory. Without the command (not in the tree, or not building right now) the small host in
# bench/transfer.cpp stands in for it; it makes the same library calls and prints the same JSON line.
# Sets `server` and `client`.
build_tools() {
  local want_client=$1 no_build=$2
  local log=$work/build.log
  if [ "$no_build" = 0 ]; then
    need_tools cmake ninja
    cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUM_BUILD_TESTS=OFF >"$log" 2>&1 ||
      { cat "$log" >&2; die "configuring $build_dir failed"; }
    cmake --build "$build_dir" --target brimvale-kestrum kestrum-server >>"$log" 2>&1 ||
      { tail -n 30 "$log" >&2; die "building the library and kestrum-server failed"; }
  fi
  server=$build_dir/server/kestrum-server
  [ -x "$server" ] || die "no $server (run without --no-build)"
  local cli_ok=0
  if [ "$want_client" != transfer ]; then
    if [ "$no_build" = 1 ]; then
      [ -x "$build_dir/cli/kestrum" ] && cli_ok=1
    elif cmake --build "$build_dir" --target kestrum >>"$log" 2>&1; then
      cli_ok=1
    fi
  fi
  if [ "$cli_ok" = 1 ]; then
    client=$build_dir/cli/kestrum
  else
    [ "$want_client" = cli ] && die "the kestrum command is not available (see $log)"
    build_program transfer "$no_build"
    client=$program
  fi
}

# build_program NAME NO_BUILD: builds bench/NAME.cpp, one of the benchmarks' small programs (a host of the
# library, or a helper on the network kit), in the build directory that build_tools set up, or with
# NO_BUILD 1 takes the one already there. Sets `program` to its path.
build_program() {
  local name=bench-$1 no_build=${2:-0} log=$work/build.log
  program=$build_dir/bench/$name
  if [ "$no_build" = 0 ]; then
    cmake --build "$build_dir" --target "$name" >>"$log" 2>&1 ||
      { tail -n 20 "$log" >&2; die "building $name failed"; }
  fi
  [ -x "$program" ] || die "no $program (run without --no-build)"
}

# What the figures were measured on, so that a reader can judge the noise.
print_context() {
  echo "# $(date -u '+%Y-%m-%d %H:%M:%S UTC')  commit $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '?')" \
    " kernel $(uname -r)  cores $(nproc)"
  echo "# $(iperf3 --version 2>/dev/null | head -n 1)  client: ${client#"$root"/}  server: ${server#"$root"/}"
  echo "# load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
}

print_load_end() { echo "# load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"; }
