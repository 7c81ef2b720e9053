#!/usr/bin/env bash
# Installs the Debian packages Velmora needs (when missing), then configures and builds.
# Usage: scripts/setup.sh [BUILD_DIR] [extra cmake options...]
# VELMORA_TARGETS="a b" builds only those targets (default: everything).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/release}"
shift || true

packages=(build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev
          libbenchmark-dev libcli11-dev libssl-dev python3-serial libwxgtk3.2-dev xvfb
          xauth clang-14 libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
if [ -n "${VELMORA_TARGETS:-}" ]; then
  # shellcheck disable=SC2086
  cmake --build "$build" -j"$(nproc)" --target ${VELMORA_TARGETS}
else
  cmake --build "$build" -j"$(nproc)"
fi
