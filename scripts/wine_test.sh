#!/usr/bin/env bash
# The Windows build under Wine: the MinGW-w64 cross build, a Wine prefix made afresh for the run,
# the unit and integration tests, and the programs against their Linux counterparts:
#   - velmora-cli.exe on the in-process sim: (its log byte for byte as the Linux build's),
#   - velmora-cli.exe against the Linux velmora-sim over RFC 2217, and the Linux velmora-cli
#     against velmora-sim.exe,
#   - the Win32 serial device on a Linux pseudo-terminal mapped as COM5 in the prefix,
#   - settings imported into the registry with Wine's regedit and used without --settings,
#   - the native dialog velmora.exe in an X server of its own (Xvfb): unattended runs, usage
#     errors and the settings it cannot use, as the Linux dialog's test runs them; and a
#     screenshot of it in the middle of a run (build/windows/screenshots/main_dialog.png),
#   - the installer installed, used, upgraded and uninstalled (scripts/wine_install_checks.sh),
#   - the programs' manifests, and the programs with their files in a folder named beyond ASCII
#     (scripts/wine_path_checks.sh).
# Usage: scripts/wine_test.sh [LINUX_BUILD_DIR]   (default build/ci: velmora-cli, velmora-sim)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
linux="${1:-$root/build/ci}"
win="$root/build/windows"
python=/usr/bin/python3  # Debian's, for the pseudo-terminal peer
# shellcheck source=scripts/lib.sh
source "$root/scripts/lib.sh"
map="$example_map"

started=$SECONDS
stage() { echo "== wine_test: $1 (at ${SECONDS}s)"; }

stage "cross build"
"$root/scripts/setup_windows.sh" "$win" -DVELMORA_WERROR=ON
[ -x "$linux/cli/velmora-cli" ] && [ -x "$linux/sim/velmora-sim" ] || {
  echo "wine_test: $linux has no velmora-cli and velmora-sim (build them first)" >&2
  exit 1
}

work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-wine-test.XXXXXX")"
use_wine_prefix "$work/prefix"
unset VELMORA_SETTINGS DISPLAY
# The Linux programs keep their settings and write-ahead copies under these: a run of its own,
# untouched by what other runs on this machine left behind (the Wine prefix is new anyway).
export XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state"
pids=()
cleanup() {
  wineserver -k 2>/dev/null || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# One X server for the whole run: Wine's desktop process starts once, with the display it finds
# then. It picks a free display number itself.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
pids+=("$!")
read -r -t 20 display_number <"$work/display" || { echo "wine_test: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$display_number"

stage "Wine prefix"
wineboot -i >/dev/null 2>&1
wineserver -w

stage "unit and integration tests"
(cd "$win" && ctest --output-on-failure -j2 --timeout 300)

failures=()
check() {  # check NAME COMMAND...: runs the command, records a failure by name
  local name="$1"
  shift
  if "$@"; then echo "PASS $name"; else echo "FAIL $name"; failures+=("$name"); fi
}

# The log without its first line, the program path (Z:\...\velmora-cli.exe against /...).
log_body() { tail -n +2 "$1"; }

# Starts a simulator (Linux or Windows) on a free port; sets sim_port and sim_pid.
start_sim() {
  local status=0
  start_velmora_sim "$@" || status=$?
  pids+=("$sim_pid")
  return "$status"
}

cli_sim_matches_linux() {
  local status=0
  "$linux/cli/velmora-cli" --map "$map" --port sim: --show-handset AUTOMATIC >"$work/linux.log" 2>&1 || status=$?
  [ "$status" -eq 0 ] || { echo "Linux run: exit $status"; return 1; }
  status=0
  wine "$win/cli/velmora-cli.exe" --map "$map" --port sim: --show-handset AUTOMATIC >"$work/win.log" 2>&1 || status=$?
  [ "$status" -eq 0 ] || { echo "Windows run: exit $status"; tail -5 "$work/win.log"; return 1; }
  diff <(log_body "$work/linux.log") <(log_body "$work/win.log")
}

cli_exe_against_linux_sim() {
  start_sim "$work/a" "$linux/sim/velmora-sim" || return 1
  local status=0
  wine "$win/cli/velmora-cli.exe" --map "$map" --port "rfc2217://127.0.0.1:$sim_port" AUTOMATIC \
    >"$work/a.log" 2>&1 || status=$?
  wait "$sim_pid" || true
  [ "$status" -eq 0 ] || { echo "exit $status"; tail -5 "$work/a.log"; return 1; }
  grep -q "Writing Map-Version to Mobile" "$work/a.log"
}

linux_cli_against_sim_exe() {
  start_sim "$work/b" wine "$win/sim/velmora-sim.exe" || return 1
  local status=0
  "$linux/cli/velmora-cli" --map "$map" --port "rfc2217://127.0.0.1:$sim_port" AUTOMATIC \
    >"$work/b.log" 2>&1 || status=$?
  wait "$sim_pid" || true
  [ "$status" -eq 0 ] || { echo "exit $status"; tail -5 "$work/b.log"; return 1; }
  # Both simulators end with the same block store.
  start_sim "$work/c" "$linux/sim/velmora-sim" || return 1
  "$linux/cli/velmora-cli" --map "$map" --port "rfc2217://127.0.0.1:$sim_port" AUTOMATIC >/dev/null 2>&1
  wait "$sim_pid" || true
  diff "$work/b.dump" "$work/c.dump"
}

com_port_on_pseudo_terminal() {
  "$python" "$root/tests/platform/pty_echo_peer.py" >"$work/pty" &
  pids+=("$!")
  for _ in $(seq 1 50); do [ -s "$work/pty" ] && break; sleep 0.1; done
  ln -sfn "$(head -1 "$work/pty")" "$WINEPREFIX/dosdevices/com5"
  VELMORA_TEST_COM_PORT=COM5 wine "$win/tests/platform/platform_win32_com_port_test.exe" \
    >"$work/com.log" 2>&1 || { cat "$work/com.log"; return 1; }
  # What Wine cannot do on a pseudo-terminal is skipped, with the reason.
  grep -A1 "Skipped" "$work/com.log" | grep -v "^--" | grep -v "Skipped" | sed 's/^/  skipped: /' || true
}

registry_settings_from_regedit() {
  start_sim "$work/d" "$linux/sim/velmora-sim" || return 1
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_CONFIG\\QSB_Library]\r\n"ComPort"=hex:02\r\n"Baudrate"=dword:0000e100\r\n\r\n[HKEY_CURRENT_CONFIG\\QSB_Library\\Ports]\r\n"COM2"="rfc2217://127.0.0.1:%s"\r\n' \
    "$sim_port" >"$work/settings.reg"
  wine regedit /S "$(winepath -w "$work/settings.reg")"
  local status=0
  wine "$win/cli/velmora-cli.exe" --map "$map" AUTOMATIC >"$work/d.log" 2>&1 || status=$?
  wait "$sim_pid" || true
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[-HKEY_CURRENT_CONFIG\\QSB_Library]\r\n' >"$work/remove.reg"
  wine regedit /S "$(winepath -w "$work/remove.reg")"
  [ "$status" -eq 0 ] || { echo "exit $status"; tail -5 "$work/d.log"; return 1; }
  # The simulator saw the link at the registry's baud rate.
  grep -q "Writing Map-Version to Mobile" "$work/d.log"
}

# The Linux dialog's own test cases, run against velmora.exe.
dialog_case() {
  printf '#!/bin/sh\nexec wine "%s" "$@"\n' "$win/gui/win32/velmora.exe" >"$work/velmora"
  chmod +x "$work/velmora"
  bash "$root/tests/gui/velmora_test.sh" "$work/velmora" "$root" "$1"
}

# velmora.exe against the Linux velmora-sim (paced at the line's baud rate, so that the run
# lasts long enough to be seen), photographed while it writes.
dialog_screenshot() {
  start_sim "$work/e" "$linux/sim/velmora-sim" || return 1
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_CONFIG\\QSB_Library]\r\n"ComPort"=hex:01\r\n"Baudrate"=dword:0000e100\r\n' \
    >"$work/e.reg"
  VELMORA_GUI_MESSAGE_LOG="$work/e.boxes" wine "$win/gui/win32/velmora.exe" --map "$map" \
    --port "rfc2217://127.0.0.1:$sim_port" --settings "$work/e.reg" AUTOMATIC >"$work/e.log" 2>&1 &
  local gui=$!
  local geometry=""
  for _ in $(seq 1 100); do
    geometry="$(xwininfo -name Velmora 2>/dev/null | awk '/Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF} /Width:/{w=$NF} /Height:/{h=$NF} END{if (w) print x, y, w, h}')"
    [ -n "$geometry" ] && break
    sleep 0.1
  done
  [ -n "$geometry" ] || { echo "no window named Velmora"; wait "$gui"; return 1; }
  sleep 3
  mkdir -p "$win/screenshots"
  xwd -root -silent >"$work/e.xwd"
  # shellcheck disable=SC2086
  "$python" "$root/tests/gui/xwd_to_png.py" "$work/e.xwd" "$win/screenshots/main_dialog.png" $geometry
  local status=0
  wait "$gui" || status=$?
  wait "$sim_pid" || true
  [ "$status" -eq 0 ] || { echo "exit $status"; cat "$work/e.log" "$work/e.boxes" 2>/dev/null; return 1; }
  [ ! -s "$work/e.boxes" ] || { echo "message boxes in an unattended success:"; cat "$work/e.boxes"; return 1; }
  echo "  screenshot: $win/screenshots/main_dialog.png ($geometry)"
}

stage "programs"
check "velmora-cli.exe on sim: writes the Linux build's log" cli_sim_matches_linux
check "velmora-cli.exe against the Linux velmora-sim (RFC 2217)" cli_exe_against_linux_sim
check "the Linux velmora-cli against velmora-sim.exe (RFC 2217)" linux_cli_against_sim_exe
check "Win32 serial device on a pseudo-terminal as COM5" com_port_on_pseudo_terminal
check "registry settings imported with regedit" registry_settings_from_regedit

stage "dialog"
for case in usage bad_settings unattended_success unattended_failure; do
  check "velmora.exe: $case" dialog_case "$case"
done
check "velmora.exe in the middle of a run, photographed" dialog_screenshot

# ---- The installer (scripts/wine_install_checks.sh) ----
# shellcheck source=scripts/wine_install_checks.sh
source "$root/scripts/wine_install_checks.sh"
stage "installer"
check "velmora-$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$win/CMakeCache.txt")-win64-setup.exe: install, use, upgrade, uninstall" \
  installer_round_trip
# ---- end of the installer ----

# ---- Manifests and file names beyond ASCII (scripts/wine_path_checks.sh) ----
# shellcheck source=scripts/wine_path_checks.sh
source "$root/scripts/wine_path_checks.sh"
stage "manifests and file names beyond ASCII"
check "the programs' manifests: visual styles, per-monitor DPI, UTF-8" programs_carry_manifests
check "programs, map, settings, records, undo files and message log in $non_ascii_name" non_ascii_folder
# ---- end of manifests and file names ----

echo "== wine_test: done in $((SECONDS - started))s"
if ((${#failures[@]})); then
  printf 'wine_test: failed: %s\n' "${failures[@]}" >&2
  exit 1
fi
