#!/usr/bin/python3
"""velmora-cli's records on a real PostgreSQL server (pg_server.sh, started by the fixture):
records arrive whole; a server stopped between a station's runs loses nothing (the outbox,
then records sync: every record once); two stations insert at the same time into a database
neither has made yet; a schema of version 1 is upgraded. Each case has a database of its own.

Usage: pg_records_test.py STATE CLI SIM SOURCE_DIR CASE"""

import os
import shutil
import subprocess
import sys
import tempfile

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


def case_outbox():
    # A station's runs one after another; the server goes away after the first and comes back
    # before records sync.
    count = 3
    outputs = []
    try:
        for n in range(count):
            if n == 1:
                subprocess.run(["bash", server, "halt", state_file], check=True, timeout=60)
            run = update()
            outputs.append(run.stdout + run.stderr)
            if run.returncode != 0:
                problems.append(f"run {n + 1} ended with {run.returncode} although the outbox kept "
                                f"its record:\n{run.stderr}")
    finally:
        subprocess.run(["bash", server, "resume", state_file], check=True, timeout=60)
    if not all("waits in the outbox" in o for o in outputs[1:]) or any("hunter2" in o for o in outputs):
        problems.append(f"the runs do not say the outbox took their records, or show the password:\n{outputs}")
    expect_runs(1)
    sync = cli_run("records", "sync", "--records", url)
    if sync.returncode != 0 or f"{count - 1} record(s) delivered, 0 waiting" not in sync.stdout:
        problems.append(f"records sync: {sync.returncode} {sync.stdout}{sync.stderr}")
    again = cli_run("records", "sync", "--records", url)
    if "0 record(s) delivered, 0 waiting" not in again.stdout:
        problems.append(f"a second sync: {again.stdout}{again.stderr}")
    expect_runs(count)
    if sql("SELECT count(DISTINCT run_id) FROM runs", database) != str(count):
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
