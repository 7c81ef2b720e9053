#!/usr/bin/python3
"""What velmora-cli does with values that can never work and with inputs it does not need:
each case one command line, its exit status and what it must (and must not) say.

Usage: small_faults_test.py CLI SOURCE_DIR"""

import os
import shutil
import subprocess
import sys
import tempfile

cli, source = (os.path.abspath(a) for a in sys.argv[1:3])
standard_map = os.path.join(source, "examples", "Velmora_K72_1_Standard_11_0001.map")
work = tempfile.mkdtemp(prefix="velmora-small-faults-")
failures = []


def write(name, data):
    path = os.path.join(work, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


# A settings file far beyond the 4 MiB a settings file may have; one whose port table makes the
# default port COM1 the simulated handset, naming no port of its own.
oversized = write("huge.reg", b"Windows Registry Editor Version 5.00\r\n" + b";" * (5 << 20))
com1_sim = write("com1.reg", b"Windows Registry Editor Version 5.00\r\n\r\n"
                             b"[HKEY_CURRENT_CONFIG\\QSB_Library\\Ports]\r\n\"COM1\"=\"sim:\"\r\n")
write("cut.vbk", b"VELMO")
write("empty.vbk", b"")
write("cut-header.vbk", b"VELMORA-BACKUP 1\nkind fu")

# (name, arguments, environment changes, exit status, texts it says, texts it must not say)
CASES = [
    ("history --since not a day", ["history", "--since", "2026-13-45"], {}, 64,
     ["--since", "2026-13-45"], []),
    ("history --outcome unknown", ["history", "--outcome", "bogus"], {}, 64, ["bogus"], []),
    ("history --map-sha1 not a digest", ["history", "--map-sha1", "XYZ"], {}, 64, ["XYZ"], []),
    ("--serve port above 65535", ["--port", "sim:", "--map", standard_map, "--serve", "70000"], {}, 64,
     ["--serve", "65535"], []),
    ("empty VELMORA_SETTINGS", ["--map", standard_map, "--port", "sim:", "AUTOMATIC"],
     {"VELMORA_SETTINGS": ""}, 1, ["VELMORA_SETTINGS is set but empty"], ["IMEI:"]),
    ("the default port's device", ["--map", standard_map, "--settings", com1_sim, "AUTOMATIC"], {}, 0,
     ["No port in the settings: COM1, the default, is sim:"], []),
    ("--check with a settings file it does not need", ["--check", "--map", standard_map,
                                                       "--settings", oversized], {}, 0,
     ["Map OK", "huge.reg", "(settings ignored)"], []),
    ("check with VELMORA_SETTINGS it does not need", ["check", "--map", standard_map],
     {"VELMORA_SETTINGS": oversized}, 0, ["Map OK"], []),
    ("a .vbk cut in its first bytes", ["restore", os.path.join(work, "cut.vbk"), "--port", "sim:",
                                       "AUTOMATIC"], {}, 1, ["cut short"], ["mapsave", "BLOCK_NUMBER"]),
    ("an empty .vbk", ["restore", os.path.join(work, "empty.vbk"), "--port", "sim:", "AUTOMATIC"], {}, 1,
     ["empty.vbk: line 1: not a handset backup"], ["mapsave", "BLOCK_NUMBER"]),
    ("a .vbk cut in its header", ["restore", os.path.join(work, "cut-header.vbk"), "--port", "sim:",
                                  "AUTOMATIC"], {}, 1, ["cut short"], ["mapsave", "BLOCK_NUMBER"]),
    ("--help on --restore", ["--help"], {}, 0, ["handset backup (.vbk"],
     ["Write the Eelite blocks of a backup"]),
]

try:
    base = dict(os.environ, XDG_STATE_HOME=os.path.join(work, "state"),
                XDG_CONFIG_HOME=os.path.join(work, "config"), HOME=work)
    base.pop("VELMORA_SETTINGS", None)
    for name, args, changes, status, says, never in CASES:
        env = dict(base, **changes)
        run = subprocess.run([cli, *args], cwd=work, env=env, stdin=subprocess.DEVNULL,
                             capture_output=True, text=True, timeout=120)
        output = run.stdout + run.stderr
        problems = []
        if run.returncode != status:
            problems.append(f"exit status {run.returncode}, expected {status}")
        problems += [f"does not say: {t}" for t in says if t not in output]
        problems += [f"says: {t}" for t in never if t in output]
        if problems:
            failures.append(f"{name}: " + "; ".join(problems) + f"\n--- output\n{output[-2000:]}")
finally:
    shutil.rmtree(work, ignore_errors=True)

for f in failures:
    print("FAIL:", f)
print(f"{len(CASES) - len(failures)} of {len(CASES)} cases as expected")
sys.exit(1 if failures else 0)
