#!/usr/bin/env python3
"""Reading and tabling for the benchmarks in bench/: one small command per job, so that the shell scripts
keep only the running of things.

  figures.py kestrum FILE download|upload         Mbit/s from the kestrum command's JSON line
  figures.py iperf3 FILE receiver|sender [bytes]  Mbit/s (or bytes) from iperf3 --json output
  figures.py upload-stats FILE SKIP               bytes, seconds and Mbit/s of the first upload line of a
                                                  kestrum-server --stats log after its first SKIP lines
  figures.py cpu OUT LIMIT -- CMD...              runs CMD (at most LIMIT seconds), writes its user and
                                                  system CPU seconds to OUT, exits with CMD's status
  figures.py table loopback|netns|cost TSV        the closing table of a benchmark from its rows

Rates are megabits per second, 1 Mbit = 1,000,000 bits, as the library reports them.
"""
import json
import os
import re
import signal
import statistics
import subprocess
import sys
import time


def fail(message):
    print(f"figures.py: {message}", file=sys.stderr)
    sys.exit(1)


def kestrum_rate(path, direction):
    with open(path) as f:
        lines = [line for line in f.read().splitlines() if line.startswith("{")]
    if not lines:
        fail(f"{path}: no JSON line from kestrum")
    doc = json.loads(lines[-1])
    if doc.get("phase") != "complete":
        fail(f"{path}: the {direction} did not complete: {lines[-1]}")
    print(repr(float(doc[f"{direction}_mbps"])))


def iperf3_figure(path, side, what):
    with open(path) as f:
        doc = json.load(f)
    if "error" in doc:
        fail(f"{path}: iperf3 says: {doc['error']}")
    total = doc["end"]["sum_received" if side == "receiver" else "sum_sent"]
    if what == "bytes":
        print(int(total["bytes"]))
    else:
        print(repr(total["bits_per_second"] / 1e6))


UPLOAD_LINE = re.compile(r"upload from \S+: (\d+) bytes received in ([0-9.]+) s first to last byte, "
                         r"([0-9.]+) Mbit/s")


def upload_stats(path, skip):
    with open(path, errors="replace") as f:
        lines = f.read().splitlines()[int(skip):]
    for line in lines:
        m = UPLOAD_LINE.search(line)
        if m:
            print(m.group(1), m.group(2), m.group(3))
            return
    sys.exit(3)  # not there (yet): the caller polls


def cpu(out, limit, cmd):
    # wait4 gives the child's own user and system time to the microsecond, with no extra package and no
    # sampling; the child is killed if it outlives its limit.
    start = time.monotonic()
    proc = subprocess.Popen(cmd)
    deadline = start + float(limit)
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid == proc.pid:
            break
        if time.monotonic() > deadline:
            proc.send_signal(signal.SIGKILL)
            pid, status, usage = os.wait4(proc.pid, 0)
            break
        time.sleep(0.01)
    with open(out, "w") as f:
        f.write(f"{usage.ru_utime!r} {usage.ru_stime!r} {time.monotonic() - start!r}\n")
    code = os.waitstatus_to_exitcode(status)
    sys.exit(code if code >= 0 else 128 - code)


def read_rows(path):
    rows = []
    with open(path) as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                rows.append(line.rstrip("\n").split("\t"))
    return rows


def med(values):
    return statistics.median(values) if values else float("nan")


def ratio(a, b):
    return a / b if b else float("nan")


def table_loopback(rows):
    # rows: round, direction, tool, mbps
    print(f"{'direction':<10} {'rounds':>6} {'kestrum Mbit/s':>15} {'iperf3 Mbit/s':>14} {'kestrum/iperf3':>15}")
    for direction in ("download", "upload"):
        k = [float(r[3]) for r in rows if r[1] == direction and r[2] == "kestrum"]
        i = [float(r[3]) for r in rows if r[1] == direction and r[2] == "iperf3"]
        if not k and not i:
            continue
        mk, mi = med(k), med(i)
        print(f"{direction:<10} {min(len(k), len(i)):>6} {mk:>15.1f} {mi:>14.1f} {ratio(mk, mi):>15.3f}")
    print("(medians; iperf3 figure: its receiver line)")


def table_netns(rows):
    # rows: rate, round, direction, tool, mbps [, server_mbps, client_bytes, server_bytes]
    rates = []
    for r in rows:
        if r[0] not in rates:
            rates.append(r[0])
    print(f"{'link':<8} {'direction':<9} {'rounds':>6} {'iperf3 rcv':>11} {'kestrum':>9} {'k/iperf3':>9} "
          f"{'server-side':>12} {'s/iperf3':>9} {'overshoot':>10}")
    for rate in rates:
        for direction in ("download", "upload"):
            sel = [r for r in rows if r[0] == rate and r[2] == direction]
            k = [float(r[4]) for r in sel if r[3] == "kestrum"]
            i = [float(r[4]) for r in sel if r[3] == "iperf3"]
            if not k and not i:
                continue
            mk, mi = med(k), med(i)
            line = (f"{rate:<8} {direction:<9} {min(len(k), len(i)):>6} {mi:>11.2f} {mk:>9.2f} "
                    f"{(ratio(mk, mi) - 1) * 100:>+8.2f}%")
            if direction == "upload":
                srv = [float(r[5]) for r in sel if r[3] == "kestrum" and len(r) > 5 and r[5] != "-"]
                over = [int(r[6]) - int(r[7]) for r in sel if r[3] == "kestrum" and len(r) > 7 and r[7] != "-"]
                if srv:
                    ms = med(srv)
                    line += f" {ms:>12.2f} {(ratio(ms, mi) - 1) * 100:>+8.2f}%"
                    line += f" {med(over) / 1e6:>7.3f} MB" if over else f" {'-':>10}"
                else:
                    line += f" {'-':>12} {'-':>9} {'-':>10}"
            print(line)
    print("(Mbit/s, medians; k/iperf3 and s/iperf3: kestrum's and the server-side figure against iperf3's\n"
          " receiver figure; overshoot: bytes the client counted minus bytes the server received, median)")


def table_cost(rows):
    # rows: round, direction, tool, user_s, sys_s, bytes
    print(f"{'direction':<10} {'tool':<8} {'rounds':>6} {'GB moved':>9} {'user s':>8} {'sys s':>8} "
          f"{'CPU s/GB':>9}")
    per_gb = {}
    for direction in ("download", "upload"):
        for tool in ("kestrum", "iperf3"):
            sel = [r for r in rows if r[1] == direction and r[2] == tool]
            if not sel:
                continue
            gb = [int(r[5]) / 1e9 for r in sel]
            user = [float(r[3]) for r in sel]
            sys_ = [float(r[4]) for r in sel]
            cost = [(u + s) / g for u, s, g in zip(user, sys_, gb) if g > 0]
            per_gb[(direction, tool)] = med(cost)
            print(f"{direction:<10} {tool:<8} {len(sel):>6} {med(gb):>9.2f} {med(user):>8.3f} {med(sys_):>8.3f} "
                  f"{med(cost):>9.4f}")
    for direction in ("download", "upload"):
        if (direction, "kestrum") in per_gb and (direction, "iperf3") in per_gb:
            print(f"{direction}: kestrum/iperf3 CPU per GB = "
                  f"{ratio(per_gb[(direction, 'kestrum')], per_gb[(direction, 'iperf3')]):.3f}")
    print("(medians over rounds; CPU s/GB is user+sys of the client process per 10^9 bytes it moved)")


def main(argv):
    if len(argv) < 2 or argv[1] in ("-h", "--help"):
        print(__doc__.strip())
        return
    cmd, args = argv[1], argv[2:]
    if cmd == "kestrum" and len(args) == 2:
        kestrum_rate(*args)
    elif cmd == "iperf3" and len(args) in (2, 3):
        iperf3_figure(args[0], args[1], args[2] if len(args) == 3 else "mbps")
    elif cmd == "upload-stats" and len(args) == 2:
        upload_stats(*args)
    elif cmd == "cpu" and len(args) >= 4 and args[2] == "--":
        cpu(args[0], args[1], args[3:])
    elif cmd == "table" and len(args) == 2:
        {"loopback": table_loopback, "netns": table_netns, "cost": table_cost}[args[0]](read_rows(args[1]))
    else:
        fail(f"bad arguments: {' '.join(argv[1:])} (see --help)")


if __name__ == "__main__":
    main(sys.argv)
