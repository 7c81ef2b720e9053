#!/usr/bin/python3
"""The layers as the build draws them: every product file includes only headers of its own
folder and of the folders its libraries link (directly or through others), read from the
CMakeLists.txt files' add_library / add_executable and target_link_libraries. An include that
reaches up or across fails here, naming the file, the header and the folders it may use.

Usage: layers_test.py SOURCE_DIR"""

import os
import re
import sys

root = sys.argv[1]
product = ["platform", "rfc2217", "ports", "options", "protocol", "link", "mapfile", "handset",
           "update", "container", "sim", "station", "records", "app", "cli", "gui", "tools"]


def calls(text, command):
    """(first word, other words) of every call of command in a CMake text."""
    text = re.sub(r"#[^\n]*", "", text)
    for m in re.finditer(rf"\b{command}\s*\(([^)]*)\)", text):
        words = m.group(1).split()
        if words:
            yield words[0], words[1:]


folder_of = {}   # target -> folder (its first path component below the root)
links = {}       # target -> targets it links
for top in product:
    for d, _, files in os.walk(os.path.join(root, top)):
        if "CMakeLists.txt" not in files:
            continue
        text = open(os.path.join(d, "CMakeLists.txt")).read()
        for command in ("add_library", "add_executable"):
            for name, _ in calls(text, command):
                folder_of[name] = top
        for name, words in calls(text, "target_link_libraries"):
            links.setdefault(name, set()).update(
                w for w in words if w not in ("PUBLIC", "PRIVATE", "INTERFACE"))


def reach(target, seen):
    for dep in links.get(target, ()):
        if dep not in seen:
            seen.add(dep)
            reach(dep, seen)
    return seen


allowed = {top: {top} for top in product}
for target, top in folder_of.items():
    allowed[top] |= {folder_of[t] for t in reach(target, set()) if t in folder_of}

problems = []
include = re.compile(r'^\s*#\s*include\s+"([a-z0-9_]+)/', re.M)
for top in product:
    for d, _, files in os.walk(os.path.join(root, top)):
        for f in files:
            if not f.endswith((".cpp", ".h", ".in")):
                continue
            path = os.path.join(d, f)
            for used in include.findall(open(path, encoding="utf-8", errors="replace").read()):
                if used in product and used not in allowed[top]:
                    problems.append(f"{os.path.relpath(path, root)} includes {used}/: {top}/ may "
                                    f"use only {', '.join(sorted(allowed[top]))}")

if problems:
    print("\n".join("FAIL: " + p for p in problems))
    sys.exit(1)
print(f"PASS: {len(product)} folders include only what their libraries link")
