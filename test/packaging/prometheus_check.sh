#!/usr/bin/env bash
# The metrics file as Prometheus itself sees it. Starts Debian's prometheus-node-exporter with only its
# textfile collector on a folder of ours, and Debian's prometheus scraping it every second; runs
#   kestrum --repeat 2 --interval 1 --json --metrics-file FOLDER/kestrum.prom
# against the bundled server; checks the file with `promtool check metrics`; then asks Prometheus' HTTP
# API for kestrum_download_bytes_per_second and compares it with the last run's download_mbps x 125000.
# Loopback only, ports picked free, every wait bounded, every process stopped at the end.
#
#   prometheus_check.sh KESTRUM_BINARY
set -euo pipefail
kestrum=${1:?usage: prometheus_check.sh KESTRUM_BINARY}
for tool in prometheus prometheus-node-exporter promtool python3; do
  command -v "$tool" >/dev/null || { echo "prometheus_check: $tool is not installed (scripts/setup installs it)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/kestrum-prometheus.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "prometheus_check: $*" >&2
  for log in "$work"/*.log; do [ -s "$log" ] && { echo "--- $log" >&2; tail -n 20 "$log" >&2; }; done
  exit 1
}

# Two free loopback ports: bound by the kernel's choice, released just before the servers take them.
read -r port_exporter port_prometheus < <(python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')

# GET URL; prints the body, or fails after the given number of seconds.
http_get() {
  python3 - "$1" <<'PY'
import sys, urllib.request
with urllib.request.urlopen(sys.argv[1], timeout=2) as r:
    sys.stdout.write(r.read().decode())
PY
}
wait_http() {  # url seconds what
  local i
  for i in $(seq 1 $(($2 * 10))); do
    http_get "$1" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  fail "$3 did not answer at $1 within $2 s"
}

mkdir -p "$work/textfile" "$work/tsdb"
prometheus-node-exporter --web.listen-address="127.0.0.1:$port_exporter" --collector.disable-defaults \
  --collector.textfile --collector.textfile.directory="$work/textfile" >"$work/node-exporter.log" 2>&1 &
pids+=($!)
cat >"$work/prometheus.yml" <<YML
global:
  scrape_interval: 1s
  evaluation_interval: 1s
scrape_configs:
  - job_name: node
    static_configs:
      - targets: ["127.0.0.1:$port_exporter"]
YML
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
  --web.listen-address="127.0.0.1:$port_prometheus" >"$work/prometheus.log" 2>&1 &
pids+=($!)
wait_http "http://127.0.0.1:$port_exporter/metrics" 30 "node_exporter"
wait_http "http://127.0.0.1:$port_prometheus/-/ready" 60 "prometheus"

metrics=$work/textfile/kestrum.prom
timeout 120 "$kestrum" --repeat 2 --interval 1 -t 1 --json --metrics-file "$metrics" \
  >"$work/kestrum.out" 2>"$work/kestrum.log" || fail "kestrum failed"
[ "$(grep -c '^{' "$work/kestrum.out")" = 2 ] || fail "kestrum printed $(grep -c '^{' "$work/kestrum.out") result lines, not 2"
[ -s "$metrics" ] || fail "no metrics file at $metrics"
ls -A "$work/textfile" | grep -qv '^kestrum.prom$' && fail "a temporary file was left: $(ls -A "$work/textfile")"

lint=$(promtool check metrics <"$metrics" 2>&1) || fail "promtool check metrics failed: $lint"
[ -z "$lint" ] || fail "promtool check metrics reports: $lint"

expected=$(python3 -c '
import json, sys
lines = [l for l in open(sys.argv[1]) if l.startswith("{")]
print(repr(json.loads(lines[-1])["download_mbps"] * 125000))' "$work/kestrum.out")

# The second run's file is scraped within a second or two of being written; ask until Prometheus has it.
query="http://127.0.0.1:$port_prometheus/api/v1/query?query=kestrum_download_bytes_per_second"
seen=
for i in $(seq 1 150); do
  seen=$(http_get "$query" 2>/dev/null | python3 -c '
import json, sys
d = json.load(sys.stdin)["data"]["result"]
print(d[0]["value"][1] if d else "")' || true)
  if [ -n "$seen" ] && python3 -c 'import sys; a, b = map(float, sys.argv[1:]); sys.exit(0 if abs(a - b) <= 1e-9 * max(1.0, abs(b)) else 1)' "$seen" "$expected"; then
    runs=$(http_get "http://127.0.0.1:$port_prometheus/api/v1/query?query=kestrum_runs_total%7Bresult%3D%22ok%22%7D" |
      python3 -c 'import json, sys; d = json.load(sys.stdin)["data"]["result"]; print(d[0]["value"][1] if d else "")')
    [ "$runs" = 2 ] || fail "kestrum_runs_total{result=\"ok\"} is '$runs', not 2"
    echo "prometheus_check: Prometheus holds kestrum_download_bytes_per_second $seen = download_mbps x 125000 ($expected); runs_total ok 2; promtool clean"
    exit 0
  fi
  sleep 0.2
done
fail "Prometheus never held kestrum_download_bytes_per_second = $expected (last seen: '${seen:-nothing}')"
