#!/usr/bin/env bash
# The command as built for Windows keeps its record between processes: starting from a damaged state,
# which it must set aside with a warning, two separate runs under Wine with one state file count two good
# runs in the metrics file. Run by with_native_server.sh, which gives the native server's port.
#
#   state_across_runs.sh EMULATOR KESTRUM_EXE PORT
set -euo pipefail
emulator=${1:?usage: state_across_runs.sh EMULATOR KESTRUM_EXE PORT}
exe=${2:?}
port=${3:?}
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrum-windows-state.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
printf 'not a state' >state
for run in 1 2; do
  timeout 120 "$emulator" "$exe" "127.0.0.1:$port" --only ping --count 2 --json --metrics-file k.prom \
    --state-file state >"run-$run.out" 2>"run-$run.err" || { cat "run-$run.err" >&2; exit 1; }
done
grep -q 'warning: state state: not JSON' run-1.err || { echo "no warning for the damaged state:" >&2; cat run-1.err >&2; exit 1; }
[ "$(cat state.corrupt)" = "not a state" ] || { echo "the damaged state was not set aside" >&2; exit 1; }
# Only kestrum's own messages count: Wine may add its "fixme" lines when WINEDEBUG does not silence it.
if grep -q '^kestrum:' run-2.err; then echo "the second run complained:" >&2; cat run-2.err >&2; exit 1; fi
grep -q "^kestrum_runs_total{server=\"127.0.0.1:$port\",result=\"ok\"} 2$" k.prom ||
  { echo "the two runs were not both counted:" >&2; cat k.prom >&2; exit 1; }
echo "state_across_runs: two processes, one state: runs_total ok 2; the damaged state set aside"
