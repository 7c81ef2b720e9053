#!/usr/bin/python3
"""An update with --undo ended by SIGTERM in the middle of its blocks (outside a garbage
collection, so at once), then the undo file restored: the simulated handset holds what it held
before the update, both areas, byte for byte.

Usage: undo_interrupt_test.py CLI SIM SOURCE_DIR"""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

from simhandset import dump_blocks, start_sim

cli, simsrv, source = sys.argv[1:4]
standard_map = os.path.join(source, "examples", "Velmora_K72_1_Standard_11_0001.map")
work = tempfile.mkdtemp(prefix="velmora-undo-interrupt-")
env = dict(os.environ, XDG_STATE_HOME=os.path.join(work, "state"))
sim = None


def fail(message):
    print("FAIL:", message)
    sys.exit(1)


try:
    # The handset answers slowly enough for the signal to land among the blocks.
    profile = os.path.join(work, "slow.profile")
    with open(profile, "w") as f:
        f.write("reply_delay_us = 20000\n")
    dump = os.path.join(work, "handset.txt")
    sim, url = start_sim(simsrv, ["--profile", profile, "--dump", dump], os.path.join(work, "sim.txt"))
    if url is None:
        fail("velmora-sim did not start")
    before = dump_blocks(sim, dump)

    undo = os.path.join(work, "undo.vbk")
    run = subprocess.Popen([cli, "--map", standard_map, "--port", url, "--undo", undo, "AUTOMATIC"],
                           cwd=work, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           stdin=subprocess.DEVNULL, text=True)
    log = []
    for line in run.stdout:
        log.append(line)
        if re.match(r"Block \d+ written", line):
            run.send_signal(signal.SIGTERM)
            break
    log += run.stdout.readlines()
    run.stderr.read()
    status = run.wait(timeout=120)
    if status != -signal.SIGTERM:
        fail(f"status {status}, expected the SIGTERM to end the run at once:\n" + "".join(log))
    if not any(line.startswith("Undo file written to") for line in log):
        fail("no undo file was written before the first change:\n" + "".join(log))
    changed = dump_blocks(sim, dump)
    if changed == before:
        fail("the interrupted run changed nothing; the test proves nothing")

    restore = subprocess.run([cli, "restore", undo, "--port", url, "AUTOMATIC"], cwd=work, env=env,
                             capture_output=True, text=True, timeout=120)
    if restore.returncode != 0:
        fail(f"restore exited {restore.returncode}:\n{restore.stdout}\n{restore.stderr}")
    after = dump_blocks(sim, dump)
    differ = sorted(k for k in set(before) | set(after) if before.get(k) != after.get(k))
    if differ:
        fail(f"blocks not as before: {differ}")
    print(f"PASS: {len(before)} blocks as before after the interrupted update was taken back")
finally:
    if sim is not None:
        sim.kill()
        sim.wait()
    shutil.rmtree(work, ignore_errors=True)
