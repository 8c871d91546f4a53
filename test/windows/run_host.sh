#!/usr/bin/env bash
# The Windows host against kestrum-server built for this machine: the server runs natively on 127.0.0.1,
# the host and the DLL under Wine, and they meet on loopback as two machines would on a network.
#
#   run_host.sh SERVER EMULATOR HOST_EXE DURATION_MS
#
# Exits 77 (ctest: skipped) when SERVER has not been built; scripts/test-windows builds it.
set -uo pipefail

server=$1
emulator=$2
host_exe=$3
duration_ms=$4

if [ ! -x "$server" ]; then
  echo "no native kestrum-server at $server (scripts/test-windows builds it)"
  exit 77
fi

server_pid=
stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
    server_pid=
  fi
}
trap stop_server EXIT

# A free port is not known in advance: try a few at random and keep the first the server can listen on,
# which the server shows by accepting a connection (it drops one that sends no command).
port=
for _ in 1 2 3 4 5; do
  candidate=$((20000 + RANDOM % 30000))
  "$server" --port "$candidate" --bind 127.0.0.1 &
  server_pid=$!
  for _ in $(seq 1 100); do
    if ! kill -0 "$server_pid" 2>/dev/null; then break; fi
    if timeout 1 bash -c ": >/dev/tcp/127.0.0.1/$candidate" 2>/dev/null; then
      port=$candidate
      break
    fi
    sleep 0.1
  done
  [ -n "$port" ] && break
  stop_server
done
if [ -z "$port" ]; then
  echo "kestrum-server did not start listening on 127.0.0.1"
  exit 1
fi

timeout 120 "$emulator" "$host_exe" run 127.0.0.1 "$port" "$duration_ms"
