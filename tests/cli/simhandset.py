"""What the Python tests of velmora-cli share about velmora-sim: starting it on a free loopback
port and reading its block store through its dump (SIGUSR1)."""

import os
import re
import signal
import subprocess
import time


def start_sim(simsrv, args, log_path):
    """velmora-sim with args, serving until killed; (process, "rfc2217://127.0.0.1:PORT"), or
    (process, None) when it did not say where it listens within 10 s."""
    log = open(log_path, "w+")
    sim = subprocess.Popen([simsrv, "--port", "0", *args], stdout=log, stderr=subprocess.STDOUT)
    for _ in range(100):
        log.seek(0)
        m = re.search(r"listening on 127\.0\.0\.1:(\d+)", log.read())
        if m:
            return sim, f"rfc2217://127.0.0.1:{m.group(1)}"
        time.sleep(0.1)
    return sim, None


def dump_blocks(sim, dump):
    """The store's blocks as {(area, number): (version, bytes)}, area "eelite" or "eefull", from
    the dump velmora-sim (started with --dump dump) writes on SIGUSR1."""
    before = os.stat(dump).st_mtime_ns if os.path.exists(dump) else 0
    sim.send_signal(signal.SIGUSR1)
    for _ in range(100):
        if os.path.exists(dump) and os.stat(dump).st_mtime_ns != before:
            break
        time.sleep(0.05)
    time.sleep(0.1)
    blocks = {}
    for line in open(dump):
        f = line.split()
        if len(f) == 5 and f[0] in ("Eelite", "Eefull"):
            blocks[(f[0].lower(), int(f[1]))] = (int(f[3]), b"" if f[4] == "-" else bytes.fromhex(f[4]))
    return blocks
