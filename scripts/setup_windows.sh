#!/usr/bin/env bash
# Installs what the Windows build and its tests under Wine need (when missing), then configures
# and builds the cross build. Usage: scripts/setup_windows.sh [BUILD_DIR] [extra cmake options...]
# VELMORA_TARGETS="a b" builds only those targets (default: everything).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/windows}"
shift || true

packages=(cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest
          libcli11-dev wine64 python3-serial xvfb x11-apps x11-utils)
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

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" "$@" >/dev/null
if [ -n "${VELMORA_TARGETS:-}" ]; then
  # shellcheck disable=SC2086
  cmake --build "$build" -j"$(nproc)" --target ${VELMORA_TARGETS}
else
  cmake --build "$build" -j"$(nproc)"
fi
