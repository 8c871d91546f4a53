#!/usr/bin/env bash
# Runs a Windows program under Wine against kestrum-server built for this machine: the server runs
# natively on 127.0.0.1, the program and the DLL under Wine, and they meet on loopback as two machines
# would on a network.
#
#   with_native_server.sh SERVER [--expect REGEX] COMMAND [ARG...]
#
# Every @PORT@ in the arguments becomes the server's port. The exit status is the command's; with
# --expect, its output must also match REGEX (grep -E). Exits 77 (ctest: skipped) when SERVER has not
# been built; scripts/test-windows builds it.
set -uo pipefail

server=$1
shift
expect=
if [ "${1:-}" = "--expect" ]; then
  expect=$2
  shift 2
fi

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
  "$server" --port "$candidate" --bind 127.0.0.1 --quiet &
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

args=()
for a in "$@"; do args+=("${a//@PORT@/$port}"); done
out=$(timeout 120 "${args[@]}" </dev/null 2>&1)
rc=$?
printf '%s\n' "$out"
if [ "$rc" -eq 0 ] && [ -n "$expect" ] && ! grep -Eq -- "$expect" <<<"$out"; then
  echo "the output does not match: $expect"
  rc=1
fi
exit "$rc"
