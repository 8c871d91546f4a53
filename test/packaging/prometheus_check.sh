#!/usr/bin/env bash
# The metrics file as Prometheus itself sees it, across the separate runs a timer makes. Starts Debian's
# prometheus-node-exporter with only its textfile collector on a folder of ours, and Debian's prometheus
# scraping it every second with packaging/prometheus/kestrum.rules.yml loaded. Then three separate
# kestrum processes share one state file against a kestrum-server on a free port, the second while the
# server is stopped (a closed port). Prometheus' API must then show
#   - kestrum_runs_total ok 2 and failed 1, and kestrum_last_run_success 0 after the second run, 1 after
#     the third (and 1, 0, 1 in its range);
#   - the last download equal to the third run's download_mbps x 125000;
#   - the download series without a gap at the failed run: a range query, one point a second, has the
#     series at every second at which node_exporter was scraped;
#   - data for every query of the Grafana dashboard (packaging/grafana/kestrum.json), with its server
#     variable's values, and every rule loaded and healthy.
# promtool check metrics must say nothing about the file, and nothing either about the file of a run
# whose host is not UTF-8. Loopback only, ports picked free, every wait bounded, every process stopped.
#
#   prometheus_check.sh KESTRUM_BINARY KESTRUM_SERVER_BINARY SOURCE_DIR
set -euo pipefail
kestrum=${1:?usage: prometheus_check.sh KESTRUM_BINARY KESTRUM_SERVER_BINARY SOURCE_DIR}
server_bin=${2:?usage: prometheus_check.sh KESTRUM_BINARY KESTRUM_SERVER_BINARY SOURCE_DIR}
src=${3:?usage: prometheus_check.sh KESTRUM_BINARY KESTRUM_SERVER_BINARY SOURCE_DIR}
for tool in prometheus prometheus-node-exporter promtool python3; do
  command -v "$tool" >/dev/null || { echo "prometheus_check: $tool is not installed (scripts/setup installs it)" >&2; exit 1; }
done
# Debian's python3 where there is one: a version manager's shim in PATH costs half a second a call, and
# the waits below call it every tenth of a second.
python3() { if [ -x /usr/bin/python3 ]; then /usr/bin/python3 "$@"; else command python3 "$@"; fi; }

work=$(mktemp -d /tmp/kestrum-prometheus.XXXXXX)
pids=()
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -n "$server_pid" ] && wait "$server_pid" 2>/dev/null || true
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "prometheus_check: $*" >&2
  for log in "$work"/*.log; do [ -s "$log" ] && { echo "--- $log" >&2; tail -n 20 "$log" >&2; }; done
  exit 1
}

# Three free loopback ports below the kernel's range for outgoing connections: the machine's other
# connections can never take one between our check and the server's bind, nor while kestrum-server is
# stopped and started again on its port. Chosen at random, checked free by binding.
read -r port_exporter port_prometheus port_server < <(python3 -c '
import random, socket
low = int(open("/proc/sys/net/ipv4/ip_local_port_range").read().split()[0])
ports = []
for _ in range(1000):
    p = random.randrange(max(1024, low - 16384), low)
    s = socket.socket()
    try:
        s.bind(("127.0.0.1", p))
        if p not in ports:
            ports.append(p)
    except OSError:
        pass
    finally:
        s.close()
    if len(ports) == 3:
        break
print(*ports)')
[ -n "$port_server" ] || fail "no three free ports below the outgoing range"
api="http://127.0.0.1:$port_prometheus/api/v1"

# Prometheus' HTTP API, read by one helper:
#   q.py get URL                      the body
#   q.py instant EXPR                 one line per series: its labels as JSON, a tab, its value
#   q.py range EXPR START END         one line per series: its labels, a tab, its points as "time=value ..."
#   q.py labels NAME MATCH            the label's values on series matching MATCH, one a line
cat >"$work/q.py" <<PY
import json, sys, urllib.parse, urllib.request
api = "$api"
def get(url):
    with urllib.request.urlopen(url, timeout=5) as r:
        return r.read().decode()
def data(path, **params):
    d = json.loads(get(api + path + "?" + urllib.parse.urlencode(params)))
    if d.get("status") != "success":
        sys.exit("query failed: " + json.dumps(d))
    return d["data"]
what = sys.argv[1]
if what == "get":
    sys.stdout.write(get(sys.argv[2]))
elif what == "instant":
    for r in data("/query", query=sys.argv[2])["result"]:
        print(json.dumps(r["metric"], sort_keys=True) + "\t" + r["value"][1])
elif what == "range":
    for r in data("/query_range", query=sys.argv[2], start=sys.argv[3], end=sys.argv[4], step="1")["result"]:
        print(json.dumps(r["metric"], sort_keys=True) + "\t" + " ".join("%d=%s" % (t, v) for t, v in r["values"]))
elif what == "labels":
    print("\n".join(data("/label/%s/values" % sys.argv[2], **{"match[]": sys.argv[3]})))
PY
q() { python3 "$work/q.py" "$@"; }
value_of() { q instant "$1" 2>/dev/null | cut -f2 | head -n 1; }

wait_http() {  # url seconds what pid
  local i
  for i in $(seq 1 $(($2 * 10))); do
    q get "$1" >/dev/null 2>&1 && return 0
    kill -0 "$4" 2>/dev/null || fail "$3 exited before it answered at $1"
    sleep 0.1
  done
  fail "$3 did not answer at $1 within $2 s"
}
# Waits until Prometheus holds EXPR = VALUE (compared as numbers), at most 30 s.
wait_value() {  # expr value
  local i seen=
  for i in $(seq 1 150); do
    seen=$(value_of "$1")
    if [ -n "$seen" ] && python3 -c 'import sys; a, b = map(float, sys.argv[1:]); sys.exit(0 if abs(a - b) <= 1e-9 * max(1.0, abs(b)) else 1)' "$seen" "$2"; then
      return 0
    fi
    sleep 0.2
  done
  fail "Prometheus never held $1 = $2 within 30 s (last seen: '${seen:-nothing}')"
}

start_server() {
  "$server_bin" --bind 127.0.0.1 --port "$port_server" --quiet >>"$work/kestrum-server.log" 2>&1 &
  server_pid=$!
  python3 - "$port_server" <<'PY' || fail "kestrum-server did not listen on port $port_server within 10 s"
import socket, sys, time
end = time.monotonic() + 10
while time.monotonic() < end:
    try:
        socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=1).close()
        sys.exit(0)
    except OSError:
        time.sleep(0.05)
sys.exit(1)
PY
  kill -0 "$server_pid" 2>/dev/null || fail "kestrum-server exited at start"
}
stop_server() {
  kill "$server_pid"
  wait "$server_pid" 2>/dev/null || true
  server_pid=
}

mkdir -p "$work/textfile" "$work/tsdb" "$work/state"
prometheus-node-exporter --web.listen-address="127.0.0.1:$port_exporter" --collector.disable-defaults \
  --collector.textfile --collector.textfile.directory="$work/textfile" >"$work/node-exporter.log" 2>&1 &
pids+=($!)
exporter_pid=$!
cat >"$work/prometheus.yml" <<YML
global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files:
  - $src/packaging/prometheus/kestrum.rules.yml
scrape_configs:
  - job_name: node
    static_configs:
      - targets: ["127.0.0.1:$port_exporter"]
YML
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
  --web.listen-address="127.0.0.1:$port_prometheus" >"$work/prometheus.log" 2>&1 &
pids+=($!)
wait_http "http://127.0.0.1:$port_exporter/metrics" 30 "node_exporter" "$exporter_pid"
wait_http "http://127.0.0.1:$port_prometheus/-/ready" 60 "prometheus" "$!"

metrics=$work/textfile/kestrum.prom
state=$work/state/state
server="127.0.0.1:$port_server"
probe() {  # run number; the output goes to run-N.out, the messages to run-N.log
  timeout 60 "$kestrum" "$server" -t 1 --json --metrics-file "$metrics" --state-file "$state" \
    >"$work/run-$1.out" 2>"$work/run-$1.log"
}

start_server
probe 1 || fail "the first run failed"
wait_value 'kestrum_runs_total{result="ok"}' 1
# From the next whole second on Prometheus has the series; a few scrapes of it before the failed run.
now() { python3 -c 'import time; print(time.time())'; }
first_seen=$(python3 -c 'import math, sys; print(math.ceil(float(sys.argv[1])))' "$(now)")
sleep 2

stop_server
if probe 2; then fail "the run against the closed port succeeded"; fi
grep -q "^{" "$work/run-2.out" && fail "the failed run printed a result"
wait_value 'kestrum_last_run_success' 0
wait_value 'kestrum_runs_total{result="failed"}' 1
# When the failed run ended, as it wrote it; a few scrapes of its file before the next run.
failed_at=$(sed -n 's/^kestrum_last_run_timestamp_seconds{.*} //p' "$metrics")
sleep 2
third_at=$(now)

start_server
probe 3 || fail "the third run failed"
expected=$(python3 -c '
import json, sys
print(repr(json.loads(open(sys.argv[1]).readline())["download_mbps"] * 125000))' "$work/run-3.out")
wait_value 'kestrum_runs_total{result="ok"}' 2
wait_value 'kestrum_last_run_success' 1
wait_value 'kestrum_download_bytes_per_second' "$expected"
[ "$(value_of 'kestrum_runs_total{result="failed"}')" = 1 ] || fail "runs_total failed is not 1 after the third run"
# Two more scrapes after the third run, so that the range below ends well past it.
sleep 2
last_seen=$(python3 -c 'import time; print(int(time.time()))')

ls -A "$work/textfile" | grep -qv '^kestrum.prom$' && fail "a temporary file was left: $(ls -A "$work/textfile")"
lint=$(promtool check metrics <"$metrics" 2>&1) || fail "promtool check metrics failed: $lint"
[ -z "$lint" ] || fail "promtool check metrics reports: $lint"

# The download series across the failed run: at every second at which node_exporter was scraped (up 1),
# the series is there; the failed run lies inside the range.
q range 'kestrum_download_bytes_per_second' "$first_seen" "$last_seen" >"$work/download.range"
q range 'up{job="node"}' "$first_seen" "$last_seen" >"$work/up.range"
gap_check=(python3 - "$work/download.range" "$work/up.range" "$first_seen" "$failed_at" "$third_at" "$last_seen")
"${gap_check[@]}" <<'PY' || fail "the download series has a gap"
import sys
def points(path):
    lines = open(path).read().split("\n")
    lines = [l for l in lines if l]
    if len(lines) != 1:
        sys.exit("%s: %d series, not 1" % (path, len(lines)))
    return dict(p.split("=") for p in lines[0].split("\t")[1].split())
download, up = points(sys.argv[1]), points(sys.argv[2])
first, failed, third, last = map(float, sys.argv[3:])
scraped = sorted(int(t) for t, v in up.items() if v == "1")
missing = [t for t in scraped if str(t) not in download]
if missing:
    sys.exit("no download sample at %s (failed run at %.3f)" % (missing, failed))
# Scraped seconds while the failed run's file was the one served: the series was there then too.
during = [t for t in scraped if failed < t < third]
if not during:
    sys.exit("no scrape between the failed run (%.3f) and the next (%.3f) in %s" % (failed, third, scraped))
print("prometheus_check: download present at all %d scraped seconds from %d to %d, %d of them after the"
      " failed run at %.3f" % (len(scraped), first, last, len(during), failed))
PY
q range 'kestrum_last_run_success' "$((first_seen - 5))" "$last_seen" | python3 -c '
import sys
values = [p.split("=")[1] for p in sys.stdin.read().split("\t")[1].split()]
seen = [v for i, v in enumerate(values) if i == 0 or values[i - 1] != v]
sys.exit(0 if seen == ["1", "0", "1"] else "kestrum_last_run_success went " + " ".join(seen))' ||
  fail "kestrum_last_run_success did not go 1, 0, 1"

# Every query of the dashboard has data, with the server variable at "All" (its allValue); the variable's
# own query lists the server measured.
python3 -c '
import json, sys
d = json.load(open(sys.argv[1]))
all_value = [v for v in d["templating"]["list"] if v["name"] == "server"][0]["allValue"]
for p in d["panels"]:
    for t in p["targets"]:
        print(p["title"] + "\t" + t["expr"].replace("$server", all_value))' "$src/packaging/grafana/kestrum.json" >"$work/panels"
[ -s "$work/panels" ] || fail "the dashboard has no queries"
while IFS=$'\t' read -r title expr; do
  [ -n "$(q instant "$expr")" ] || fail "dashboard panel '$title': no data for $expr"
done <"$work/panels"
q labels server 'kestrum_runs_total' | grep -qx "$server" || fail "the dashboard's server variable does not list $server"

# Every rule loaded and evaluated without error (evaluated every second; allow a few).
for i in $(seq 1 50); do
  health=$(q get "$api/rules" | python3 -c '
import json, sys
rules = [r for g in json.load(sys.stdin)["data"]["groups"] for r in g["rules"]]
print(len(rules), " ".join(sorted(set(r["health"] for r in rules))))')
  [ "$health" = "5 ok" ] && break
  sleep 0.2
done
[ "$health" = "5 ok" ] || fail "the alert rules are not all loaded and healthy: $health"

# A host given as bytes that are not UTF-8 never reaches a label: the command refuses it as bad input
# (exit 2) before anything is measured or written, so there is no file Prometheus could not read. (The
# label's own escaping, for any host text, is checked in Cli.Metrics.)
odd=$work/odd.prom
status=0
timeout 30 "$kestrum" $'h\xff\x01st' --metrics-file "$odd" >/dev/null 2>"$work/odd.log" || status=$?
[ "$status" = 2 ] || fail "a host that is not UTF-8 was not refused as bad input (exit $status)"
[ -e "$odd" ] && fail "a metrics file was written for a host that is not UTF-8"

echo "prometheus_check: 3 separate runs, one state: runs_total ok 2 failed 1, last_run_success 1 0 1," \
  "download $expected = download_mbps x 125000, $(wc -l <"$work/panels") dashboard queries with data," \
  "5 rules healthy, promtool clean"
