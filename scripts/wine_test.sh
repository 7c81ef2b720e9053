#!/usr/bin/env bash
# The Windows build under Wine: the MinGW-w64 cross build, a Wine prefix made afresh for the run,
# the unit and integration tests, and the programs against their Linux counterparts:
#   - velmora-cli.exe on the in-process sim: (its log byte for byte as the Linux build's, its
#     record as the Linux one but for times and run id; no records database on Windows),
#   - velmora-cli.exe against the Linux velmora-sim over RFC 2217, and the Linux velmora-cli
#     against velmora-sim.exe,
#   - the Win32 serial device on a Linux pseudo-terminal mapped as COM5 in the prefix,
#   - settings imported into the registry with Wine's regedit and used without --settings,
#   - --list-ports from the device manager of the prefix (a COM port registered in it) and
#     --port usb: refused as on Linux,
#   - stations of velmora-cli.exe programs on the Linux velmora-sim: two ports at once with their
#     summary and records (the Linux station's records but for times, ids and ports), a Ctrl-C
#     passed on to the runs, and lines of handsets (tests/cli/continuous_test.py): the live page
#     read from Linux while the station runs, a Ctrl-C and a second one, a killed station,
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
# Absolute: some checks run the Linux programs in folders of their own.
[ ! -d "$linux" ] || linux="$(cd "$linux" && pwd)"
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
# A serial port of the prefix, for --list-ports: the device manager announces it in its SERIALCOMM
# map once the prefix starts again.
listed_port=COM7
wine reg add 'HKLM\Software\Wine\Ports' /v "$listed_port" /d /dev/null /f >/dev/null 2>&1
wineserver -w

stage "unit and integration tests"
[ -n "${VELMORA_WINE_ONLY:-}" ] || (cd "$win" && ctest --output-on-failure -j2 --timeout 300)

failures=()
check() {  # check NAME COMMAND...: runs the command, records a failure by name
  local name="$1"
  shift
  # VELMORA_WINE_ONLY=REGEX runs only the checks whose names match (and no unit tests): for a
  # developer mending one check; the test command leaves it unset.
  if [ -n "${VELMORA_WINE_ONLY:-}" ] && ! [[ "$name" =~ $VELMORA_WINE_ONLY ]]; then return 0; fi
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

# The same records but for the times and the run ids, and the bytes of the Windows one as the
# Linux one's: UTF-8, one object, "\n" after it.
same_records() {
  "$python" - "$1" "$2" <<'PY'
import json, sys
def runs(path):
    data = open(path, "rb").read()
    assert data.endswith(b"}\n") and b"\r" not in data, f"{path}: {data[-40:]!r}"
    records = [json.loads(line) for line in data.decode("utf-8").splitlines()]
    for r in records:
        for field in ("run_id", "start", "end", "duration_ms"):
            r.pop(field)
    return sorted(records, key=json.dumps)
windows, linux = runs(sys.argv[1]), runs(sys.argv[2])
assert windows == linux, f"Windows {windows}\nLinux {linux}"
PY
}

cli_sim_matches_linux() {
  local status=0
  "$linux/cli/velmora-cli" --map "$map" --port sim: --show-handset --records none --report "$work/linux.json" \
    AUTOMATIC >"$work/linux.log" 2>&1 || status=$?
  [ "$status" -eq 0 ] || { echo "Linux run: exit $status"; return 1; }
  status=0
  wine "$win/cli/velmora-cli.exe" --map "$map" --port sim: --show-handset --records none --report "$work/win.json" \
    AUTOMATIC >"$work/win.log" 2>&1 || status=$?
  [ "$status" -eq 0 ] || { echo "Windows run: exit $status"; tail -5 "$work/win.log"; return 1; }
  diff <(log_body "$work/linux.log") <(log_body "$work/win.log") && same_records "$work/win.json" "$work/linux.json"
}

# A records database is Linux's alone: asked for on Windows, the run stops before a port is
# touched and says why.
records_json_only() {
  local status=0
  wine "$win/cli/velmora-cli.exe" --map "$map" --port sim: --records "sqlite:$work/records.sqlite" \
    AUTOMATIC >"$work/db.out" 2>"$work/db.err" || status=$?
  [ "$status" -eq 64 ] || { echo "exit $status"; return 1; }
  grep -qF -- "--records sqlite:$work/records.sqlite: records are kept as JSON only on Windows (--report, --report-append); --records takes none there" \
    "$work/db.err" || { cat "$work/db.err"; return 1; }
  [ ! -s "$work/db.out" ] && [ ! -e "$work/records.sqlite" ] || { echo "a run began"; return 1; }
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

# What the device manager of the prefix lists: every line as the Linux listing lays them out,
# in the order of the ports' numbers, the port registered in the prefix among them; a USB
# identity that no port has is refused in the Linux program's words.
list_ports_from_the_device_manager() {
  local status=0
  wine "$win/cli/velmora-cli.exe" --list-ports >"$work/ports.out" 2>"$work/ports.err" || status=$?
  [ "$status" -eq 0 ] || { echo "exit $status"; cat "$work/ports.err"; return 1; }
  sed 's/^/  listed: /' "$work/ports.out"
  grep -Eq "^$listed_port +- +-\$" "$work/ports.out" || { echo "$listed_port not listed"; return 1; }
  if grep -Evq '^COM[0-9]+  +(-|usb:[0-9a-f]{4}:[0-9a-f]{4}(:[^ ]+)?)  +[^ ]+( .*)?$' "$work/ports.out"; then
    echo "a line not as --list-ports lays them out"; return 1
  fi
  sed 's/^COM\([0-9]*\) .*/\1/' "$work/ports.out" | sort -c -n || return 1
  [ ! -s "$work/ports.err" ] || { echo "stderr:"; cat "$work/ports.err"; return 1; }
  status=0
  wine "$win/cli/velmora-cli.exe" --map "$map" --port usb:0403:6001:NONE AUTOMATIC >"$work/usb.out" 2>"$work/usb.err" || status=$?
  [ "$status" -eq 1 ] || { echo "usb: exit $status"; return 1; }
  grep -qx "error: usb:0403:6001:NONE: no serial device with this USB identity is connected (--list-ports lists the serial devices)" \
    "$work/usb.err" || { echo "usb: stderr:"; cat "$work/usb.err"; return 1; }
}

# A station of PROGRAM (linux or windows) on two Linux simulators, in $work/station-PROGRAM, its
# records appended to one trail. The map's path has blanks, to be quoted in the runs' command
# lines.
run_station_of_two() {
  local program="$1" folder="$work/station-$1" urls=() i
  mkdir -p "$folder/map folder"
  cp "$map" "$folder/map folder/the map.map"
  for i in 1 2; do
    start_sim "$folder/sim$i" "$linux/sim/velmora-sim" || return 1
    urls+=("rfc2217://127.0.0.1:$sim_port")
  done
  local cli=("$linux/cli/velmora-cli")
  [ "$program" = linux ] || cli=(wine "$win/cli/velmora-cli.exe")
  local status=0
  (cd "$folder" && "${cli[@]}" --map "map folder/the map.map" --port "${urls[0]}" --port "${urls[1]}" \
    --report-append trail.jsonl >station.out 2>station.err) || status=$?
  # Each served its one connection, or never got one from a station that failed.
  kill "${pids[@]: -2}" 2>/dev/null || true
  [ "$status" -eq 0 ] || { echo "$program station: exit $status"; cat "$folder/station.out" "$folder/station.err"; return 1; }
  for i in 0 1; do
    local log="velmora-station-$((i + 1))-${urls[$i]//[:\/]/_}.log"
    grep -Eq "^${urls[$i]//./\\.} +351234567890128 +succeeded +[0-9.]+s +[0-9.]+s  $log\$" "$folder/station.out" \
      || { echo "$program station: no summary row of ${urls[$i]}"; cat "$folder/station.out"; return 1; }
    grep -q "Writing Map-Version to Mobile" "$folder/$log" || { echo "$program station: $log lacks its run"; return 1; }
  done
  grep -qx "2 handsets: 2 succeeded, 0 did not" "$folder/station.out" || { cat "$folder/station.out"; return 1; }
}

# Two ports at once under Wine: the summary, each port's log, and a record per run in the trail,
# the Linux station's records but for the times, the run ids and the simulators' ports.
station_of_two_ports() {
  run_station_of_two windows && run_station_of_two linux || return 1
  local program
  for program in windows linux; do
    grep -c '"outcome":"succeeded"' "$work/station-$program/trail.jsonl" | grep -qx 2 \
      || { echo "$program: two succeeded runs expected in the trail"; return 1; }
    sed -E 's/"port":"rfc2217:[^"]*"/"port":"-"/' "$work/station-$program/trail.jsonl" >"$work/station-$program.jsonl"
  done
  same_records "$work/station-windows.jsonl" "$work/station-linux.jsonl"
}

# Ctrl-C to a station of two single runs (Wine's SIGINT to the station alone): the station passes
# it on, each run ends as interrupted, and the summary still comes.
station_ctrl_c_passed_on() {
  local folder="$work/station-interrupted"
  mkdir -p "$folder"
  printf 'reply_delay_us = 200000\n' >"$folder/slow.profile"
  (cd "$folder" && exec wine "$win/cli/velmora-cli.exe" --map "$map" --port sim:slow.profile \
    --port sim:slow.profile >station.out 2>station.err) &
  local station=$!
  for _ in $(seq 1 100); do
    [ "$(grep -c ": started, log in" "$folder/station.out" 2>/dev/null)" = 2 ] && break
    sleep 0.1
  done
  kill -INT "$station"
  # A station that does not pass it on would wait for its runs' whole updates: a minute at most.
  for _ in $(seq 1 600); do kill -0 "$station" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$station" 2>/dev/null || true
  local status=0
  wait "$station" || status=$?
  [ "$status" -eq 1 ] || { echo "exit $status"; cat "$folder/station.out"; return 1; }
  [ "$(grep -Ec '^sim:slow.profile +- +interrupted +[0-9]' "$folder/station.out")" -eq 2 ] \
    || { echo "both runs should be interrupted:"; cat "$folder/station.out"; return 1; }
}

# A case of the Linux tests of lines of handsets, with velmora-cli.exe under Wine.
continuous_case() {
  printf '#!/bin/sh\nexec wine "%s" "$@"\n' "$win/cli/velmora-cli.exe" >"$work/velmora-cli"
  chmod +x "$work/velmora-cli"
  local state
  state="$(winepath -u "$(wine cmd /c echo %LOCALAPPDATA% | tr -d '\r')")/Velmora"
  # Each case begins with no station's files, as each Linux case has a state folder of its own:
  # a station taken over from the case before would turn its handsets away as done.
  rm -f "$state"/velmora-station-*
  "$python" "$root/tests/cli/continuous_test.py" "$work/velmora-cli" "$linux/sim/velmora-sim" "$root" \
    "$1" --windows "$state"
}

# The Linux dialog's own test cases, run against velmora.exe.
dialog_case() {
  # The display stays for every case: the Linux cases run --help and --version without one (no
  # display is needed there), but a Wine program started without it makes the prefix's desktop
  # without one, and the dialogs started after it, on that desktop, cannot be created.
  printf '#!/bin/sh\nDISPLAY=%s exec wine "%s" "$@"\n' "$DISPLAY" "$win/gui/win32/velmora.exe" >"$work/velmora"
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
check "velmora-cli.exe on sim: writes the Linux build's log and record" cli_sim_matches_linux
check "velmora-cli.exe: records as JSON only" records_json_only
check "velmora-cli.exe against the Linux velmora-sim (RFC 2217)" cli_exe_against_linux_sim
check "the Linux velmora-cli against velmora-sim.exe (RFC 2217)" linux_cli_against_sim_exe
check "Win32 serial device on a pseudo-terminal as COM5" com_port_on_pseudo_terminal
check "registry settings imported with regedit" registry_settings_from_regedit
check "velmora-cli.exe --list-ports: the device manager's serial ports" list_ports_from_the_device_manager

stage "stations"
check "velmora-cli.exe station of two ports: summary and records as on Linux" station_of_two_ports
check "velmora-cli.exe station: a Ctrl-C passed on to its runs" station_ctrl_c_passed_on
check "velmora-cli.exe --continuous station with its live page read from Linux" continuous_case station
check "velmora-cli.exe --continuous station: a Ctrl-C, each port finishes its handset" continuous_case interrupt_station
check "velmora-cli.exe --continuous: a second Ctrl-C stops the handset and keeps its record" continuous_case interrupt_twice
check "velmora-cli.exe --continuous station killed: each port finishes its handset" continuous_case station_killed
check "velmora-cli.exe --continuous station: a second Ctrl-C, every handset touched keeps its record" continuous_case interrupt_station_twice
check "velmora-cli.exe --continuous station killed and started again: its files taken over" continuous_case station_killed_restart

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
