# What the scripts share; sourced, never run. Sets root (the checkout) when it is not set.
# shellcheck shell=bash
root="${root:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"

# The sample map the demos, packages and Wine tests write.
# shellcheck disable=SC2034  # for the scripts that source this file
example_map_name=Velmora_K72_1_Standard_11_0001.map
example_map="$root/examples/$example_map_name"

# install_packages PACKAGE...: installs those Debian packages that are not installed yet
# (apt-get, as root or through sudo).
install_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  echo "Installing: ${missing[*]}"
  local sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
}

# configure_and_build BUILD_DIR [cmake options...]: Ninja, RelWithDebInfo; VELMORA_TARGETS="a b"
# builds only those targets (default: everything).
configure_and_build() {
  local build="$1"
  shift
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  if [ -n "${VELMORA_TARGETS:-}" ]; then
    # shellcheck disable=SC2086
    cmake --build "$build" -j"$(nproc)" --target ${VELMORA_TARGETS}
  else
    cmake --build "$build" -j"$(nproc)"
  fi
}

# start_velmora_sim OUT COMMAND...: starts a simulator (COMMAND is velmora-sim, Linux or under
# Wine) on a free loopback port, serving one connection and dumping its store to OUT.dump; its
# output goes to OUT.sim. Sets sim_port and sim_pid; 1 when it did not start within 20 s.
start_velmora_sim() {
  local out="$1"
  shift
  "$@" --port 0 --once --dump "$out.dump" >"$out.sim" 2>&1 &
  sim_pid=$!
  sim_port=""
  for _ in $(seq 1 200); do
    sim_port="$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$out.sim" | head -1)"
    [ -n "$sim_port" ] && return 0
    sleep 0.1
  done
  echo "simulator did not start: $(cat "$out.sim")" >&2
  return 1
}

# use_wine_prefix DIR: a new 64-bit Wine prefix in DIR for the programs under test, quiet, and
# without the Mono and Gecko installers (the programs need neither). Wine's menu builder is off:
# it would copy the installer's Start-menu entry and .map association into the Linux desktop of
# whoever runs the tests.
use_wine_prefix() {
  export WINEPREFIX="$1" WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"
}

# make_windows_installer WINDOWS_BUILD_DIR OUT_DIR: the installer (CPack's NSIS generator,
# makensis) from a configured cross build, written to OUT_DIR; prints its path.
make_windows_installer() {
  local win="$1" out="$2"
  (cd "$win" && cpack -G NSIS -B "$out" >/dev/null)
  ls -t "$out"/velmora-*-win64-setup.exe | head -1
}

# check_windows_installer FILE: a 64-bit Windows program whose manifest asks to run as the user
# who starts it (no administrator rights). Says what is wrong and returns 1 otherwise.
check_windows_installer() {
  local kind
  kind="$(file -b "$1")"
  case "$kind" in
    "PE32+ executable (GUI) x86-64"*) ;;
    *) echo "$1: not a 64-bit Windows program: $kind" >&2; return 1 ;;
  esac
  grep -q 'level="asInvoker"' "$1" || { echo "$1: its manifest asks for more than the user's rights" >&2; return 1; }
}
