#!/usr/bin/env python3
"""Reconnect storm: CLIENTS clients of one address connect to the live page, send a request,
read the answer and connect again at once, for SECONDS; the page serves station_page_demo's
made-up station. Prints the page's CPU over the storm (its whole process: the demo's own
threads are idle by then), the answers the clients got (200 within the per-address cap, 503
beyond it; a reset is counted apart), and a fresh client's time to get /state from another
address once a second.

Usage: storm.py STATION_PAGE_DEMO [--clients 140] [--seconds 20]
"""

import argparse
import os
import re
import selectors
import socket
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "update"))
from continuous import cpu_seconds  # noqa: E402


def storm(host, port, clients, seconds, counts):
    sel = selectors.DefaultSelector()
    request = b"GET /state HTTP/1.1\r\nHost: page\r\n\r\n"

    def start():
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        s.bind(("127.0.0.1", 0))
        s.connect_ex((host, port))
        sel.register(s, selectors.EVENT_WRITE, [s, b"", False])

    for _ in range(clients):
        start()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for key, mask in sel.select(timeout=0.1):
            s, buf, sent = key.data
            if not sent:
                try:
                    s.send(request)
                except OSError:
                    counts["reset"] += 1
                    sel.unregister(s)
                    s.close()
                    start()
                    continue
                key.data[2] = True
                sel.modify(s, selectors.EVENT_READ, key.data)
                continue
            try:
                data = s.recv(65536)
            except ConnectionResetError:
                counts["reset"] += 1
                data = None
            except BlockingIOError:
                continue
            if data:
                key.data[1] = buf + data
                continue
            if data is not None:
                m = re.match(rb"HTTP/1\.1 (\d+)", buf)
                counts[m.group(1).decode() if m else "other"] = counts.get(m.group(1).decode() if m else "other", 0) + 1
            sel.unregister(s)
            s.close()
            start()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("demo")
    ap.add_argument("--clients", type=int, default=140)
    ap.add_argument("--seconds", type=float, default=20)
    args = ap.parse_args()
    demo = subprocess.Popen([args.demo], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        url = demo.stdout.readline().strip()
        m = re.match(r"http://([\d.]+):(\d+)/", url)
        host, port = m.group(1), int(m.group(2))
        time.sleep(12)  # the demo's made-up ports finish their handsets first
        counts = {"reset": 0}
        fresh = []
        halt = threading.Event()

        def probe():
            while not halt.wait(1):
                t0 = time.monotonic()
                with socket.create_connection((host, port), timeout=10, source_address=("127.0.0.2", 0)) as s:
                    s.sendall(b"GET /state HTTP/1.1\r\n\r\n")
                    data = b""
                    while chunk := s.recv(65536):
                        data += chunk
                fresh.append((time.monotonic() - t0, data.split(b"\r\n", 1)[0].decode()))

        prober = threading.Thread(target=probe, daemon=True)
        cpu0, t0 = cpu_seconds(demo.pid), time.monotonic()
        prober.start()
        storm(host, port, args.clients, args.seconds, counts)
        cpu1, t1 = cpu_seconds(demo.pid), time.monotonic()
        halt.set()
        prober.join()
        answers = sum(v for k, v in counts.items())
        print(f"{args.clients} clients of 127.0.0.1 reconnecting at once for {t1 - t0:.1f} s: "
              f"{answers} answers {counts} ({answers / (t1 - t0):.0f} a second)")
        print(f"the page's CPU: {cpu1 - cpu0:.2f} s, {100 * (cpu1 - cpu0) / (t1 - t0):.1f} % of a core")
        if fresh:
            times = [t for t, _ in fresh]
            print(f"a fresh client of 127.0.0.2, once a second: {len(fresh)} answers "
                  f"{sorted(set(s for _, s in fresh))}, median {statistics.median(times) * 1000:.1f} ms, "
                  f"max {max(times) * 1000:.1f} ms")
        print(f"machine: {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f}")
    finally:
        demo.stdin.close()
        demo.wait(timeout=10)
    return 0


if __name__ == "__main__":
    sys.exit(main())
