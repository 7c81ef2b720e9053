#!/usr/bin/env bash
# Sets everything up on a fresh Debian machine, then writes a sample mapping into the simulated
# handset and shows the log, the progress and what the handset holds afterwards.
# Usage: scripts/demo.sh [MAP_FILE] [extra velmora-cli options...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh" "$root/build/release" >/dev/null
map="${1:-$root/examples/Velmora_K72_1_Standard_11_0001.map}"
shift || true
exec "$root/build/release/cli/velmora-cli" --map "$map" --port sim: --show-handset "$@"
