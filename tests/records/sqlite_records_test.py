#!/usr/bin/python3
"""velmora-cli's records in a SQLite file it cannot always write: a file that can never take a
record (not a database, a newer program's schema, read-only) is refused before any port is
touched; one locked past its wait or damaged keeps the record in the outbox (the run's own exit
status, a warning), and records sync delivers it once the file takes it again.

Usage: sqlite_records_test.py CLI SOURCE_DIR CASE"""

import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile

cli, src, case = sys.argv[1:4]
cli = os.path.abspath(cli)
standard_map = os.path.join(src, "examples", "Velmora_K72_1_Standard_11_0001.map")
work = tempfile.mkdtemp()
os.chmod(work, 0o755)
env = dict(os.environ, XDG_STATE_HOME=os.path.join(work, "state"))
database = os.path.join(work, "records.sqlite")
records = "sqlite:" + database
nowhere = "/dev/velmora-no-such-port"
problems = []


def cli_run(*args, user=None):
    command = [cli, *args]
    if user is not None:
        command = ["runuser", "-u", user, "--"] + command
    return subprocess.run(command, capture_output=True, text=True, env=env, cwd=work, timeout=120,
                          stdin=subprocess.DEVNULL)


def update(port="sim:", user=None):
    return cli_run("--records", records, "--map", standard_map, "--port", port, "AUTOMATIC", user=user)


def runs():
    with sqlite3.connect(database) as db:
        return db.execute("SELECT count(*) FROM runs").fetchone()[0]


def expect(what, run, status, *texts):
    # A refusal names no port: none was touched.
    if (run.returncode != status or any(t not in run.stderr + run.stdout for t in texts)
            or nowhere in run.stderr):
        problems.append(f"{what}: exit {run.returncode} (expected {status}, saying {texts}):\n"
                        f"{run.stdout}{run.stderr}")


def case_refusals():
    # Refused before the port (one that does not exist would fail with exit 2 and its name).
    with open(database, "w") as f:
        f.write("a text file, long enough to have something where a database has its header\n" * 4)
    run = update(nowhere)
    expect("a file that is not a database", run, 1, "file is not a database")
    os.remove(database)
    with sqlite3.connect(database) as db:
        db.execute("CREATE TABLE schema_version(version BIGINT NOT NULL)")
        db.execute("INSERT INTO schema_version VALUES (99)")
    db.close()
    expect("a newer schema", update(nowhere), 1, "schema version 99 is newer than this program's (2)")
    os.remove(database)
    expect("a good file", update(), 0)
    # Read-only: the file and its folder (where the journal goes) are not this user's to write;
    # root writes anything, so the program runs as nobody then.
    os.chmod(database, 0o444)
    user = "nobody" if os.getuid() == 0 else None
    if user is None:
        os.chmod(work, 0o555)
    try:
        expect("a read-only file", update(nowhere, user=user), 1, "readonly", database)
    finally:
        os.chmod(work, 0o755)
    expect("sqlite: without a path", cli_run("--records", "sqlite:", "--map", standard_map, "--port", nowhere,
                                             "AUTOMATIC"), 64, "the path is missing")


def case_locked():
    # Another program holds the file's write lock for the whole run: the check before the run
    # warns, the record waits past the busy timeout and goes to the outbox.
    expect("a first run", update(), 0)
    holder = sqlite3.connect(database, isolation_level=None, timeout=0)
    holder.execute("BEGIN IMMEDIATE")
    try:
        run = update()
    finally:
        holder.execute("ROLLBACK")
        holder.close()
    expect("a run on a locked file", run, 0, "database is locked", "waits in the outbox")
    if runs() != 1:
        problems.append(f"{runs()} runs in the file while it was locked, expected 1")
    expect("records sync", cli_run("records", "sync"), 0, "1 record(s) delivered, 0 waiting")
    if runs() != 2:
        problems.append(f"{runs()} runs in the file after the sync, expected 2")


def case_damaged():
    # The runs table's page is overwritten: the file opens and its schema reads, but no record
    # goes in. The record waits in the outbox; once the file is replaced, records sync
    # (--records the file) delivers it.
    expect("a first run", update(), 0)
    with sqlite3.connect(database) as db:
        page_size = db.execute("PRAGMA page_size").fetchone()[0]
        root = db.execute("SELECT rootpage FROM sqlite_master WHERE name = 'runs'").fetchone()[0]
    db.close()
    with open(database, "r+b") as f:
        f.seek((root - 1) * page_size)
        f.write(b"\xff" * page_size)
    run = update()
    expect("a run on a damaged file", run, 0, "malformed", "waits in the outbox")
    os.rename(database, database + ".damaged")
    expect("records sync", cli_run("records", "sync", "--records", records), 0, "1 record(s) delivered, 0 waiting")
    if runs() != 1:
        problems.append(f"{runs()} runs in the new file after the sync, expected 1")


{"refusals": case_refusals, "locked": case_locked, "damaged": case_damaged}[case]()
if problems:
    print("\n".join("FAIL: " + p for p in problems))
    sys.exit(1)
shutil.rmtree(work)
print(f"PASS: {case}")
