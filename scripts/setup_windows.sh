#!/usr/bin/env bash
# Installs what the Windows build and its tests under Wine need (when missing), then configures
# and builds the cross build. Usage: scripts/setup_windows.sh [BUILD_DIR] [extra cmake options...]
# VELMORA_TARGETS="a b" builds only those targets (default: everything).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/windows}"
shift || true

packages=(cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest
          libcli11-dev nlohmann-json3-dev wine64 python3-serial xvfb x11-apps x11-utils)
# shellcheck source=install_packages.sh
source "$root/scripts/install_packages.sh"
install_packages "${packages[@]}"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" "$@" >/dev/null
if [ -n "${VELMORA_TARGETS:-}" ]; then
  # shellcheck disable=SC2086
  cmake --build "$build" -j"$(nproc)" --target ${VELMORA_TARGETS}
else
  cmake --build "$build" -j"$(nproc)"
fi
