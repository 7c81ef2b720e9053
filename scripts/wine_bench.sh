#!/usr/bin/env bash
# The whole-run benchmark (bench/update/whole_run.py) twice in one go: the Linux velmora-cli and
# velmora-cli.exe under Wine, each against the Linux velmora-sim, then the Windows build's
# connect and transfer times set against the Linux build's (goal: at most 1.02).
# Usage: scripts/wine_bench.sh [LINUX_BUILD_DIR] [WINDOWS_BUILD_DIR] [whole_run.py options...]
# (default build/ci and build/windows, --baud 115200 --state service --state normal)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=scripts/lib.sh
source "$root/scripts/lib.sh"
linux="${1:-$root/build/ci}"
win="${2:-$root/build/windows}"
shift 2 2>/dev/null || shift $#
options=("$@")
((${#options[@]})) || options=(--baud 115200 --state service --state normal)
python=/usr/bin/python3

for f in "$linux/cli/velmora-cli" "$linux/sim/velmora-sim" "$linux/tools/mapgen/velmora-mapgen" \
         "$win/cli/velmora-cli.exe"; do
  [ -e "$f" ] || { echo "wine_bench: $f is missing (build it first)" >&2; exit 1; }
done

work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-wine-bench.XXXXXX")"
use_wine_prefix "$work/prefix"
unset DISPLAY
# A persistent wineserver is not ended by its clients going: ended here, before its prefix goes.
trap 'wineserver -k 2>/dev/null || true; wineserver -w 2>/dev/null || true; rm -rf "$work"' EXIT
wineboot -i >/dev/null 2>&1
wineserver -w
# The wineserver stays up between the runs, as it would on a desktop. It keeps the ordinary
# priority: with velmora-sim and velmora-cli under the real-time policy on two cores, a third
# real-time process made the Windows runs slower, not steadier.
wineserver -p

printf '#!/bin/sh\nexec wine "%s" "$@"\n' "$win/cli/velmora-cli.exe" >"$work/velmora-cli-wine"
chmod +x "$work/velmora-cli-wine"

run() {  # run NAME CLI
  echo "== $1"
  "$python" "$root/bench/update/whole_run.py" --cli "$2" --sim "$linux/sim/velmora-sim" \
    --mapgen "$linux/tools/mapgen/velmora-mapgen" --work "$work/$1" "${options[@]}" | tee "$work/$1.txt" \
    || echo "(whole_run.py found problems in these runs; see above)"
}
run linux "$linux/cli/velmora-cli"
run windows "$work/velmora-cli-wine"

# The table rows: "  state   baud | connect bound ratio | transfer wire think ratio us | ...".
echo
echo "Windows build under Wine against the Linux build (time / time; goal at most 1.02):"
"$python" - "$work/linux.txt" "$work/windows.txt" <<'PY'
import re
import sys

def rows(path):
    out = {}
    for line in open(path):
        m = re.match(r"\s*(service|normal)\s+(\d+) \|\s+([\d.]+)\s+[\d.]+\s+[\d.]+ \|\s+([\d.]+)", line)
        if m:
            out[(m.group(1), int(m.group(2)))] = (float(m.group(3)), float(m.group(4)))
    return out

linux, windows = rows(sys.argv[1]), rows(sys.argv[2])
worst = 0.0
for key in sorted(linux):
    if key not in windows:
        continue
    (lc, lt), (wc, wt) = linux[key], windows[key]
    worst = max(worst, wc / lc, wt / lt)
    print(f"{key[0]:>7} {key[1]:>6} baud: connect {wc:.3f} s / {lc:.3f} s = {wc / lc:.4f}, "
          f"transfer {wt:.3f} s / {lt:.3f} s = {wt / lt:.4f}")
print(f"worst {worst:.4f} (goal 1.02)")
PY
