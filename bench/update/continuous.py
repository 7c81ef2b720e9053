#!/usr/bin/env python3
"""Continuous-station benchmark: sixteen ports taking handset after handset against one alone.

velmora-cli runs a continuous station (--continuous --count N --station FILE --serve) over 16
velmora-sim ports (RFC 2217 on 127.0.0.1), each of which plays an operator bringing N handsets
one after another, switched off on their boot adapters (--handsets N --next-after MS --state
off), with IMEIs of their own. The same station of one port is run before and after it. The
mapping and the handset are those of the whole-run benchmark (300 Eelite blocks, one garbage
collection per handset), at 115200 baud.

  (1) time per handset: each handset's run record (end - start: from the line finding it to its
      record) on the 16 ports, set against the same of the one port alone (the faster of its
      two stations). Both are lines of N handsets that wait switched off, so both runs find,
      connect, write and let go of a handset the same way. Goal: mean ratio at most 1.05.
  (2) appearance to first block, beyond the connect: velmora-sim tells (--log-times) when the
      operator put each handset there and when its first service request arrived; the run
      record tells when the line found it. A handset there from the start (the first on the
      port alone) gives the connect: record start to first service request. For every later
      handset of the 16 ports, appearance to first service request less that connect is the time
      the line took to notice it, plus whatever else the station costs. Goal: at most 0.5 s.
  (3) CPU per handset: the station summary's (velmora-cli's whole CPU time, looks between
      handsets included, per handset), and velmora-sim's, per handset, from /proc. No goal.
  (4) the live page's latency: an /events reader (stdlib only) notes, for each change of a
      port's state it sees (a new state_since_ms), its time of receipt less state_since_ms.
      The station reads its programs' event files every 100 ms and the page looks at the
      board every 50 ms, so a change is on the page within 150 ms plus the send: goal median
      at most 150 ms, 95th percentile at most 250 ms.

--quick: 4 ports of 2 handsets each with a 30-block map (no garbage collection), one station
alone, for a check that everything still runs; its figures are not the benchmark's.
"""

import argparse
import datetime
import json
import os
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

# The mapping, the handset and the way the simulators are started are the whole-run
# benchmark's, so that the figures compare with it and with the station benchmark.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import whole_run  # noqa: E402
from whole_run import (EELITE_CAPACITY, ERASE_MS, GARBAGE, MAP_OPTIONS,  # noqa: E402
                       REPLY_DELAY_US, priority_note, raise_priority, start_sim)

RATIO_GOAL = 1.05
BEYOND_CONNECT_GOAL_S = 0.5
PAGE_MEDIAN_GOAL_MS = 150
PAGE_P95_GOAL_MS = 250
# The ports' operators wait different times before the next handset (next_after + i x this
# spread / ports), so that the handsets come at different moments of the line's looks (four of
# them take about 1.75 s) rather than all at the same one.
NEXT_AFTER_SPREAD_MS = 1750
QUICK_MAP_OPTIONS = ["--blocks", "30", "--first-block", "1", "--min-size", "100", "--max-size",
                     "336", "--seed", "7"]

SIM_LINE = re.compile(r"^velmora-sim: handset (\d+) of \d+ \(IMEI (\d+)\) "
                      r"(connected|taken away|first service request) at (\d+\.\d{6})$")


def verdict(ok):
    return "PASS" if ok else "OVER GOAL"


def port_imei(index):
    """An IMEI of its own for each simulated port (a station updates an IMEI once): 14 digits
    with the port's number in them and their Luhn check digit; the port's later handsets count
    on from there."""
    body = f"35123456{index:02d}0000"
    total = 0
    for i, d in enumerate(reversed(body)):
        n = int(d) * (2 if i % 2 == 0 else 1)
        total += n - 9 if n > 9 else n
    return body + str((10 - total % 10) % 10)


def record_ms(text):
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").replace(
        tzinfo=datetime.timezone.utc).timestamp() * 1000


def sim_events(path):
    """{IMEI: {"handset": K, "connected"/"taken away"/"first service request": wall ms}}."""
    events = {}
    with open(path) as f:
        for line in f:
            m = SIM_LINE.match(line.strip())
            if m:
                e = events.setdefault(m.group(2), {"handset": int(m.group(1))})
                e[m.group(3)] = float(m.group(4)) * 1000
    return events


def cpu_seconds(pid):
    """A live process's CPU time (user + system), from /proc; None when it cannot be read."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError, ValueError):
        return None


class PageReader(threading.Thread):
    """Reads the station page's /events and, for each change of a port's state it sees, the
    time of receipt less the change's state_since_ms (both the wall clock, in ms)."""

    def __init__(self, host, port):
        super().__init__(daemon=True)
        self.host, self.port = host, port
        self.latencies = []  # (state, ms)
        self.frames = 0
        self.error = None

    def run(self):
        raise_priority()  # this thread only: it should wait for a core no longer than the station
        try:
            sock = socket.create_connection((self.host, self.port), timeout=10)
            sock.settimeout(None)
            sock.sendall(f"GET /events HTTP/1.1\r\nHost: {self.host}:{self.port}\r\n\r\n".encode())
            opened_ms = time.time() * 1000
            buf = b""
            head_done = False
            last = None
            while True:
                chunk = sock.recv(65536)
                received_ms = time.time() * 1000
                if not chunk:
                    break
                buf += chunk
                if not head_done:
                    if b"\r\n\r\n" not in buf:
                        continue
                    head, buf = buf.split(b"\r\n\r\n", 1)
                    if b" 200 " not in head.split(b"\r\n", 1)[0]:
                        raise RuntimeError(f"/events answered {head[:80]!r}")
                    head_done = True
                while b"\n\n" in buf:
                    event, buf = buf.split(b"\n\n", 1)
                    data = b"".join(line[5:].lstrip() for line in event.split(b"\n")
                                    if line.startswith(b"data:"))
                    if not data:
                        continue  # a keep-alive
                    self.frames += 1
                    snapshot = json.loads(data)
                    seen = [(p["state"], p["state_since_ms"]) for p in snapshot["ports"]]
                    if last is not None:
                        for before, now in zip(last, seen):
                            # Changes from before the stream opened would measure the wait for
                            # this reader, not the page.
                            if now != before and now[1] and now[1] >= opened_ms:
                                self.latencies.append((now[0], received_ms - now[1]))
                    last = seen
            sock.close()
        except Exception as e:  # noqa: BLE001  the benchmark reports it and goes on
            self.error = f"{type(e).__name__}: {e}"


def station(args, work, map_path, ports, tag, first_imei_index):
    """A continuous station of `ports` simulated ports; what its records, summary, simulators
    and page told."""
    profile = os.path.join(work, f"handset_{tag}.txt")
    with open(profile, "w") as f:
        f.write(f"state = off\nbaud = {args.baud}\neelite_capacity = {EELITE_CAPACITY}\n"
                f"garbage = {GARBAGE}\nreply_delay_us = {REPLY_DELAY_US}\nerase_ms = {ERASE_MS}\n"
                f"handsets = {args.handsets}\n")
    sim_logs = [os.path.join(work, f"sim_{tag}_{i + 1}.txt") for i in range(ports)]
    sims = []
    station_file = os.path.join(work, f"station_{tag}.txt")
    records = os.path.join(work, f"records_{tag}.jsonl")
    if os.path.exists(records):
        os.remove(records)
    reader = None
    out_lines = []
    sim_cpu = []
    try:
        for i, log in enumerate(sim_logs):
            with open(log, "w") as err:
                sims.append(start_sim(args.sim, profile, once=False, stderr=err,
                                      extra=["--log-times", "--imei", port_imei(first_imei_index + i),
                                             "--next-after", str(args.next_after + i * NEXT_AFTER_SPREAD_MS // ports)]))
        with open(station_file, "w") as f:
            for i, (_, port) in enumerate(sims):
                f.write(f"rfc2217://127.0.0.1:{port} {os.path.join(work, f'log_{tag}_{i + 1}.txt')}\n")
        started = time.monotonic()
        proc = subprocess.Popen([args.cli, "--map", map_path, "--baud", str(args.baud),
                                 "--continuous", "--count", str(args.handsets),
                                 "--report-append", records, "--serve", "127.0.0.1:0",
                                 "--station", station_file],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                cwd=work, preexec_fn=raise_priority)
        for line in proc.stdout:
            out_lines.append(line)
            m = re.match(r"Station page: http://([\d.]+):(\d+)", line)
            if m and reader is None:
                reader = PageReader(m.group(1), int(m.group(2)))
                reader.start()
        rc = proc.wait()
        wall_s = time.monotonic() - started
    finally:
        for proc_sim, _ in sims:
            sim_cpu.append(cpu_seconds(proc_sim.pid))
            proc_sim.terminate()
            proc_sim.wait()
    if reader is not None:
        reader.join(timeout=10)
    out = "".join(out_lines)

    rows = re.findall(r"^rfc2217://\S+\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s+([\d.]+)s\s+([\d.]+)s", out, re.M)
    with open(records) as f:
        recs = [json.loads(line) for line in f if line.strip()]
    events = {}
    for log in sim_logs:
        events.update(sim_events(log))
    problems = []
    if rc != 0:
        problems.append(f"the station ended with status {rc}")
    if len(rows) != ports or any(int(r[1]) != args.handsets for r in rows):
        problems.append("not every port updated all its handsets")
    if len(recs) != ports * args.handsets or any(r["outcome"] != "succeeded" for r in recs):
        problems.append(f"{len(recs)} records, not {ports * args.handsets} of handsets that succeeded")
    if any(r["garbage_collections"] != args.collections for r in recs):
        problems.append(f"not exactly {args.collections} garbage collection(s) per handset")
    if reader is None or reader.error:
        problems.append(f"the page's event stream: {reader.error if reader else 'no page address'}")
    if problems:
        sys.stderr.write(out)

    handsets = []
    for r in recs:
        e = events.get(r["imei"] or "", {})
        start, end = record_ms(r["start"]), record_ms(r["end"])
        h = {"port": r["port"], "imei": r["imei"], "k": e.get("handset"), "seconds": (end - start) / 1000,
             "start_ms": start, "appeared_ms": e.get("connected"), "first_ms": e.get("first service request")}
        if h["first_ms"] is None or (h["k"] != 1 and h["appeared_ms"] is None):
            problems.append(f"velmora-sim did not tell the times of IMEI {r['imei']}")
        handsets.append(h)
    return {
        "ports": ports, "problems": problems, "wall_s": wall_s, "handsets": handsets,
        "summary_per_handset": [float(r[4]) for r in rows], "cpu": [float(r[5]) for r in rows],
        "sim_cpu": sum(c for c in sim_cpu if c is not None) / max(len(recs), 1),
        "latencies": reader.latencies if reader else [], "frames": reader.frames if reader else 0,
    }


def mean(values):
    return sum(values) / len(values) if values else float("nan")


def percentile(values, q):
    """The q-th percentile (nearest rank) of a non-empty list."""
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, int(round(q / 100 * len(ordered) + 0.5)) - 1))]


def connect_s(run):
    """Record start to first service request of the handsets there from the start."""
    return [(h["first_ms"] - h["start_ms"]) / 1000 for h in run["handsets"] if h["k"] == 1 and h["first_ms"]]


def later(run):
    """(appearance to first service request, appearance to the record's start) in s, of each
    handset put there while the line was watching."""
    return [((h["first_ms"] - h["appeared_ms"]) / 1000, (h["start_ms"] - h["appeared_ms"]) / 1000)
            for h in run["handsets"] if h["k"] and h["k"] > 1 and h["first_ms"] and h["appeared_ms"]]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--cli", required=True)
    ap.add_argument("--sim", required=True)
    ap.add_argument("--mapgen", required=True)
    ap.add_argument("--ports", type=int, help="simulated ports of the station (default 16)")
    ap.add_argument("--handsets", type=int, help="handsets per port (default 3)")
    ap.add_argument("--next-after", type=int, default=2000,
                    help="ms from a handset taken away to the next one on the line (default 2000; "
                         "port i of n waits i x 1750 / n ms more)")
    ap.add_argument("--baud", type=int, default=115200)
    ap.add_argument("--quick", action="store_true",
                    help="4 ports x 2 handsets, a 30-block map, one station alone: a fast check")
    ap.add_argument("--sched", choices=["fifo", "nice", "none"], default="fifo",
                    help="as whole_run.py: shield the programs from the machine's other load")
    ap.add_argument("--work")
    args = ap.parse_args()
    whole_run.SCHED = args.sched
    args.ports = args.ports or (4 if args.quick else 16)
    args.handsets = args.handsets or (2 if args.quick else 3)
    args.collections = 0 if args.quick else 1
    args.cli, args.sim, args.mapgen = (os.path.abspath(p) for p in (args.cli, args.sim, args.mapgen))
    work = args.work or tempfile.mkdtemp(prefix="velmora-continuous-")
    os.makedirs(work, exist_ok=True)
    map_path = os.path.join(work, "continuous.map")
    subprocess.check_call([args.mapgen] + (QUICK_MAP_OPTIONS if args.quick else MAP_OPTIONS)
                          + ["-o", map_path])

    # One port alone before and, for the full benchmark, after the station; the faster is the
    # reference, so that a moment of the machine's other load does not flatter the station.
    alone_runs = [station(args, work, map_path, 1, "alone", 90)]
    many = station(args, work, map_path, args.ports, "many", 0)
    if not args.quick:
        alone_runs.append(station(args, work, map_path, 1, "alone_again", 91))
    failed = any(r["problems"] for r in alone_runs + [many])
    for r in alone_runs + [many]:
        for p in r["problems"]:
            print(f"PROBLEM ({r['ports']} port(s)): {p}")

    load = os.getloadavg()
    what = ("30 Eelite blocks, no garbage collection (--quick)" if args.quick
            else "300 Eelite blocks with one garbage collection")
    print(f"{args.baud} baud, {what} per handset; {args.handsets} handsets per port, each waiting "
          f"switched off, the next {args.next_after} ms (+ up to {NEXT_AFTER_SPREAD_MS} ms by port) after one "
          f"is taken away")
    print(f"machine: {os.cpu_count()} CPUs, load average {load[0]:.1f} {load[1]:.1f} {load[2]:.1f} "
          f"at the end; scheduling: {priority_note()}")

    # (1) Time per handset.
    alone_means = [mean([h["seconds"] for h in r["handsets"]]) for r in alone_runs]
    best = min(range(len(alone_runs)), key=lambda i: alone_means[i])
    alone = alone_runs[best]
    times = [h["seconds"] for h in many["handsets"]]
    ratio = mean(times) / alone_means[best]
    ok1 = ratio <= RATIO_GOAL
    print(f"\n(1) time per handset (run record, end - start)")
    print(f"    1 port alone:   {' / '.join(f'{m:.2f} s' for m in alone_means)} "
          f"(mean of its {args.handsets} handsets; station wall time "
          f"{' / '.join(f'{w:.0f} s' for w in (r['wall_s'] for r in alone_runs))})")
    print(f"    {args.ports} ports at once: mean {mean(times):.2f} s, slowest {max(times):.2f} s, "
          f"fastest {min(times):.2f} s (summary's per handset: mean "
          f"{mean(many['summary_per_handset']):.1f} s; station wall time {many['wall_s']:.0f} s)")
    print(f"    ratio {ratio:.4f} (slowest {max(times) / alone_means[best]:.4f}; goal {RATIO_GOAL}): "
          f"{verdict(ok1)}")
    # The simulated handsets run on the same machine: what the station and its simulators would
    # take at the single run's pace, against the cores there are, tells the program's share of a
    # slow-down from the machine's.
    wanted = args.ports * (alone["cpu"][0] + alone["sim_cpu"]) / alone_means[best]
    print(f"    CPU wanted at the single port's pace: {wanted:.1f} cores (velmora-cli "
          f"{args.ports * alone['cpu'][0] / alone_means[best]:.1f}, velmora-sim "
          f"{args.ports * alone['sim_cpu'] / alone_means[best]:.1f}) of the machine's {os.cpu_count()}")

    # (2) Appearance to first block beyond the connect.
    connects = [c for r in alone_runs for c in connect_s(r)]
    connect = min(connects)
    gaps = later(many)
    beyond = [g - connect for g, _ in gaps]
    noticed = [n for _, n in gaps]
    ok2 = bool(beyond) and max(beyond) <= BEYOND_CONNECT_GOAL_S
    alone_beyond = [g - connect for r in alone_runs for g, _ in later(r)]
    print(f"\n(2) appearance to first block command, beyond the connect")
    print(f"    connect of a handset there from the start (record start to first service request, "
          f"alone): {' / '.join(f'{c:.3f} s' for c in connects)}; the least, {connect:.3f} s, is taken off")
    print(f"    {len(gaps)} handsets put on the {args.ports} ports while they watched: appearance to "
          f"first block {mean([g for g, _ in gaps]):.3f} s mean")
    print(f"    noticing them (appearance to the run's start): mean {mean(noticed):.3f} s, "
          f"max {max(noticed):.3f} s")
    print(f"    beyond the connect: mean {mean(beyond):.3f} s, median {statistics.median(beyond):.3f} s, "
          f"max {max(beyond):.3f} s (goal {BEYOND_CONNECT_GOAL_S} s for each): {verdict(ok2)}")
    if alone_beyond:
        print(f"    (the same on 1 port alone: mean {mean(alone_beyond):.3f} s, max {max(alone_beyond):.3f} s)")

    # (3) CPU per handset.
    print(f"\n(3) CPU per handset (no goal): velmora-cli {mean(many['cpu']):.2f} s on {args.ports} ports "
          f"(max {max(many['cpu']):.2f} s), {alone['cpu'][0]:.2f} s alone; velmora-sim "
          f"{many['sim_cpu']:.2f} s on {args.ports} ports, {alone['sim_cpu']:.2f} s alone")

    # (4) The page's latency.
    lat = [ms for _, ms in many["latencies"]]
    ok4 = bool(lat) and statistics.median(lat) <= PAGE_MEDIAN_GOAL_MS and percentile(lat, 95) <= PAGE_P95_GOAL_MS
    print(f"\n(4) live page under {args.ports} busy ports: {len(lat)} state changes in {many['frames']} "
          f"/events snapshots; receipt - state_since_ms:")
    if lat:
        print(f"    median {statistics.median(lat):.0f} ms, 95th percentile {percentile(lat, 95):.0f} ms, "
              f"max {max(lat):.0f} ms (goal median <= {PAGE_MEDIAN_GOAL_MS} ms, 95th <= "
              f"{PAGE_P95_GOAL_MS} ms): {verdict(ok4)}")
    alone_lat = [ms for r in alone_runs for _, ms in r["latencies"]]
    if alone_lat:
        print(f"    (1 port alone: {len(alone_lat)} changes, median {statistics.median(alone_lat):.0f} ms, "
              f"95th percentile {percentile(alone_lat, 95):.0f} ms)")
    print(f"\nlogs, records and simulator output in {work}")
    if failed:
        print("RUNS HAD PROBLEMS")
    return 0 if ok1 and ok2 and ok4 and not failed else 1


if __name__ == "__main__":
    sys.exit(main())
