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
# shellcheck source=scripts/lib.sh
source "$root/scripts/lib.sh"
VELMORA_TARGETS="velmora-cli velmora-sim" "$root/scripts/setup.sh" "$build" >/dev/null

via=sim
if [ "${1:-}" = "--rfc2217" ]; then via=rfc2217; shift; fi
map="${1:-$example_map}"
shift || true

if [ "$via" = sim ]; then
  exec "$build/cli/velmora-cli" --map "$map" --port sim: --show-handset "$@"
fi

work="$(mktemp -d)"
trap 'kill "$simpid" 2>/dev/null || true; rm -rf "$work"' EXIT
start_velmora_sim "$work/handset" "$build/sim/velmora-sim"
simpid=$sim_pid
echo "velmora-sim is serving the simulated handset on rfc2217://127.0.0.1:$sim_port"
status=0
"$build/cli/velmora-cli" --map "$map" --port "rfc2217://127.0.0.1:$sim_port" "$@" || status=$?
wait "$simpid" || true
printf '\nThe simulated handset now holds:\n'
cat "$work/handset.dump"
exit "$status"
