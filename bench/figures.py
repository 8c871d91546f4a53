#!/usr/bin/env python3
"""Reading and tabling for the benchmarks in bench/: one small command per job, so that the shell scripts
keep only the running of things.

  figures.py kestrum FILE download|upload         Mbit/s from the kestrum command's JSON line
  figures.py iperf3 FILE receiver|sender [bytes]  Mbit/s (or bytes) from iperf3 --json output
  figures.py upload-stats FILE SKIP               bytes, seconds and Mbit/s of the first upload line of a
                                                  kestrum-server --stats log after its first SKIP lines
  figures.py progress FILE LABEL FROM TRUTH      the progress reports LABEL of bench-transfer --progress
                                                  from FROM percent on, against TRUTH Mbit/s: their
                                                  count and the largest distance in percent, signed
  figures.py cpu OUT LIMIT -- CMD...              runs CMD (at most LIMIT seconds), writes its user and
                                                  system CPU seconds to OUT, exits with CMD's status
  figures.py table loopback|limit|netns|cost TSV  the closing table of a benchmark from its rows

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


def progress(path, label, from_percent, truth):
    truth = float(truth)
    worst, count = 0.0, 0
    with open(path, errors="replace") as f:
        for line in f:
            parts = line.split()
            if len(parts) != 4 or parts[0] != "progress" or parts[1] != label:
                continue
            if int(parts[2]) < int(from_percent):
                continue
            count += 1
            off = (float(parts[3]) / truth - 1) * 100 if truth > 0 else float("nan")
            if not abs(off) <= abs(worst):
                worst = off
    if count == 0:
        sys.exit(3)
    print(count, repr(worst))


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


def table_limit(rows):
    # rows: round, direction, tool (kestrum or limit), mbps
    print(f"{'direction':<10} {'rounds':>6} {'kestrum Mbit/s':>15} {'limit Mbit/s':>13} {'kestrum/limit':>14}"
          f" {'rounds from':>12} {'to':>6}")
    for direction in ("download", "upload"):
        k = {r[0]: float(r[3]) for r in rows if r[1] == direction and r[2] == "kestrum"}
        lim = {r[0]: float(r[3]) for r in rows if r[1] == direction and r[2] == "limit"}
        if not k and not lim:
            continue
        shares = [k[r] / lim[r] for r in k if r in lim and lim[r]]
        mk, ml = med(list(k.values())), med(list(lim.values()))
        lo = min(shares) if shares else float("nan")
        hi = max(shares) if shares else float("nan")
        print(f"{direction:<10} {len(shares):>6} {mk:>15.1f} {ml:>13.1f} {ratio(mk, ml):>14.3f} {lo:>12.3f} {hi:>6.3f}")
    print("(medians; kestrum/limit is the median of kestrum over the median of the limit; 'rounds from .. to'\n"
          " is the lowest and highest share of a round, kestrum over the limit measured beside it)")


def table_netns(rows):
    # rows: link, round, direction, tool, mbps [, server_mbps, server_bytes, server_seconds
    #       [, progress_reports, progress_worst_percent]]
    rates = []
    for r in rows:
        if r[0] not in rates:
            rates.append(r[0])
    print(f"{'link':<11} {'direction':<9} {'rounds':>6} {'iperf3 rcv':>11} {'kestrum':>9} {'k/iperf3':>9} "
          f"{'server-side':>12} {'s/iperf3':>9} {'k/server':>9} {'server span':>12} {'reports>=20%':>13}")
    for rate in rates:
        for direction in ("download", "upload"):
            sel = [r for r in rows if r[0] == rate and r[2] == direction]
            k = [float(r[4]) for r in sel if r[3] == "kestrum"]
            i = [float(r[4]) for r in sel if r[3] == "iperf3"]
            if not k and not i:
                continue
            mk, mi = med(k), med(i)
            line = (f"{rate:<11} {direction:<9} {min(len(k), len(i)):>6} {mi:>11.2f} {mk:>9.2f} "
                    f"{(ratio(mk, mi) - 1) * 100:>+8.2f}%")
            with_server = [r for r in sel if r[3] == "kestrum" and len(r) > 7 and r[5] != "-"]
            if direction == "upload" and with_server:
                ms = med([float(r[5]) for r in with_server])
                over = med([(float(r[4]) / float(r[5]) - 1) * 100 for r in with_server if float(r[5]) > 0])
                span = med([float(r[7]) for r in with_server])
                line += f" {ms:>12.2f} {(ratio(ms, mi) - 1) * 100:>+8.2f}% {over:>+8.2f}% {span:>10.3f} s"
                prog = [float(r[9]) for r in with_server if len(r) > 9 and r[9] != "-"]
                if prog:
                    # the worst report of the worst round, not a median: every report must hold
                    line += f" {max(prog, key=abs):>+12.2f}%"
            print(line)
    print("(Mbit/s, medians. k/iperf3, s/iperf3: kestrum's client figure and the server-side figure against\n"
          " iperf3's receiver figure. k/server: the client's figure against the server's for the same upload.\n"
          " server span: first to last byte received. reports>=20%: of every upload progress report from\n"
          " 20% on, the one farthest from the server-side figure of its transfer, over all rounds.)")


def table_cost(rows):
    # rows: round, direction, tool, client_user_s, client_sys_s, bytes, server_s
    print(f"{'direction':<10} {'tool':<8} {'rounds':>6} {'GB moved':>9} {'user s':>7} {'sys s':>7} "
          f"{'client CPU s/GB':>16} {'server CPU s/GB':>16} {'both s/GB':>10}")
    client, both = {}, {}
    for direction in ("download", "upload"):
        for tool in ("kestrum", "iperf3"):
            sel = [r for r in rows if r[1] == direction and r[2] == tool and int(r[5]) > 0]
            if not sel:
                continue
            gb = [int(r[5]) / 1e9 for r in sel]
            user = [float(r[3]) for r in sel]
            sys_ = [float(r[4]) for r in sel]
            srv = [float(r[6]) for r in sel]
            c = [(u + s) / g for u, s, g in zip(user, sys_, gb)]
            sv = [v / g for v, g in zip(srv, gb)]
            b = [(u + s + v) / g for u, s, v, g in zip(user, sys_, srv, gb)]
            client[(direction, tool)], both[(direction, tool)] = med(c), med(b)
            print(f"{direction:<10} {tool:<8} {len(sel):>6} {med(gb):>9.2f} {med(user):>7.3f} {med(sys_):>7.3f} "
                  f"{med(c):>16.4f} {med(sv):>16.4f} {med(b):>10.4f}")
    for direction in ("download", "upload"):
        k, i = (direction, "kestrum"), (direction, "iperf3")
        if k in client and i in client:
            print(f"{direction}: kestrum/iperf3 client CPU per GB = {ratio(client[k], client[i]):.3f}, "
                  f"both ends = {ratio(both[k], both[i]):.3f}")
    print("(medians over rounds; CPU s/GB: user+sys seconds per 10^9 bytes the client moved; client from\n"
          " wait4, server from /proc/PID/stat in 10 ms ticks; user s and sys s are the client's)")


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
    elif cmd == "progress" and len(args) == 4:
        progress(*args)
    elif cmd == "cpu" and len(args) >= 4 and args[2] == "--":
        cpu(args[0], args[1], args[3:])
    elif cmd == "table" and len(args) == 2:
        {"loopback": table_loopback, "limit": table_limit, "netns": table_netns, "cost": table_cost}[args[0]](read_rows(args[1]))
    else:
        fail(f"bad arguments: {' '.join(argv[1:])} (see --help)")


if __name__ == "__main__":
    main(sys.argv)
