#!/usr/bin/python3
"""A production line on one velmora-sim port: two handsets one after the other, each updated by a
velmora-cli run of its own over RFC 2217. The second run starts at once and finds the port silent
until the operator has connected the next handset. Each run reads its own handset's IMEI,
velmora-sim names the handsets as they come and go (with --log-times: when each went, was put
there and first heard a service request, on the wall clock), and its dump holds each handset's
store with the map's version record written.

Usage: handset_sequence_test.py CLI SIM SOURCE_DIR"""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

cli, simsrv, source = sys.argv[1:4]
sys.path.insert(0, os.path.join(source, "tests", "cli"))
import simhandset  # noqa: E402

standard_map = os.path.join(source, "examples", "Velmora_K72_1_Standard_11_0001.map")
imeis = ["351234567890128", "351234567890132"]
work = tempfile.mkdtemp(prefix="velmora-sim-sequence-")
env = dict(os.environ, XDG_STATE_HOME=os.path.join(work, "state"))
problems = []


def update(url, number):
    """One velmora-cli update; its output."""
    run = subprocess.run([cli, "--map", standard_map, "--port", url, "AUTOMATIC"], cwd=work, env=env,
                         capture_output=True, text=True, timeout=120)
    if run.returncode != 0:
        problems.append(f"update {number}: exit status {run.returncode}:\n{run.stdout}{run.stderr}")
    return run.stdout


def dump_sections(path):
    """{handset line: store text} of the dump, in order."""
    sections = re.split(r"(?m)^(# handset \d+ of \d+ \(IMEI \d+\): .*)\n", open(path).read())
    return dict(zip(sections[1::2], sections[2::2]))


sim_log = os.path.join(work, "sim.txt")
dump = os.path.join(work, "handsets.txt")
started = time.time()
sim, url = simhandset.start_sim(simsrv, ["--handsets", "2", "--next-after", "700", "--dump", dump,
                                         "--log-times"], sim_log)
try:
    if url is None:
        print("FAIL: velmora-sim did not start:\n" + open(sim_log).read())
        sys.exit(1)
    for number, imei in enumerate(imeis, 1):
        out = update(url, number)
        if f"IMEI: {imei}\n" not in out:
            problems.append(f"update {number} did not read IMEI {imei}:\n{out}")
finally:
    sim.send_signal(signal.SIGTERM)
    sim.wait(timeout=30)
ended = time.time()

lines = [line for line in open(sim_log).read().splitlines() if line.startswith("velmora-sim: handset")]
events = [re.sub(r" at \d+\.\d{6}$", "", line) for line in lines]
# In microseconds, as printed: differences of the handset's own times come out exact.
times = [int(m.group(1) + m.group(2)) if (m := re.search(r" at (\d+)\.(\d{6})$", line)) else None
         for line in lines]
expected = [f"velmora-sim: handset 1 of 2 (IMEI {imeis[0]}) first service request",
            f"velmora-sim: handset 1 of 2 (IMEI {imeis[0]}) taken away",
            f"velmora-sim: handset 2 of 2 (IMEI {imeis[1]}) connected",
            f"velmora-sim: handset 2 of 2 (IMEI {imeis[1]}) first service request",
            f"velmora-sim: handset 2 of 2 (IMEI {imeis[1]}) taken away"]
if events != expected or None in times:
    problems.append(f"velmora-sim said {lines}, expected {expected}, each with its time")
else:
    if times != sorted(times) or not (started * 1e6 < times[0] and times[-1] < ended * 1e6):
        problems.append(f"times out of order or off the wall clock ({started:.6f}..{ended:.6f}): {lines}")
    if times[2] - times[1] != 700000:
        problems.append(f"handset 2 connected {times[2] - times[1]} us after handset 1 went, not 700 ms")

sections = dump_sections(dump)
names = [f"# handset {n} of 2 (IMEI {imei}): taken away" for n, imei in enumerate(imeis, 1)]
if list(sections) != names:
    problems.append(f"the dump names {list(sections)}, expected {names}")
for name, store in sections.items():
    # The map's version 0B 01 00 01 in the record's bytes 14..17.
    if not re.search(r"(?m)^Eefull 5005 32 1 0{28}0b010001", store):
        problems.append(f"{name}: no version record written:\n{store}")

if problems:
    print("\n".join("FAIL: " + p for p in problems))
    sys.exit(1)
shutil.rmtree(work)
print("PASS: two handsets on one port, each updated with its own IMEI")
