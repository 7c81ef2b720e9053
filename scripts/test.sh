#!/usr/bin/env bash
# Sets everything up on a fresh Debian machine and runs the whole test suite:
# a warnings-as-errors build with every test, the Windows cross build under Wine, the release
# packages, then every unit and integration test again under AddressSanitizer and
# UndefinedBehaviorSanitizer (the whole-program CLI runs only once), then runs each fuzz target
# for 30 s.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

"$root/scripts/setup.sh" "$root/build/ci" -DVELMORA_WERROR=ON
(cd "$root/build/ci" && ctest --output-on-failure -j"$(nproc)" --timeout 300)

# The Windows build: the MinGW-w64 cross build, its tests and programs under Wine, beside the
# Linux programs just built.
"$root/scripts/wine_test.sh" "$root/build/ci"
# The release packages from those two builds: the .deb unpacked into a scratch root and the zip
# unpacked, each checking a map with the velmora-cli it holds.
"$root/scripts/package.sh" "$root/build/ci" "$root/build/windows"

"$root/scripts/setup.sh" "$root/build/asan" -DVELMORA_WERROR=ON -DVELMORA_SANITIZE=ON \
  -DVELMORA_BUILD_BENCHMARKS=OFF
(cd "$root/build/asan" && ctest --output-on-failure -j"$(nproc)" --timeout 300 -LE cli)

# Fuzz smoke: the libFuzzer targets (clang) for 30 s each, from the committed corpus; new
# corpus entries stay in build/fuzz, so the tree is left as it was.
"$root/scripts/fuzz.sh" --seconds 30
