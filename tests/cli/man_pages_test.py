#!/usr/bin/python3
"""Each program's man page against its --help: every option --help lists is described in the
man page, every option the man page describes is one the program takes, and both give the same
exit statuses. A failure names the option or status and where it is missing.

Usage: man_pages_test.py MAN_DIR PROGRAM..."""

import os
import re
import subprocess
import sys

man_dir, programs = sys.argv[1], sys.argv[2:]
problems = []


def help_text(args):
    return subprocess.run(args + ["--help"], capture_output=True, text=True, timeout=30,
                          env=dict(os.environ, DISPLAY="")).stdout


def help_options(text):
    return set(re.findall(r"(?m)^\s+(?:-\w,)?(--[a-z0-9][a-z0-9-]*)", text)) - {"--help"}


def statuses(paragraph):
    """The exit statuses a text names: numbers at the start of an item (0, 1, 2, 64, 129 ...)."""
    return set(int(n) for n in re.findall(r"(?:^|[\s,;(/])(\d{1,3})(?=[\s/,])", paragraph))


for program in programs:
    name = os.path.basename(program)
    text = help_text([program])
    options = help_options(text)
    # Programs with subcommands: their options too, and the subcommands themselves.
    subcommands = re.findall(r"(?m)^Subcommands:\n((?:  \S.*\n)+)", text)
    for block in subcommands:
        for sub in re.findall(r"(?m)^  (\S+)", block):
            options |= help_options(help_text([program, sub]))
            options.add(sub)
    words = set(re.findall(r"\{(AUTOMATIC)\}", text))
    exit_help = re.search(r"Exit status:(.*?)(?:\n\n|\nUsage:)", text, re.S)
    if not exit_help:
        problems.append(f"{name} --help gives no exit statuses")
        continue

    page = open(os.path.join(man_dir, name + ".1")).read()
    # The page's release is the one the program says it belongs to.
    version = subprocess.run([program, "--version"], capture_output=True, text=True, timeout=30,
                             env=dict(os.environ, DISPLAY="")).stdout
    release = re.search(r"Version (\S+)", version)
    th = re.search(r'(?m)^\.TH \S+ \d+ "[^"]*" "Velmora (\S+)"', page)
    if not release or not th or th.group(1) != release.group(1):
        problems.append(f"{name}: docs/man/{name}.1 is for release "
                        f"{th.group(1) if th else '?'}, the program says {version.strip()!r}")
    plain = page.replace("\\-", "-").replace("\\fB", "").replace("\\fR", "").replace("\\fI", "")
    section = re.search(r"(?ms)^\.SH OPTIONS\n(.*?)^\.SH ", plain)
    # The item lines of OPTIONS (".B --x", ".BI --x " FILE"", ".BI -o ", " --output " FILE"").
    items = re.findall(r"(?m)^\.BI? (.*)$", section.group(1)) if section else []
    described = {o for item in items for o in re.findall(r"(?<![a-z0-9-])(--[a-z0-9][a-z0-9-]*)", item)}
    described_subs = set(re.findall(r"(?m)^\.B ([a-z][a-z-]*)\s*$", section.group(1))) if section else set()
    for option in sorted(options - described - described_subs):
        problems.append(f"{name}: {option} is in --help but not described in docs/man/{name}.1")
    for option in sorted(described - options):
        problems.append(f"{name}: docs/man/{name}.1 describes {option}, which --help does not list")
    for word in words:
        if not re.search(rf"(?m)^\.B {word}\s*$", plain):
            problems.append(f"{name}: {word} is in --help but not described in docs/man/{name}.1")
    exit_man = re.search(r"(?ms)^\.SH EXIT STATUS\n(.*?)(?:^\.SH |\Z)", plain)
    if not exit_man:
        problems.append(f"docs/man/{name}.1 has no EXIT STATUS section")
        continue
    in_help, in_man = statuses(exit_help.group(1)), statuses(exit_man.group(1))
    if in_help != in_man:
        problems.append(f"{name}: exit statuses differ: --help {sorted(in_help)}, "
                        f"docs/man/{name}.1 {sorted(in_man)}")

if problems:
    print("\n".join("FAIL: " + p for p in problems))
    sys.exit(1)
print(f"PASS: {len(programs)} man pages match their programs' --help")
