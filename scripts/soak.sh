#!/usr/bin/env bash
# The fault soak at length: whole updates against the simulated handset with random faults,
# under AddressSanitizer (build/soak). Usage: scripts/soak.sh [RUNS] [SEED] (default 10000 1).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
VELMORA_TARGETS=velmora_soak "$root/scripts/setup.sh" "$root/build/soak" -DVELMORA_WERROR=ON \
  -DVELMORA_SANITIZE=ON -DVELMORA_BUILD_BENCHMARKS=OFF
exec "$root/build/soak/tests/soak/velmora_soak" --runs "${1:-10000}" --seed "${2:-1}"
