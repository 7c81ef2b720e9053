#!/usr/bin/env python3
"""Station benchmark: eight handsets at once against one alone.

velmora-cli in station mode updates N velmora-sim handsets (RFC 2217 on 127.0.0.1), each in a
velmora-cli of its own, and then one handset alone the same way. Each handset's time comes from
the station's summary (start of its process to its end), its CPU time from the same table.
Goal: the mean time per handset of the N-handset station is at most 1.05 times the single
run's. The mapping and handset are those of the whole-run benchmark (300 Eelite blocks, one
garbage collection).
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

# The mapping, the handset and the way the simulators are started are the whole-run
# benchmark's, so that the two benchmarks' figures compare.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from whole_run import (EELITE_CAPACITY, ERASE_MS, GARBAGE, MAP_OPTIONS,  # noqa: E402
                       REPLY_DELAY_US, raise_priority, start_sim, stop_sim)

GOAL = 1.05


def station(args, work, map_path, count, tag):
    profile = os.path.join(work, "handset.txt")
    with open(profile, "w") as f:
        f.write(f"state = service\nbaud = {args.baud}\neelite_capacity = {EELITE_CAPACITY}\n"
                f"garbage = {GARBAGE}\nreply_delay_us = {REPLY_DELAY_US}\nerase_ms = {ERASE_MS}\n")
    sims = [start_sim(args.sim, profile) for _ in range(count)]
    station_file = os.path.join(work, f"station_{tag}.txt")
    with open(station_file, "w") as f:
        for i, (_, port) in enumerate(sims):
            f.write(f"rfc2217://127.0.0.1:{port} {os.path.join(work, f'log_{tag}_{i + 1}.txt')}\n")
    try:
        out = subprocess.run([args.cli, "--map", map_path, "--baud", str(args.baud), "--station",
                              station_file], capture_output=True, text=True, cwd=work,
                             preexec_fn=raise_priority)
    finally:
        for proc, _ in sims:
            stop_sim(proc)
    rows = re.findall(r"^rfc2217://\S+\s+\S+\s+(\S+)\s+([\d.]+)s\s+([\d.]+)s", out.stdout, re.M)
    if out.returncode != 0 or len(rows) != count or any(r[0] != "succeeded" for r in rows):
        sys.stderr.write(out.stdout + out.stderr)
        raise RuntimeError(f"station of {count} did not succeed (exit {out.returncode})")
    return [float(r[1]) for r in rows], [float(r[2]) for r in rows]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--cli", required=True)
    ap.add_argument("--sim", required=True)
    ap.add_argument("--mapgen", required=True)
    ap.add_argument("--handsets", type=int, default=8)
    ap.add_argument("--baud", type=int, default=115200)
    ap.add_argument("--work")
    args = ap.parse_args()
    args.cli, args.sim, args.mapgen = (os.path.abspath(p) for p in (args.cli, args.sim, args.mapgen))
    work = args.work or tempfile.mkdtemp(prefix="velmora-station-")
    os.makedirs(work, exist_ok=True)
    map_path = os.path.join(work, "station.map")
    subprocess.check_call([args.mapgen] + MAP_OPTIONS + ["-o", map_path])

    # One handset alone before and after the station; the faster of the two is the reference,
    # so that a moment of the machine's other load does not flatter the station.
    alone, alone_cpu = station(args, work, map_path, 1, "alone")
    times, cpus = station(args, work, map_path, args.handsets, "many")
    again, again_cpu = station(args, work, map_path, 1, "alone_again")
    if again[0] < alone[0]:
        alone, alone_cpu = again, again_cpu
    mean = sum(times) / len(times)
    ratio = mean / alone[0]
    print(f"{args.baud} baud, 300 Eelite blocks with one garbage collection per handset; "
          f"machine: {os.cpu_count()} CPUs")
    print(f"one handset alone:   {alone[0]:7.2f} s, CPU {alone_cpu[0]:.2f} s (the faster of two runs)")
    print(f"{args.handsets} handsets at once: mean {mean:7.2f} s, slowest {max(times):.2f} s, "
          f"CPU per handset {sum(cpus) / len(cpus):.2f} s (max {max(cpus):.2f} s)")
    print(f"per-handset time ratio {ratio:.4f} (slowest {max(times) / alone[0]:.4f}; goal {GOAL})")
    return 0 if ratio <= GOAL else 1


if __name__ == "__main__":
    sys.exit(main())
