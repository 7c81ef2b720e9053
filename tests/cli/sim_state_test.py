#!/usr/bin/python3
"""A pulled cable: velmora-sim keeps its block store in a state file, is SIGKILLed in the middle
of a garbage collection's write-back, and starts again from that file with exactly the store it
held. Every Eelite block read out before the erase is then either in the restarted handset or in
the copies velmora-cli left on disk, and --restore puts them all back.

Usage: sim_state_test.py CLI SIM SOURCE_DIR"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import simhandset
from simhandset import dump_blocks

cli, simsrv, source = sys.argv[1:4]
large_map = os.path.join(source, "examples", "Velmora_K72_1_Large_11_0002.map")
work = tempfile.mkdtemp(prefix="velmora-sim-state-")
state_file = os.path.join(work, "handset.state")
env = dict(os.environ, XDG_STATE_HOME=os.path.join(work, "state"))
sims = []


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def start_sim(dump):
    sim, url = simhandset.start_sim(simsrv, ["--state-file", state_file, "--dump", dump],
                                    os.path.join(work, f"sim{len(sims)}.txt"))
    sims.append(sim)
    if url is None:
        fail("velmora-sim did not start:\n" + open(os.path.join(work, f"sim{len(sims) - 1}.txt")).read())
    return sim, url


def state_blocks(text):
    """{(area, number): (version, bytes)} of state or profile block lines."""
    blocks = {}
    for line in text.splitlines():
        m = re.fullmatch(r"block = (eelite|eefull) (\d+) (\d+) (-|[0-9a-f]*)", line)
        if m:
            data = b"" if m.group(4) == "-" else bytes.fromhex(m.group(4))
            blocks[(m.group(1), int(m.group(2)))] = (int(m.group(3)), data)
    return blocks


def handset_backup_blocks(path):
    blocks, current = {}, None
    for line in open(path).read().splitlines():
        w = line.split(" ")
        if w[0] == "block":
            current = (w[1], int(w[2]))
            blocks[current] = (int(w[6]), b"")
        elif w[0] == "data" and current:
            blocks[current] = (blocks[current][0], blocks[current][1] + bytes.fromhex(w[1]))
        else:
            current = None
    return blocks


try:
    dump = os.path.join(work, "dump.txt")
    sim, url = start_sim(dump)
    run = subprocess.Popen([cli, "--map", large_map, "--port", url, "AUTOMATIC"], cwd=work, env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                           text=True)
    read_out = None
    for line in run.stdout:
        if line.startswith("Garbage Collection"):
            read_out = {k: v for k, v in dump_blocks(sim, dump).items() if k[0] == "eelite"}
        if line.startswith("Writing back Blocks"):
            time.sleep(1.0)
            sim.kill()  # the cable is pulled: no chance to save anything more
            sim.wait()
            break
    run.communicate(timeout=180)
    if not read_out:
        fail("no garbage collection seen")
    at_kill = state_blocks(open(state_file).read())

    sim2, url2 = start_sim(os.path.join(work, "dump2.txt"))
    restarted = dump_blocks(sim2, os.path.join(work, "dump2.txt"))
    if restarted != at_kill:
        fail("the restarted handset does not hold what its state file held at the kill")
    if {k for k in read_out if k in restarted} == set(read_out):
        fail("the kill did not fall into the write-back (every block already back)")

    copies = [os.path.join(d, n) for d in (work, os.path.join(work, "state", "velmora")) if os.path.isdir(d)
              for n in os.listdir(d) if n.endswith(".vbk")]
    saved = {}
    for path in copies:
        saved.update(handset_backup_blocks(path))
    lost = [k for k, v in read_out.items() if restarted.get(k) != v and saved.get(k) != v]
    if lost:
        fail(f"blocks lost: {lost}; copies: {copies}")

    # The copy goes back into the restarted handset, which is the same handset.
    copy = max(copies, key=os.path.getmtime)
    restore = subprocess.run([cli, "--restore", copy, "--port", url2, "AUTOMATIC"], cwd=work, env=env,
                             capture_output=True, text=True, timeout=180)
    if restore.returncode != 0:
        fail(f"restore exited {restore.returncode}:\n{restore.stdout}\n{restore.stderr}")
    back = dump_blocks(sim2, os.path.join(work, "dump2.txt"))
    missing = [k for k, v in read_out.items() if back.get(k) != v]
    if missing:
        fail(f"blocks not restored: {missing}")
    print(f"PASS: {len(read_out)} blocks safe across a killed handset")
finally:
    for s in sims:
        if s.poll() is None:
            s.kill()
            s.wait()
    shutil.rmtree(work, ignore_errors=True)
