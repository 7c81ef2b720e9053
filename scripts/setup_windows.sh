#!/usr/bin/env bash
# Installs what the Windows build, its installer (nsis) and its tests under Wine need (when
# missing), then configures and builds the cross build.
# Usage: scripts/setup_windows.sh [BUILD_DIR] [extra cmake options...]
# VELMORA_TARGETS="a b" builds only those targets (default: everything).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/windows}"
shift || true

packages=(cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest
          libcli11-dev nlohmann-json3-dev libasio-dev wine64 python3-serial xvfb x11-apps x11-utils nsis file)
# shellcheck source=scripts/lib.sh
source "$root/scripts/lib.sh"
install_packages "${packages[@]}"
configure_and_build "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" "$@"
