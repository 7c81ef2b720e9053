#!/usr/bin/python3
"""velmora-cli's records on a real PostgreSQL server (pg_server.sh, started by the fixture):
records arrive whole; a server stopped in the middle of a line of handsets loses nothing (the
outbox, then records sync: every record once); two stations insert at the same time into a database
neither has made yet; a schema of version 1 is upgraded. Each case has a database of its own.

Usage: pg_records_test.py STATE CLI SIM SOURCE_DIR CASE"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

state_file, cli, simsrv, src, case = sys.argv[1:6]
cli, simsrv = os.path.abspath(cli), os.path.abspath(simsrv)
if not os.path.exists(state_file):
    print("SKIP: no PostgreSQL server (its programs are not installed)")
    sys.exit(77)
state = dict(line.rstrip("\n").split("=", 1) for line in open(state_file))
psql = os.path.join(state["bin"], "psql")
standard_map = os.path.join(src, "examples", "Velmora_K72_1_Standard_11_0001.map")
server = os.path.join(os.path.dirname(__file__), "pg_server.sh")
work = tempfile.mkdtemp()
env = dict(os.environ, XDG_STATE_HOME=os.path.join(work, "state"))
problems = []


def sql(query, database="postgres"):
    url = f"postgresql://velmora@/{database}?host={state['dir']}"
    return subprocess.run([psql, url, "-Atc", query], capture_output=True, text=True, check=True,
                          timeout=60).stdout.strip()


database = "case_" + case
sql(f"DROP DATABASE IF EXISTS {database}")
sql(f"CREATE DATABASE {database}")
# A password the trust login ignores: it must never be printed.
url = f"postgresql://velmora:hunter2@/{database}?host={state['dir']}"


def cli_run(*args, timeout=240):
    return subprocess.run([cli, *args], capture_output=True, text=True, env=env, cwd=work,
                          timeout=timeout, stdin=subprocess.DEVNULL)


def update(extra=()):
    return cli_run("--records", url, "--map", standard_map, "--port", "sim:", "AUTOMATIC", *extra)


def expect_runs(n):
    got = int(sql("SELECT count(*) FROM runs", database))
    if got != n:
        problems.append(f"{got} runs on the server, expected {n}")


def case_arrive():
    run = update()
    if run.returncode != 0:
        problems.append(f"exit status {run.returncode}: {run.stderr}")
    expect_runs(1)
    row = sql("SELECT imei, outcome, map_sha1 IS NOT NULL, station IS NOT NULL, "
              "(SELECT count(*) FROM blocks b WHERE b.run_id = r.run_id) > 0 FROM runs r", database)
    if row != "351234567890128|succeeded|t|t|t":
        problems.append(f"the stored run reads {row!r}")
    history = cli_run("history", "--records", url, "--json", "--imei", "351234567890128")
    stored = sql("SELECT record_json FROM runs", database)
    if history.stdout != stored + "\n":
        problems.append(f"history --json gave {history.stdout!r}, the server holds {stored!r}")


def wait_until(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise TimeoutError(what)
        time.sleep(0.1)


def stored_runs():
    """Runs on the server; 0 before the first record made the tables."""
    if sql("SELECT to_regclass('runs') IS NULL", database) == "t":
        return 0
    return int(sql("SELECT count(*) FROM runs", database))


def case_outbox():
    # A line of four handsets on one program: the server restarts after the first record (the
    # connection the line keeps is gone: the second record takes a new one, no outbox), goes
    # away after the second and comes back when the line is done: the last two wait in the
    # outbox, and records sync without --records (the URL holds no password) delivers them.
    plain = f"postgresql://velmora@/{database}?host={state['dir']}"
    with open(os.path.join(work, "line.profile"), "w") as f:
        f.write("state = off\nhandsets = 4\nnext_after_ms = 3000\n")
    line = subprocess.Popen(
        [cli, "--records", plain, "--map", standard_map, "--port", "sim:line.profile",
         "--continuous", "--count", "4", "AUTOMATIC"],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env, cwd=work,
        stdin=subprocess.DEVNULL)
    try:
        wait_until(lambda: stored_runs() == 1, 120, "the first record")
        subprocess.run(["bash", server, "halt", state_file], check=True, timeout=60)
        subprocess.run(["bash", server, "resume", state_file], check=True, timeout=60)
        wait_until(lambda: stored_runs() == 2, 120, "the second record")
        subprocess.run(["bash", server, "halt", state_file], check=True, timeout=60)
        _, err = line.communicate(timeout=240)
    finally:
        if line.poll() is None:
            line.kill()
        subprocess.run(["bash", server, "resume", state_file], check=True, timeout=60)
    if line.returncode != 0 or err.count("waits in the outbox") != 2:
        problems.append(f"the line ended with {line.returncode}; expected two records in the outbox:\n{err}")
    expect_runs(2)
    sync = cli_run("records", "sync")
    if sync.returncode != 0 or "2 record(s) delivered, 0 waiting" not in sync.stdout:
        problems.append(f"records sync: {sync.returncode} {sync.stdout}{sync.stderr}")
    expect_runs(4)

    # A URL with a password: the outbox keeps the record without it, so a sync without --records
    # leaves it waiting and says why; the next run with the URL delivers it before its own.
    subprocess.run(["bash", server, "halt", state_file], check=True, timeout=60)
    try:
        run = update()
    finally:
        subprocess.run(["bash", server, "resume", state_file], check=True, timeout=60)
    if run.returncode != 0 or "waits in the outbox" not in run.stderr or "hunter2" in run.stdout + run.stderr:
        problems.append(f"a run with the server down: {run.returncode}\n{run.stderr}")
    blind = cli_run("records", "sync")
    if (blind.returncode == 0 or "0 record(s) delivered, 1 waiting" not in blind.stdout
            or "keeps no password" not in blind.stderr or "hunter2" in blind.stdout + blind.stderr):
        problems.append(f"records sync without the password: {blind.returncode} {blind.stdout}{blind.stderr}")
    run = update()
    if run.returncode != 0 or run.stderr:
        problems.append(f"the next run: {run.returncode}\n{run.stderr}")
    expect_runs(6)
    again = cli_run("records", "sync", "--records", url)
    if again.returncode != 0 or "0 record(s) delivered, 0 waiting" not in again.stdout:
        problems.append(f"a last sync: {again.stdout}{again.stderr}")
    if sql("SELECT count(DISTINCT run_id) FROM runs", database) != "6":
        problems.append("a run arrived twice")


def case_concurrent():
    # Two stations of three runs each, at once, into a database with no tables yet.
    stations = [subprocess.Popen(
        ["bash", "-c", f'for i in 1 2 3; do "$0" --records "$1" --map "$2" --port sim: AUTOMATIC'
                       ' >/dev/null || exit 1; done', cli, url, standard_map],
        env=env, cwd=work, stderr=subprocess.PIPE, text=True) for _ in range(2)]
    for s in stations:
        _, err = s.communicate(timeout=300)
        if s.returncode != 0:
            problems.append(f"a station failed: {err}")
    expect_runs(6)
    if sql("SELECT version FROM schema_version", database) != "2":
        problems.append("schema_version is not one row of 2")


def case_upgrade():
    # Version 1 as docs/records.md gives it, with a run of its time.
    for statement in [
            "CREATE TABLE schema_version(version BIGINT NOT NULL)",
            "INSERT INTO schema_version VALUES (1)",
            "CREATE TABLE runs(run_id TEXT PRIMARY KEY, program TEXT, version TEXT, mode TEXT,"
            " map_file TEXT, map_sha1 TEXT, map_product TEXT, map_version TEXT, port TEXT, baud BIGINT,"
            " verify BIGINT, imei TEXT, hardware_product BIGINT, start_utc TEXT, end_utc TEXT,"
            " duration_ms BIGINT, garbage_collections BIGINT, outcome TEXT, error TEXT, exit_status BIGINT)",
            "CREATE TABLE blocks(run_id TEXT NOT NULL REFERENCES runs(run_id), seq BIGINT NOT NULL,"
            " number BIGINT, area TEXT, operation TEXT, outcome TEXT, status BIGINT, verify_byte BIGINT,"
            " PRIMARY KEY(run_id, seq))",
            "INSERT INTO runs(run_id, imei, start_utc, outcome, duration_ms, port) VALUES"
            " ('old', '1', '2025-05-05T05:05:05.000Z', 'failed', 1000, 'COM1')"]:
        sql(statement, database)
    run = update()
    if run.returncode != 0:
        problems.append(f"exit status {run.returncode}: {run.stderr}")
    if sql("SELECT version FROM schema_version", database) != "2":
        problems.append("not upgraded to version 2")
    expect_runs(2)
    csv = cli_run("history", "--records", url, "--csv", "--outcome", "failed").stdout.splitlines()
    if len(csv) != 2 or not csv[1].startswith("old,2025-05-05T05:05:05.000Z,COM1,1,failed"):
        problems.append(f"the version 1 run reads {csv}")


{"arrive": case_arrive, "outbox": case_outbox, "concurrent": case_concurrent,
 "upgrade": case_upgrade}[case]()
if problems:
    print("\n".join("FAIL: " + p for p in problems))
    sys.exit(1)
shutil.rmtree(work)
print(f"PASS: {case}")
