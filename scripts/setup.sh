#!/usr/bin/env bash
# Installs the Debian packages Velmora needs (when missing), then configures and builds.
# Usage: scripts/setup.sh [BUILD_DIR] [extra cmake options...]
# VELMORA_TARGETS="a b" builds only those targets (default: everything).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/release}"
shift || true

packages=(build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev
          libbenchmark-dev libcli11-dev nlohmann-json3-dev libasio-dev libssl-dev python3-serial libwxgtk3.2-dev xvfb
          xauth clang-14 libclang-rt-14-dev chromium python3-websocket libsqlite3-dev libpq-dev
          postgresql)
# shellcheck source=scripts/lib.sh
source "$root/scripts/lib.sh"
install_packages "${packages[@]}"
configure_and_build "$build" "$@"
