"""What the end-to-end tests of continuous ports share: a work folder with its own state folder,
velmora-sim handset sequences, velmora-cli runs whose output goes to files, bounded waits, the
stores the simulators' handsets end with, and every process ended when the test ends, passed or
not."""

import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

from simhandset import start_sim

# The handset stores in a velmora-sim dump: one section per handset of a sequence.
HANDSET_HEADER = re.compile(r"^# handset (\d+) of (\d+) \(IMEI (\d+)\): (taken away|on the line)$")


class Failure(Exception):
    pass


def luhn(digits):
    total = 0
    for i, c in enumerate(reversed(digits)):
        d = int(c) * (2 if i % 2 == 0 else 1)
        total += d - 9 if d > 9 else d
    return str((10 - total % 10) % 10)


def sequence_imei(first, k):
    """The IMEI of the k-th handset (from 0) of a sequence that starts with `first`: the next
    bodies in turn, each with its own check digit."""
    if k == 0:
        return first
    body = f"{int(first[:14]) + k:014d}"
    return body + luhn(body)


def parse_store(lines):
    blocks = {}
    for line in lines:
        f = line.split()
        if len(f) == 5 and f[0] in ("Eelite", "Eefull"):
            blocks[(f[0].lower(), int(f[1]))] = (int(f[3]), f[4])
    return blocks


class Sim:
    """A velmora-sim serving a sequence of handsets, the operator bringing them in turn."""

    def __init__(self, bench, name, first_imei, handsets, next_after_ms):
        self.name = name
        self.imeis = [sequence_imei(first_imei, k) for k in range(handsets)]
        self.dump = os.path.join(bench.work, name + ".dump")
        args = ["--imei", first_imei, "--handsets", str(handsets), "--next-after",
                str(next_after_ms), "--state", "off", "--dump", self.dump]
        self.process, self.url = start_sim(bench.simsrv, args, os.path.join(bench.work, name + ".sim"))
        bench.processes.append(self.process)
        if self.url is None:
            raise Failure(f"velmora-sim {name} did not start")

    def stores(self):
        """{IMEI: {(area, number): (version, hex)}} of every handset brought so far, from the
        dump velmora-sim writes on SIGUSR1; a one-handset sim's store under its IMEI."""
        before = os.stat(self.dump).st_mtime_ns if os.path.exists(self.dump) else 0
        self.process.send_signal(signal.SIGUSR1)
        wait_for(lambda: os.path.exists(self.dump) and os.stat(self.dump).st_mtime_ns != before,
                 10, f"{self.name}: the dump")
        lines = open(self.dump).read().splitlines()
        if len(self.imeis) == 1:
            return {self.imeis[0]: parse_store(lines)}
        stores, imei, section = {}, None, []
        for line in lines + ["# handset 0 of 0 (IMEI 0): taken away"]:
            m = HANDSET_HEADER.match(line)
            if not m:
                section.append(line)
                continue
            if imei is not None:
                stores[imei] = parse_store(section)
            imei, section = m.group(3), []
        return stores


def descendants(pid):
    """The processes below pid, from /proc."""
    parents = {}
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as f:
                # The name in parentheses may hold spaces; the parent follows the state.
                parents[int(entry)] = int(f.read().rsplit(")", 1)[1].split()[1])
        except (ValueError, OSError, IndexError):
            pass
    found, todo = [], [pid]
    while todo:
        parent = todo.pop()
        below = [c for c, p in parents.items() if p == parent]
        found += below
        todo += below
    return found


def wait_for(predicate, timeout, what):
    """Polls predicate every 50 ms until it gives something true, which is returned."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"{what}: not within {timeout} s")
        time.sleep(0.05)


def read(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def records(path):
    return [json.loads(line) for line in read(path).splitlines() if line.strip()]


class Bench:
    """A work folder with a state folder of its own (XDG_STATE_HOME) and the processes started in
    it; use as a context manager: every process still running is killed at the end, and the
    folder removed."""

    def __init__(self, cli, simsrv, source):
        self.cli, self.simsrv, self.source = (os.path.abspath(p) for p in (cli, simsrv, source))
        self.map = os.path.join(self.source, "examples", "Velmora_K72_1_Standard_11_0001.map")
        self.work = tempfile.mkdtemp(prefix="velmora-line-")
        self.state = os.path.join(self.work, "state")
        self.env = dict(os.environ, XDG_STATE_HOME=self.state)
        self.processes = []

    def __enter__(self):
        return self

    def __exit__(self, *_):
        # A station's programs first: a line of handsets left behind would wait for ever.
        for p in self.processes:
            if p.poll() is None:
                for pid in descendants(p.pid) + [p.pid]:
                    try:
                        os.kill(pid, signal.SIGKILL)
                    except OSError:
                        pass
            p.wait()
        shutil.rmtree(self.work, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.work, name)

    def sim(self, name, first_imei, handsets, next_after_ms=1000):
        return Sim(self, name, first_imei, handsets, next_after_ms)

    def start(self, args, name="cli", new_group=False):
        """velmora-cli with args in the work folder, stdout and stderr into NAME.out, NAME.err;
        new_group: in a process group of its own."""
        p = subprocess.Popen([self.cli, *args], cwd=self.work, env=self.env,
                             stdin=subprocess.DEVNULL, stdout=open(self.path(name + ".out"), "w"),
                             stderr=open(self.path(name + ".err"), "w"),
                             process_group=0 if new_group else None)
        self.processes.append(p)
        return p

    def finish(self, process, timeout=60):
        try:
            return process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure(f"velmora-cli did not end within {timeout} s") from None

    def reference_store(self):
        """The store one update with the map leaves in a fresh simulated handset (the built-in
        one, which starts with the same blocks as velmora-sim's)."""
        run = subprocess.run([self.cli, "--map", self.map, "--port", "sim:", "--show-handset",
                              "AUTOMATIC"], cwd=self.work, env=self.env, capture_output=True,
                             text=True, timeout=60)
        if run.returncode != 0:
            raise Failure(f"the reference update exited {run.returncode}:\n{run.stderr}")
        return parse_store(run.stdout.split("The simulated handset now holds:", 1)[1].splitlines())


def run(main):
    """Runs main(), turning a Failure into FAIL and status 1."""
    try:
        main()
    except Failure as e:
        print("FAIL:", e)
        return 1
    return 0
