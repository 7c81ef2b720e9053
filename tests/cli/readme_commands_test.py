#!/usr/bin/python3
"""Every velmora-cli command line the README writes, run as written: read out of README.md (the
lines of its code blocks and the commands quoted in its text), so that a new one is covered as
soon as it is written. Where a line needs a handset it gets velmora-sim's (one handset for the
lines of a code block, so that a backup, an update and the restores after it work on the same
store; a new one for the next block, since a map written twice into one handset is no update);
devices, databases, station files and the live page's address become the test's own. A line
is good when it ends with exit status 0. A synopsis (with [ ], | or ...) is not run: each option
and subcommand it names must be one that velmora-cli --help lists.

Usage: readme_commands_test.py CLI SIM SOURCE_DIR"""

import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from simhandset import dump_blocks, start_sim  # noqa: E402

cli, simsrv, source = (os.path.abspath(a) for a in sys.argv[1:4])
examples = os.path.join(source, "examples")
standard_map = os.path.join(examples, "Velmora_K72_1_Standard_11_0001.map")
large_map = os.path.join(examples, "Velmora_K72_1_Large_11_0002.map")

# Quoted in the text as part of a sentence, not as a command line of their own.
FRAGMENTS = {
    "velmora-cli.exe --check",  # scripts/package.sh runs it on the unpacked zip's own map
}


def command_lines(readme):
    """(line number, text, group) of every velmora-cli command line of the README; the lines of
    one code block are one group, each command quoted in the text a group of its own."""
    found = []
    fenced = False
    pending = ""
    group = 0
    for number, line in enumerate(readme.split("\n"), 1):
        if line.startswith("```"):
            fenced = not fenced
            group += 1
            continue
        if fenced:
            text = (pending + " " + line.strip()) if pending else line.strip()
            if text.endswith("\\"):
                pending = text[:-1].strip()
                continue
            pending = ""
            # A comment after the command is no part of it.
            text = re.sub(r"\s+#\s.*$", "", text)
            first = text.split()[0] if text.split() else ""
            if re.fullmatch(r"(\S*/)?velmora-cli(\.exe)?", first):
                found.append((number, text, group))
        else:
            for span in re.findall(r"`([^`]*)`", line):
                words = span.split()
                if (len(words) > 1 and re.fullmatch(r"velmora-cli(\.exe)?", words[0])
                        and span not in FRAGMENTS):
                    group += 1
                    found.append((number, span, group))
    return found


def is_synopsis(text):
    return bool(re.search(r"\[|\||\.\.\.", text))


def fail(message):
    print("FAIL:", message)
    sys.exit(1)


work = tempfile.mkdtemp(prefix="velmora-readme-")
sim = None
try:
    help_text = subprocess.run([cli, "--help"], capture_output=True, text=True).stdout
    known = set(re.findall(r"(?<![\w-])(--[a-z][a-z0-9-]*)", help_text))
    known |= set(re.findall(r"^  ([a-z][a-z-]+)\s", help_text, re.M))  # the subcommands
    dump = os.path.join(work, "handset.txt")
    url = None

    def new_handset():
        global sim
        if sim is not None:
            sim.kill()
            sim.wait()
        sim, address = start_sim(simsrv, ["--dump", dump], os.path.join(work, "sim.txt"))
        if address is None:
            fail("velmora-sim did not start")
        return address

    env = dict(os.environ, XDG_STATE_HOME=os.path.join(work, "state"),
               XDG_CONFIG_HOME=os.path.join(work, "config"), HOME=work)
    env.pop("VELMORA_SETTINGS", None)
    records = "sqlite:" + os.path.join(work, "records.sqlite")
    # The lines that name a PostgreSQL server get a throwaway one of their own.
    pg_state = os.path.join(work, "pg.state")
    pg = subprocess.run(["bash", os.path.join(source, "tests", "records", "pg_server.sh"), "start", pg_state],
                        capture_output=True, text=True, timeout=120)
    server = None
    if pg.returncode == 0:
        server = re.search(r"^url=(.*)$", open(pg_state).read(), re.M).group(1).strip("'")
    elif pg.returncode != 77:
        fail("the PostgreSQL server for the README's lines did not start:\n" + pg.stdout + pg.stderr)
    for name in ("bench.txt", "ports.txt", "stations.txt"):
        with open(os.path.join(work, name), "w") as f:
            f.write("sim:   port1.log\n")

    def substitute(words):
        """The line's words with the test's own devices, files and addresses."""
        out = [cli]
        i = 1
        continuous = False
        while i < len(words):
            w = words[i]
            prev = out[-1]
            if re.fullmatch(r"/dev/tty\w+|COM\d|P|DEVICE|usb:[0-9a-fA-F:]+|rfc2217://[\d.]+:\d+", w) \
                    and prev == "--port":
                w = url
            elif prev == "--map" and not os.path.exists(os.path.join(source, w)):
                w = large_map if w in ("new.map",) else standard_map
            elif prev == "--records" and w.startswith("postgresql:"):
                w = server
            elif prev == "--records" and w != "none":
                w = records
            elif prev == "--serve":
                w = "127.0.0.1:0"
            elif prev == "--sysfs-root":
                w = os.path.join(work, "sys")
            elif re.fullmatch(r"examples[\\/].*", w):
                w = os.path.join(source, w.replace("\\", "/"))
            if w == "--continuous":
                continuous = True
            out.append(w)
            i += 1
        # A line of handsets goes on until it is stopped; here after its one handset.
        if continuous and "--count" not in out:
            out += ["--count", "1"]
        return out

    lines = command_lines(open(os.path.join(source, "README.md"), encoding="utf-8").read())
    if len(lines) < 15:
        fail(f"only {len(lines)} command lines found in README.md; the reader lost them")
    ran = checked = exact = 0
    backed_up = {}  # backup file -> the handset's blocks when it was made

    def mode_file(argv, mode):
        """The file of the mode (subcommand or flag) on the command line, else None."""
        for i, w in enumerate(argv[:-1]):
            if w in (mode, "--" + mode):
                return argv[i + 1]
        return None

    group = None
    for number, text, line_group in lines:
        if is_synopsis(text):
            for word in re.findall(r"(?<![\w-])(--[a-z][a-z0-9-]*)", text):
                if word not in known:
                    fail(f"README.md:{number}: {word} is no option of velmora-cli: {text}")
            for word in ("update", "check", "plan", "restore", "backup", "list-ports", "station"):
                if re.search(rf"(?<![\w-]){word}(?![\w-])", text) and word not in known:
                    fail(f"README.md:{number}: {word} is no subcommand of velmora-cli: {text}")
            checked += 1
            continue
        if server is None and "postgresql:" in text:
            print(f"SKIP README.md:{number}: no PostgreSQL here: {text}")
            continue
        if line_group != group:
            url = new_handset()
            group = line_group
        argv = substitute(shlex.split(text))
        backup = mode_file(argv, "backup")
        if backup:
            backed_up[backup] = dump_blocks(sim, dump)
        run = subprocess.run(argv, cwd=work, env=env, stdin=subprocess.DEVNULL,
                             capture_output=True, text=True, timeout=170)
        if run.returncode != 0:
            fail(f"README.md:{number}: {text}\n  ran {shlex.join(argv)}\n  exit status "
                 f"{run.returncode}\n--- stdout\n{run.stdout[-3000:]}\n--- stderr\n{run.stderr[-3000:]}")
        ran += 1
        # The README's backup, update and restores go to the one handset: an exact restore of
        # a backup gives the store back as it was (the blocks the update made deleted).
        restored = mode_file(argv, "restore")
        if restored in backed_up and "--exact" in argv:
            if dump_blocks(sim, dump) != backed_up[restored]:
                fail(f"README.md:{number}: {text} did not give the store of the backup back")
            exact += 1
    if backed_up and not exact:
        fail("README.md backs a handset up but restores no backup with --exact")
    print(f"{ran} command lines of README.md ran, {checked} synopses checked")
finally:
    if os.path.exists(os.path.join(work, "pg.state")):
        subprocess.run(["bash", os.path.join(source, "tests", "records", "pg_server.sh"), "stop",
                        os.path.join(work, "pg.state")], capture_output=True, timeout=120)
    if sim is not None:
        sim.kill()
        sim.wait()
    shutil.rmtree(work, ignore_errors=True)
