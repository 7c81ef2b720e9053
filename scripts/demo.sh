#!/usr/bin/env bash
# Sets everything up on a fresh Debian machine, then writes a sample mapping into the simulated
# handset and shows the log, the progress and what the handset holds afterwards.
#
# Usage: scripts/demo.sh [--rfc2217] [MAP_FILE] [extra velmora-cli options...]
#   --rfc2217   run the handset in velmora-sim and talk to it over RFC 2217 on 127.0.0.1
#               (default: the in-process simulated handset, --port sim:)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/release"
VELMORA_TARGETS="velmora-cli velmora-sim" "$root/scripts/setup.sh" "$build" >/dev/null

via=sim
if [ "${1:-}" = "--rfc2217" ]; then via=rfc2217; shift; fi
map="${1:-$root/examples/Velmora_K72_1_Standard_11_0001.map}"
shift || true

if [ "$via" = sim ]; then
  exec "$build/cli/velmora-cli" --map "$map" --port sim: --show-handset "$@"
fi

work="$(mktemp -d)"
trap 'kill "$simpid" 2>/dev/null || true; rm -rf "$work"' EXIT
"$build/sim/velmora-sim" --port 0 --once --dump "$work/handset.txt" >"$work/sim.log" 2>&1 &
simpid=$!
for _ in $(seq 100); do grep -q "listening on" "$work/sim.log" 2>/dev/null && break; sleep 0.1; done
port="$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/sim.log" | head -1)"
[ -n "$port" ] || { cat "$work/sim.log"; exit 1; }
echo "velmora-sim is serving the simulated handset on rfc2217://127.0.0.1:$port"
status=0
"$build/cli/velmora-cli" --map "$map" --port "rfc2217://127.0.0.1:$port" "$@" || status=$?
wait "$simpid" || true
printf '\nThe simulated handset now holds:\n'
cat "$work/handset.txt"
exit "$status"
