#!/usr/bin/env bash
# Release packages from the builds the test command made: the Linux .deb from the Linux build,
# the Windows zip and installer from the MinGW-w64 cross build, then checks them:
#   - the .deb unpacked into a scratch root (dpkg -x): velmora-cli --version and --check on the
#     example map, run from there; its man pages and desktop entry are in it;
#   - the zip holds the .exe files, the README and the examples, and velmora-cli.exe from it
#     checks the example map under Wine (when Wine is installed);
#   - the installer (NSIS) is a 64-bit program that asks for no administrator rights. Installing
#     and uninstalling it under Wine is a stage of scripts/wine_test.sh.
# Usage: scripts/package.sh [LINUX_BUILD_DIR] [WINDOWS_BUILD_DIR]  (default build/ci, build/windows)
# A build dir that does not exist is left out with a note. Packages land in BUILD_DIR/packages.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
linux="${1:-$root/build/ci}"
win="${2:-$root/build/windows}"
# shellcheck source=scripts/lib.sh
source "$root/scripts/lib.sh"
map_name=$example_map_name
work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-package.XXXXXX")"
trap 'rm -rf "$work"' EXIT
fail() { echo "package: $*" >&2; exit 1; }

if [ -f "$linux/CMakeCache.txt" ]; then
  echo "== package: Linux .deb from $linux"
  cmake -S "$root" -B "$linux" >/dev/null  # picks up the install rules
  cmake --build "$linux" -j2 >/dev/null
  (cd "$linux" && cpack -G DEB >/dev/null)
  deb="$(ls -t "$linux"/packages/velmora_*.deb | head -1)"
  echo "   $deb"
  dpkg -x "$deb" "$work/root"
  cli="$work/root/usr/bin/velmora-cli"
  [ -x "$cli" ] || fail "$deb has no usr/bin/velmora-cli"
  version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$linux/CMakeCache.txt")"
  [ "$("$cli" --version)" = "velmora-cli Version $version from Sep 26 2002" ] || fail "velmora-cli --version from the .deb"
  "$cli" --check --map "$work/root/usr/share/doc/velmora/examples/$map_name" >"$work/check.log" \
    || { cat "$work/check.log"; fail "velmora-cli --check from the .deb"; }
  for f in usr/bin/velmora-sim usr/bin/velmora-mapgen usr/share/man/man1/velmora-cli.1 \
           usr/share/applications/velmora.desktop; do
    [ -e "$work/root/$f" ] || fail "$deb has no $f"
  done
  dpkg-deb -f "$deb" Depends | sed 's/^/   depends: /'
  echo "   checked: --version and --check from the unpacked .deb"
else
  echo "== package: no Linux build in $linux; no .deb"
fi

if [ -f "$win/CMakeCache.txt" ]; then
  echo "== package: Windows zip and installer from $win"
  cmake -S "$root" -B "$win" >/dev/null
  cmake --build "$win" -j2 >/dev/null
  (cd "$win" && cpack -G ZIP >/dev/null)
  installer="$(make_windows_installer "$win" "$win/packages")"
  echo "   $installer"
  check_windows_installer "$installer" || fail "$installer"
  echo "   checked: the installer is a 64-bit program that asks for no administrator rights"
  zip="$(ls -t "$win"/packages/velmora-*-win64.zip | head -1)"
  echo "   $zip"
  mkdir "$work/zip"
  (cd "$work/zip" && cmake -E tar xf "$zip")
  top="$(ls "$work/zip")"
  for f in bin/velmora.exe bin/velmora-cli.exe bin/velmora-sim.exe bin/velmora-mapgen.exe README.md \
           "examples/$map_name"; do
    [ -e "$work/zip/$top/$f" ] || fail "$zip has no $f"
  done
  if command -v wine >/dev/null 2>&1; then
    use_wine_prefix "$work/prefix"
    wineboot -i >/dev/null 2>&1
    # Run from a folder of its own: nothing beside the .exe is needed.
    (cd "$work/zip/$top" && wine bin/velmora-cli.exe --check --map "examples/$map_name") >"$work/wcheck.log" 2>&1 \
      || { cat "$work/wcheck.log"; wineserver -k; fail "velmora-cli.exe --check from the zip"; }
    wineserver -k 2>/dev/null || true
    echo "   checked: velmora-cli.exe --check from the unpacked zip under Wine"
  fi
else
  echo "== package: no Windows build in $win; no zip"
fi
