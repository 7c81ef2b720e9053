#!/usr/bin/python3
"""Undo files and backups never replace an original, and an AT+CGSN answer that is no IMEI
names no handset: velmora-cli on the built-in simulated handset.

  - an undo file or backup named outright that exists: refused before the port, file untouched
  - "{imei}" in --backup: the IMEI filled in; a second backup goes beside the first
  - a name that, filled in, is the run's own map: refused, the map untouched
  - a handset that answers no IMEI: the backup says "imei unknown", the record has no IMEI;
    restoring the backup unattended needs --other-handset

Usage: originals_test.py CLI SOURCE_DIR"""

import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile

cli, source = sys.argv[1:3]
standard_map = os.path.join(source, "examples", "Velmora_K72_1_Standard_11_0001.map")
work = tempfile.mkdtemp(prefix="velmora-originals-")
env = dict(os.environ, XDG_STATE_HOME=os.path.join(work, "state"))
IMEI = "351234567890128"


class Failure(Exception):
    pass


def check(ok, what):
    if not ok:
        raise Failure(what)


def run(*args):
    return subprocess.run([cli, *args], cwd=work, env=env, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=120)


def path(name):
    return os.path.join(work, name)


def read(name):
    with open(path(name), "rb") as f:
        return f.read()


def write(name, data):
    with open(path(name), "wb") as f:
        f.write(data)


def main():
    # Named outright and there already: refused before the port, whatever the mode.
    write("kept.vbk", b"an original\n")
    for args, what in ((["--map", standard_map, "--undo", "kept.vbk"], "undo file"),
                       (["backup", "kept.vbk"], "backup file")):
        r = run(*args, "--port", "sim:", "AUTOMATIC")
        check(r.returncode == 1, f"{args}: exit {r.returncode}, expected 1\n{r.stdout}{r.stderr}")
        check(f"error: the {what} kept.vbk exists: it is never replaced" in r.stderr,
              f"{args}: {r.stderr}")
        check("IMEI:" not in r.stdout, f"{args}: the handset was connected:\n{r.stdout}")
        check(read("kept.vbk") == b"an original\n", f"{args}: kept.vbk was touched")

    # {imei} in --backup, twice: the second beside the first.
    for n, name in enumerate((f"full-{IMEI}.vbk", f"full-{IMEI}-2.vbk")):
        r = run("backup", "full-{imei}.vbk", "--port", "sim:", "AUTOMATIC")
        check(r.returncode == 0, f"backup {n + 1}: exit {r.returncode}\n{r.stdout}{r.stderr}")
        check(f"written to {path(name)}" in r.stdout, f"backup {n + 1}: not {name}:\n{r.stdout}")
    check(b"\nimei " + IMEI.encode() + b"\n" in read(f"full-{IMEI}-2.vbk"), "the IMEI in the backup")

    # A filled-in name that is the run's own map.
    shutil.copy(standard_map, path(f"{IMEI}.map"))
    original_map = read(f"{IMEI}.map")
    r = run("--map", f"{IMEI}.map", "--undo", "{imei}.map", "--port", "sim:", "AUTOMATIC")
    check(r.returncode == 1, f"--undo {{imei}}.map: exit {r.returncode}\n{r.stdout}{r.stderr}")
    check(f"{IMEI}.map is the map file {IMEI}.map itself" in r.stdout, r.stdout)
    check(read(f"{IMEI}.map") == original_map, "the map was overwritten")

    # A handset that answers ERROR: "imei unknown", restored unattended only with --other-handset.
    with open(path("noimei.profile"), "w") as f:
        f.write("imei_text = \\r\\nERROR\\r\\n\n")
    r = run("backup", "b-{imei}.vbk", "--port", "sim:noimei.profile", "--report", "run.json",
            "AUTOMATIC")
    check(r.returncode == 0, f"backup of the handset without IMEI: exit {r.returncode}\n{r.stdout}")
    check("IMEI: ERROR" in r.stdout, "the answer is logged as it came:\n" + r.stdout)
    with open(path("run.json"), encoding="utf-8") as f:
        record = json.load(f)
    check(record["imei"] is None, f"the record takes the answer for an IMEI: {record['imei']!r}")
    made = glob.glob(path("b-unknown-*.vbk"))
    check(len(made) == 1, f"one backup named unknown-TIME expected: {os.listdir(work)}")
    check(b"\nimei unknown\n" in open(made[0], "rb").read(), "the backup does not say imei unknown")
    r = run("restore", made[0], "--port", "sim:", "AUTOMATIC")
    check(r.returncode == 1 and "(imei unknown)" in r.stdout + r.stderr and
          "--other-handset" in r.stdout + r.stderr,
          f"restored unattended without --other-handset: exit {r.returncode}\n{r.stdout}{r.stderr}")
    check("Restoring" not in r.stdout, "blocks were written:\n" + r.stdout)
    r = run("--restore", made[0], "--other-handset", "--port", "sim:", "AUTOMATIC")
    check(r.returncode == 0, f"with --other-handset: exit {r.returncode}\n{r.stdout}{r.stderr}")


try:
    main()
    print("PASS")
except Failure as e:
    print("FAIL:", e)
    sys.exit(1)
finally:
    shutil.rmtree(work, ignore_errors=True)
