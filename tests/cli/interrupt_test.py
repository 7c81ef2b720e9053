#!/usr/bin/python3
"""Ends velmora-cli with a signal at points inside a garbage collection on velmora-sim, then
checks that every Eelite block that existed before is either back in the handset or in a backup
copy on disk, byte for byte. After SIGKILL in the write-back, the next start names the
write-ahead copy and the restore command puts its blocks back.

Usage: interrupt_test.py CLI SIM SOURCE_DIR SIGNAL POINT
  SIGNAL: INT, TERM or KILL; POINT: readout, erase or writeback."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from simhandset import dump_blocks, start_sim

cli, simsrv, source, signame, point = sys.argv[1:6]
large_map = os.path.join(source, "examples", "Velmora_K72_1_Large_11_0002.map")
signum = getattr(signal, "SIG" + signame)

# When the signal goes, counted from the log line that opens the phase. The read-out of the
# large map takes about 3 s and the write-back about 2.5 s on velmora-sim.
POINTS = {
    "readout": ("Reading out max.", 1.0),
    "erase": ("Writing back Blocks", 0.0),
    "writeback": ("Writing back Blocks", 1.2),
}
marker, delay = POINTS[point]

work = tempfile.mkdtemp(prefix="velmora-interrupt-")
state = os.path.join(work, "state")
env = dict(os.environ, XDG_STATE_HOME=state)
sim = None


def fail(message):
    print("FAIL:", message)
    sys.exit(1)


def parse_handset_backup(path, text):
    """Eelite blocks of a handset backup (.vbk) as {number: (version, bytes)}."""
    if not text.startswith("VELMORA-BACKUP 1\n") or "\nend blocks " not in text:
        fail(f"{path}: not a whole handset backup")
    blocks = {}
    current = None
    for line in text.splitlines():
        words = line.split(" ")
        if words[0] == "block":
            current = None
            if words[1] == "eelite":
                current = int(words[2])
                blocks[current] = (int(words[6]), b"")
        elif words[0] == "data" and current is not None:
            version, data = blocks[current]
            blocks[current] = (version, data + bytes.fromhex(words[1]))
        else:
            current = None
    return blocks


def parse_backup(path):
    """Blocks of a backup file as {number: (version, bytes)}."""
    blocks = {}
    text = open(path, "rb").read().decode("ascii")
    if path.endswith(".vbk"):
        return parse_handset_backup(path, text)
    for m in re.finditer(r"BLOCK_NUMBER = (\d+)\s+BLOCK_SIZE   = (\d+)\s+BLOCK_VERSION = (\d+)\s+"
                         r"DATA_BYTES   = ((?:\s*0x[0-9A-F]{2} )*)", text):
        data = bytes(int(b, 16) for b in re.findall(r"0x([0-9A-F]{2})", m.group(4)))
        if len(data) != int(m.group(2)):
            fail(f"{path}: block {m.group(1)} holds {len(data)} bytes, not {m.group(2)}")
        blocks[int(m.group(1))] = (int(m.group(3)), data)
    return blocks


def dump_handset():
    """The simulated handset's Eelite blocks as {number: (version, bytes)}."""
    return {n: block for (area, n), block in dump_blocks(sim, os.path.join(work, "handset.txt")).items()
            if area == "eelite"}


def backup_copies():
    found = []
    for folder in (work, os.path.join(state, "velmora")):
        if os.path.isdir(folder):
            found += [os.path.join(folder, n) for n in sorted(os.listdir(folder)) if n.endswith((".eel", ".vbk"))]
    return found


try:
    sim, url = start_sim(simsrv, ["--dump", os.path.join(work, "handset.txt")],
                         os.path.join(work, "sim.txt"))
    if url is None:
        fail("velmora-sim did not start")

    run = subprocess.Popen([cli, "--map", large_map, "--port", url, "AUTOMATIC"], cwd=work, env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                           text=True)
    before = None
    log = []
    for line in run.stdout:
        log.append(line)
        if line.startswith("Garbage Collection"):
            before = dump_handset()
        if line.startswith(marker):
            time.sleep(delay)
            run.send_signal(signum)
            break
    log += run.stdout.readlines()
    stderr = run.stderr.read()
    status = run.wait(timeout=120)
    if before is None:
        fail("no garbage collection seen:\n" + "".join(log))
    if not before:
        fail("the handset held no Eelite blocks before the garbage collection")

    # How the program ended: at once outside the window, after the write-back inside it.
    announced = "finishing that first" in stderr
    if signame == "KILL":
        if status != -signal.SIGKILL:
            fail(f"status {status} after SIGKILL")
    elif point == "readout":
        if status != -signum or announced:
            fail(f"a signal during the read-out should end the program at once (status {status})")
    else:
        if status != 128 + signum or not announced:
            fail(f"status {status}, expected {128 + signum} with the announcement; stderr:\n{stderr}")
        if "Interrupted: block" not in "".join(log):
            fail("the run did not stop at the next block:\n" + "".join(log))

    after = dump_handset()
    saved = {}
    for path in backup_copies():
        saved.update(parse_backup(path))
    lost = [n for n, block in before.items() if after.get(n) != block and saved.get(n) != block]
    if lost:
        fail(f"blocks lost: {lost}; copies on disk: {backup_copies()}")

    if signame == "KILL" and point == "writeback":
        copies = [p for p in backup_copies() if "velmora-writeahead-" in p]
        if len(copies) != 1:
            fail(f"expected one write-ahead copy, found {backup_copies()}")
        copy = copies[0]
        if parse_backup(copy) != before:
            fail("the write-ahead copy differs from the blocks read out")
        # The next start says where the copy is and how to restore it.
        check = subprocess.run([cli, "--map", large_map, "--check"], cwd=work, env=env,
                               capture_output=True, text=True, timeout=60)
        if copy not in check.stderr or f"velmora-cli --restore {copy}" not in check.stderr:
            fail("the leftover copy was not reported at the next start:\n" + check.stderr)
        restore = subprocess.run([cli, "--restore", copy, "--port", url, "AUTOMATIC"], cwd=work,
                                 env=env, capture_output=True, text=True, timeout=120)
        if restore.returncode != 0:
            fail(f"restore exited {restore.returncode}:\n{restore.stdout}\n{restore.stderr}")
        restored = dump_handset()
        missing = [n for n, block in before.items() if restored.get(n) != block]
        if missing:
            fail(f"blocks not restored: {missing}")
        if os.path.exists(copy):
            fail("a restored write-ahead copy is still reported as a leftover")
    print(f"PASS {signame} {point}: {len(before)} blocks safe, status {status}")
finally:
    if sim is not None:
        sim.kill()
        sim.wait()
    shutil.rmtree(work, ignore_errors=True)
