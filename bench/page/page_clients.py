#!/usr/bin/env python3
"""Live-page benchmark: a continuous station on velmora-sim with its page under hostile clients.

A continuous station (velmora-cli --continuous --count N --station FILE --serve 127.0.0.1:0) of
PORTS simulated ports, each taking N handsets one after another (the mapping and the handset of
the whole-run benchmark: 300 Eelite blocks, one garbage collection, 115200 baud), is run three
times: with no page clients, with the clients below, and with none again.

The clients (a process of their own, one thread over non-blocking sockets, on loopback):
  - SLOW clients that send a request head one byte a second and, cut off at the head's
    deadline, connect again at once;
  - IDLE clients that connect and send nothing, and connect again at once when closed;
  - READERS that read /events and everything it sends.
They connect from loopback addresses of their own (127.0.10.x slow, 127.0.11.x idle, 127.0.12.x
readers), CLIENTS_PER_ADDRESS each: many hosts, each within the page's per-address cap. A
probe connects from 127.0.0.1 twice a second and gets / and then /state, each on a fresh
connection; it runs, as the station and the simulators, under the real-time FIFO policy
(--sched), the clients at the normal priority.

Figures, with their goals:
  (1) the probe: time from connect to the whole answer of / and of /state; goal: every one
      answered 200 within 1 s;
  (2) the station's own CPU (velmora-cli's station process: the page and its look at the ports'
      programs, not the programs), from /proc, over the loaded run; goal: under 5 % of a core;
  (3) time per handset (run record, end - start) of the loaded run against the runs with no
      clients (their mean); goal: at most 1.01.

--quick: 2 ports of 1 handset with a 30-block map, 200 slow, 200 idle and 50 readers: a check
that everything still runs; its figures are not the benchmark's.
"""

import argparse
import errno
import json
import os
import re
import resource
import selectors
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "update"))
import whole_run  # noqa: E402
from continuous import QUICK_MAP_OPTIONS, cpu_seconds, port_imei, record_ms  # noqa: E402
from whole_run import (EELITE_CAPACITY, ERASE_MS, GARBAGE, MAP_OPTIONS,  # noqa: E402
                       REPLY_DELAY_US, priority_note, raise_priority, start_sim)

PROBE_GOAL_S = 1.0
CPU_GOAL = 0.05
RATIO_GOAL = 1.01
CLIENTS_PER_ADDRESS = 50


def raise_files(wanted):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != resource.RLIM_INFINITY and soft < wanted:
        resource.setrlimit(resource.RLIMIT_NOFILE,
                           (wanted if hard == resource.RLIM_INFINITY else min(wanted, hard), hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0]


# ---------------------------------------------------------------- the hostile clients' process

class Conn:
    __slots__ = ("kind", "source", "sock", "connected", "sent_head", "buf", "head_done", "opened")

    def __init__(self, kind, source):
        self.kind, self.source = kind, source
        self.sock = None
        self.connected = False
        self.sent_head = 0
        self.buf = b""
        self.head_done = False
        self.opened = 0.0


def load(host, port, slow, idle, readers, stats_path):
    """Keeps the clients connected until SIGTERM, then writes what happened to stats_path."""
    raise_files(slow + idle + readers + 256)
    sel = selectors.DefaultSelector()
    stats = {"connects": 0, "connect_errors": 0, "status": {}, "frames": 0, "bytes": 0,
             "slow_bytes": 0, "cut_after_s": []}
    conns = []
    for kind, count, net in (("slow", slow, 10), ("idle", idle, 11), ("reader", readers, 12)):
        for i in range(count):
            conns.append(Conn(kind, f"127.0.{net}.{i // CLIENTS_PER_ADDRESS + 1}"))
    head = b"GET / HTTP/1.1\r\nHost: page\r\nX-Slow: " + b"a" * 4000
    events = f"GET /events HTTP/1.1\r\nHost: {host}:{port}\r\n\r\n".encode()
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))

    def open_conn(c):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        try:
            s.bind((c.source, 0))
        except OSError:
            stats["connect_errors"] += 1
            s.close()
            return
        if s.connect_ex((host, port)) not in (0, errno.EINPROGRESS):
            # Refused at once: the station has gone (its end); try again on the next round.
            stats["connect_errors"] += 1
            s.close()
            return
        c.sock, c.connected, c.sent_head, c.buf, c.head_done = s, False, 0, b"", False
        c.opened = time.monotonic()
        sel.register(s, selectors.EVENT_WRITE | selectors.EVENT_READ, c)
        stats["connects"] += 1

    def drop(c):
        sel.unregister(c.sock)
        c.sock.close()
        c.sock = None

    def closed(c):
        if c.buf:
            line = c.buf.split(b"\r\n", 1)[0].decode(errors="replace")
            m = re.match(r"HTTP/1\.1 (\d+)", line)
            key = m.group(1) if m else "other"
            stats["status"][key] = stats["status"].get(key, 0) + 1
            if c.kind != "reader" and key == "408":
                stats["cut_after_s"].append(round(time.monotonic() - c.opened, 2))
        drop(c)
        open_conn(c)  # hostile: at once

    for c in conns:
        open_conn(c)
    next_byte = time.monotonic() + 1
    held = []  # connections open, once a second
    while not stop:
        for key, mask in sel.select(timeout=0.2):
            c = key.data
            if mask & selectors.EVENT_WRITE and not c.connected:
                if c.sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR):
                    stats["connect_errors"] += 1
                    drop(c)
                    open_conn(c)
                    continue
                c.connected = True
                c.opened = time.monotonic()
                sel.modify(c.sock, selectors.EVENT_READ, c)
                try:
                    if c.kind == "reader":
                        c.sock.send(events)
                    elif c.kind == "slow":
                        c.sock.send(head[:1])
                        c.sent_head = 1
                except OSError:
                    closed(c)
                continue
            if mask & selectors.EVENT_READ:
                try:
                    data = c.sock.recv(262144)
                except (BlockingIOError, InterruptedError):
                    continue
                except OSError:
                    data = b""
                if not data:
                    closed(c)
                    continue
                stats["bytes"] += len(data)
                if c.kind == "reader":
                    if not c.head_done:
                        c.buf += data
                        if b"\r\n\r\n" in c.buf:
                            c.head_done = True
                            status = c.buf.split(b" ", 2)[1].decode(errors="replace")
                            stats["status"][status] = stats["status"].get(status, 0) + 1
                            c.buf = b""
                            stats["frames"] += 1
                    else:
                        stats["frames"] += data.count(b"\n\n")  # keep-alives too
                else:
                    c.buf += data
        now = time.monotonic()
        if now >= next_byte:
            next_byte += 1
            held.append(sum(1 for c in conns if c.sock is not None and c.connected))
            for c in conns:
                if c.sock is None:
                    open_conn(c)
                if c.kind == "slow" and c.sock is not None and c.connected and c.sent_head < len(head):
                    try:
                        c.sock.send(head[c.sent_head:c.sent_head + 1])
                        c.sent_head += 1
                        stats["slow_bytes"] += 1
                    except OSError:
                        pass
    stats["held"] = {"median": statistics.median(held) if held else 0, "max": max(held) if held else 0}
    cuts = stats.pop("cut_after_s")
    stats["cut_after_s"] = {"n": len(cuts), "median": statistics.median(cuts) if cuts else None,
                            "max": max(cuts) if cuts else None}
    with open(stats_path, "w") as f:
        json.dump(stats, f)


# ---------------------------------------------------------------- the probe and the station

class Probe(threading.Thread):
    """A fresh client twice a second: / then /state, each timed from the connect to the whole
    answer."""

    def __init__(self, host, port):
        super().__init__(daemon=True)
        self.host, self.port = host, port
        self.times = {"/": [], "/state": []}
        self.failures = []
        self.halt = threading.Event()

    def get(self, path):
        started = time.monotonic()
        try:
            with socket.create_connection((self.host, self.port), timeout=10,
                                          source_address=("127.0.0.1", 0)) as s:
                s.sendall(f"GET {path} HTTP/1.1\r\nHost: page\r\n\r\n".encode())
                data = b""
                while True:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    data += chunk
        except OSError as e:
            self.failures.append(f"{path}: {e}")
            return
        took = time.monotonic() - started
        line = data.split(b"\r\n", 1)[0]
        if not line.startswith(b"HTTP/1.1 200"):
            self.failures.append(f"{path}: {line!r}")
        self.times[path].append(took)

    def run(self):
        # This thread only, as the station: on a loaded machine a probe at the normal priority
        # waits for a core longer than the page takes to answer, and would time the machine.
        raise_priority()
        while not self.halt.wait(0.5):
            self.get("/")
            self.get("/state")


class Sampler(threading.Thread):
    """The station process's own CPU (user + system, not its programs') and the wall clock, once
    a second."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid = pid
        self.samples = []
        self.halt = threading.Event()

    def run(self):
        while not self.halt.is_set():
            cpu = cpu_seconds(self.pid)
            if cpu is None:
                break
            self.samples.append((time.monotonic(), cpu))
            self.halt.wait(1)

    def share(self):
        if len(self.samples) < 2:
            return float("nan")
        (t0, c0), (t1, c1) = self.samples[0], self.samples[-1]
        return (c1 - c0) / (t1 - t0)


def station(args, work, map_path, tag, imei_base, hostile):
    profile = os.path.join(work, f"handset_{tag}.txt")
    with open(profile, "w") as f:
        f.write(f"state = off\nbaud = {args.baud}\neelite_capacity = {EELITE_CAPACITY}\n"
                f"garbage = {GARBAGE}\nreply_delay_us = {REPLY_DELAY_US}\nerase_ms = {ERASE_MS}\n"
                f"handsets = {args.handsets}\n")
    records = os.path.join(work, f"records_{tag}.jsonl")
    if os.path.exists(records):
        os.remove(records)
    station_file = os.path.join(work, f"station_{tag}.txt")
    sims, out_lines = [], []
    loader = probe = sampler = None
    stats_path = os.path.join(work, f"load_{tag}.json")
    try:
        for i in range(args.ports):
            with open(os.path.join(work, f"sim_{tag}_{i + 1}.txt"), "w") as err:
                sims.append(start_sim(args.sim, profile, once=False, stderr=err,
                                      extra=["--imei", port_imei(imei_base + i),
                                             "--next-after", str(args.next_after + i * 400)]))
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
        sampler = Sampler(proc.pid)
        sampler.start()
        for line in proc.stdout:
            out_lines.append(line)
            m = re.match(r"Station page: http://([\d.]+):(\d+)", line)
            if m and hostile and loader is None:
                loader = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--load",
                                           f"{m.group(1)}:{m.group(2)}", "--slow", str(args.slow),
                                           "--idle", str(args.idle), "--readers", str(args.readers),
                                           "--stats", stats_path])
                probe = Probe(m.group(1), int(m.group(2)))
                probe.start()
        rc = proc.wait()
        wall = time.monotonic() - started
    finally:
        if probe:
            probe.halt.set()
            probe.join(timeout=15)
        if loader:
            loader.send_signal(signal.SIGTERM)
            loader.wait(timeout=30)
        if sampler:
            sampler.halt.set()
            sampler.join(timeout=5)
        for p, _ in sims:
            p.terminate()
            p.wait()
    out = "".join(out_lines)
    with open(records) as f:
        recs = [json.loads(line) for line in f if line.strip()]
    problems = []
    if rc != 0:
        problems.append(f"the station ended with status {rc}")
    if len(recs) != args.ports * args.handsets or any(r["outcome"] != "succeeded" for r in recs):
        problems.append(f"{len(recs)} records, not {args.ports * args.handsets} that succeeded")
    if problems:
        sys.stderr.write(out)
    stats = None
    if hostile and os.path.exists(stats_path):
        with open(stats_path) as f:
            stats = json.load(f)
    return {"tag": tag, "problems": problems, "wall": wall,
            "times": [(record_ms(r["end"]) - record_ms(r["start"])) / 1000 for r in recs],
            "cpu": sampler.share() if sampler else float("nan"), "probe": probe, "load": stats}


def mean(values):
    return sum(values) / len(values) if values else float("nan")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--cli")
    ap.add_argument("--sim")
    ap.add_argument("--mapgen")
    ap.add_argument("--ports", type=int, help="simulated ports (default 4)")
    ap.add_argument("--handsets", type=int, help="handsets per port (default 3)")
    ap.add_argument("--slow", type=int, help="clients sending a byte a second (default 500)")
    ap.add_argument("--idle", type=int, help="clients sending nothing (default 500)")
    ap.add_argument("--readers", type=int, help="/events readers (default 200)")
    ap.add_argument("--next-after", type=int, default=2000)
    ap.add_argument("--baud", type=int, default=115200)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--sched", choices=["fifo", "nice", "none"], default="fifo")
    ap.add_argument("--work")
    ap.add_argument("--load", help=argparse.SUPPRESS)
    ap.add_argument("--stats", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.load:
        host, port = args.load.rsplit(":", 1)
        load(host, int(port), args.slow, args.idle, args.readers, args.stats)
        return 0
    if not (args.cli and args.sim and args.mapgen):
        ap.error("--cli, --sim and --mapgen are needed")
    whole_run.SCHED = args.sched
    args.ports = args.ports or (2 if args.quick else 4)
    args.handsets = args.handsets or (1 if args.quick else 3)
    args.slow = args.slow if args.slow is not None else (200 if args.quick else 500)
    args.idle = args.idle if args.idle is not None else (200 if args.quick else 500)
    args.readers = args.readers if args.readers is not None else (50 if args.quick else 200)
    args.cli, args.sim, args.mapgen = (os.path.abspath(p) for p in (args.cli, args.sim, args.mapgen))
    files = raise_files(args.slow + args.idle + args.readers + 512)
    work = args.work or tempfile.mkdtemp(prefix="velmora-page-")
    os.makedirs(work, exist_ok=True)
    map_path = os.path.join(work, "page.map")
    subprocess.check_call([args.mapgen] + (QUICK_MAP_OPTIONS if args.quick else MAP_OPTIONS)
                          + ["-o", map_path])

    runs = [station(args, work, map_path, "quiet", 10, False),
            station(args, work, map_path, "hostile", 20, True)]
    if not args.quick:
        runs.append(station(args, work, map_path, "quiet_again", 30, False))
    quiet = [r for r in runs if r["tag"] != "hostile"]
    hostile = runs[1]
    failed = False
    for r in runs:
        for p in r["problems"]:
            print(f"PROBLEM ({r['tag']}): {p}")
            failed = True

    load_avg = os.getloadavg()
    print(f"{args.ports} ports x {args.handsets} handsets, {args.baud} baud, "
          f"{'30 blocks (--quick)' if args.quick else '300 Eelite blocks, one garbage collection'} "
          f"per handset; clients: {args.slow} slow (a head byte a second), {args.idle} idle, "
          f"{args.readers} /events readers, {CLIENTS_PER_ADDRESS} per loopback address")
    print(f"machine: {os.cpu_count()} CPUs, load average {load_avg[0]:.1f} {load_avg[1]:.1f} "
          f"{load_avg[2]:.1f} at the end; scheduling: {priority_note()}; descriptors {files}")

    probe = hostile["probe"]
    both = probe.times["/"] + probe.times["/state"] if probe else []
    ok1 = bool(both) and not probe.failures and max(both) <= PROBE_GOAL_S
    print("\n(1) a fresh client among them (connect to whole answer)")
    for path in ("/", "/state"):
        t = probe.times[path] if probe else []
        if t:
            print(f"    {path:7} {len(t)} requests: median {statistics.median(t) * 1000:.1f} ms, "
                  f"max {max(t) * 1000:.1f} ms")
    if probe and probe.failures:
        print(f"    {len(probe.failures)} failed, e.g. {probe.failures[:3]}")
    print(f"    goal: each within {PROBE_GOAL_S:.0f} s: {'PASS' if ok1 else 'OVER GOAL'}")

    ok2 = hostile["cpu"] < CPU_GOAL
    print("\n(2) the station's own CPU (its programs not counted)")
    without = " / ".join(f"{r['cpu'] * 100:.2f} %" for r in quiet)
    print(f"    with the clients {hostile['cpu'] * 100:.2f} % of a core; without: {without}")
    print(f"    goal: under {CPU_GOAL * 100:.0f} %: {'PASS' if ok2 else 'OVER GOAL'}")

    quiet_mean = mean([mean(r["times"]) for r in quiet])
    ratio = mean(hostile["times"]) / quiet_mean
    ok3 = ratio <= RATIO_GOAL
    print("\n(3) time per handset (run record, end - start)")
    without = " / ".join(f"{mean(r['times']):.3f} s" for r in quiet)
    print(f"    without clients: {without}; with them: {mean(hostile['times']):.3f} s")
    print(f"    ratio {ratio:.4f} (goal {RATIO_GOAL}): {'PASS' if ok3 else 'OVER GOAL'}")

    st = hostile["load"]
    if st:
        print(f"\nthe clients: {st['connects']} connects ({st['connect_errors']} failed), answers "
              f"{st['status']}, {st['frames']} event frames ({st['bytes'] / 1e6:.1f} MB), "
              f"{st['slow_bytes']} slow head bytes; connections open (each second) median "
              f"{st['held']['median']}, max {st['held']['max']}; slow and idle ones cut after median {st['cut_after_s']['median']} s "
              f"(max {st['cut_after_s']['max']} s)")
    print(f"\nlogs and records in {work}")
    return 0 if ok1 and ok2 and ok3 and not failed else 1


if __name__ == "__main__":
    sys.exit(main())
