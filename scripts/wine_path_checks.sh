# The Windows programs' manifests, and the programs in a folder whose name is beyond ASCII;
# sourced by scripts/wine_test.sh, whose Wine prefix, X server, $work, $win and $map it uses.
#
# programs_carry_manifests: velmora.exe asks for common controls 6 (visual styles), per-monitor
# DPI awareness v2 and UTF-8 as its ANSI code page; the console programs for UTF-8. The dialog's
# look depends on the first two and nothing else would notice them missing.
#
# non_ascii_folder: in "Kartendatei-ü-日本" (ü is in the Western ANSI code page, 日本 is not)
# lie the programs themselves, the map, the settings file named by VELMORA_SETTINGS, the run
# record, the undo files, the message log of VELMORA_GUI_MESSAGE_LOG, a map written by
# velmora-mapgen.exe and the block store dumped by velmora-sim.exe. Each file must come out under
# its own name, and the log must name the program and the map as they are.
# shellcheck shell=bash
# shellcheck disable=SC2154  # work, win, map, linux, sim_port, sim_pid and the example map come from wine_test.sh

non_ascii_name='Kartendatei-ü-日本'

programs_carry_manifests() {
  local exe text wanted w
  for exe in gui/win32/velmora.exe cli/velmora-cli.exe sim/velmora-sim.exe tools/mapgen/velmora-mapgen.exe; do
    text="$(strings -a "$win/$exe")"
    wanted=('<activeCodePage xmlns="http://schemas.microsoft.com/SMI/2019/WindowsSettings">UTF-8</activeCodePage>'
            '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>')
    if [ "$exe" = gui/win32/velmora.exe ]; then
      wanted+=('name="Microsoft.Windows.Common-Controls" version="6.0.0.0"'
               '>PerMonitorV2, PerMonitor</dpiAwareness>')
    fi
    for w in "${wanted[@]}"; do
      grep -qF -- "$w" <<<"$text" || { echo "$exe: its manifest lacks $w"; return 1; }
    done
  done
}

# The log's first two lines name the program and the version; the header's "Open file: " line the
# map; the run wrote the version record.
log_names_paths() {
  local log="$1" program="$2" map_file="$3"
  [ "$(head -1 "$log" | tr -d '\r')" = "$program" ] || { echo "$log: first line $(head -1 "$log")"; return 1; }
  grep -qxF "Open file: $map_file" "$log" || { echo "$log: no 'Open file: $map_file'"; return 1; }
  grep -q "Writing Map-Version to Mobile" "$log" || { echo "$log: the run did not finish"; return 1; }
}

non_ascii_console_run() {
  local dir="$1" d="$2"
  local status=0
  # The settings file, named only in the environment, says that COM1 is the simulated handset.
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_CONFIG\\QSB_Library]\r\n"ComPort"=hex:01\r\n"Baudrate"=dword:0000e100\r\n\r\n[HKEY_CURRENT_CONFIG\\QSB_Library\\Ports]\r\n"COM1"="sim:"\r\n' \
    >"$dir/settings.reg"
  (cd "$dir" && VELMORA_SETTINGS="$d\\settings.reg" wine "$d\\velmora-cli.exe" --map "$d\\$example_map_name" \
    --report "$d\\report.json" --undo "$d\\undo.vbk" AUTOMATIC >"$dir/cli.log" 2>&1) || status=$?
  [ "$status" -eq 0 ] || { echo "velmora-cli.exe: exit $status"; tail -5 "$dir/cli.log"; return 1; }
  log_names_paths "$dir/cli.log" "$d\\velmora-cli.exe" "$d\\$example_map_name" || return 1
  [ -s "$dir/undo.vbk" ] || { echo "no undo file"; return 1; }
  # The record names the map as given, in UTF-8 (JSON keeps it as it is).
  grep -qF "\"$(printf '%s' "$d\\$example_map_name" | sed 's/\\/\\\\/g')\"" "$dir/report.json" \
    || { echo "report.json does not name the map:"; cat "$dir/report.json"; return 1; }
}

non_ascii_dialog_runs() {
  local dir="$1" d="$2"
  local status=0
  (cd "$dir" && VELMORA_GUI_MESSAGE_LOG="$d\\boxes.txt" wine "$d\\velmora.exe" --map "$d\\$example_map_name" \
    --port sim: --undo "$d\\dialog-undo.vbk" AUTOMATIC >"$dir/dialog.log" 2>&1) || status=$?
  [ "$status" -eq 0 ] || { echo "velmora.exe: exit $status"; cat "$dir/dialog.log" "$dir/boxes.txt" 2>/dev/null; return 1; }
  [ -s "$dir/dialog-undo.vbk" ] || { echo "velmora.exe wrote no undo file"; return 1; }
  # A map for another product: the run fails after connecting, with one error box in the log.
  wine "$d\\velmora-mapgen.exe" --product 85 --blocks 3 --seed 1 -o "$d\\other product.map" \
    || { echo "velmora-mapgen.exe: exit $?"; return 1; }
  status=0
  (cd "$dir" && VELMORA_GUI_MESSAGE_LOG="$d\\boxes.txt" wine "$d\\velmora.exe" --map "$d\\other product.map" \
    --port sim: AUTOMATIC >>"$dir/dialog.log" 2>&1) || status=$?
  [ "$status" -eq 3 ] || { echo "velmora.exe on the other product's map: exit $status"; return 1; }
  [ "$(cat "$dir/boxes.txt")" = "error: Wrong Mapping for this Mobile!" ] \
    || { echo "message log: $(cat "$dir/boxes.txt" 2>/dev/null)"; return 1; }
}

non_ascii_simulator_dump() {
  local dir="$1" d="$2"
  start_sim "$dir/sim" wine "$win/sim/velmora-sim.exe" || return 1
  local status=0
  "$linux/cli/velmora-cli" --map "$map" --port "rfc2217://127.0.0.1:$sim_port" AUTOMATIC >"$dir/sim-run.log" 2>&1 \
    || status=$?
  wait "$sim_pid" || true
  [ "$status" -eq 0 ] || { echo "run against velmora-sim.exe: exit $status"; tail -5 "$dir/sim-run.log"; return 1; }
  [ -s "$dir/sim.dump" ] || { echo "velmora-sim.exe wrote no block store to $d\\sim.dump"; return 1; }
}

non_ascii_folder() {
  # Wine turns names between UTF-16 and the Unix side's bytes in the locale's character set.
  local LC_ALL=C.UTF-8
  export LC_ALL
  local dir="$work/$non_ascii_name" d
  mkdir -p "$dir"
  cp "$win/cli/velmora-cli.exe" "$win/gui/win32/velmora.exe" "$win/tools/mapgen/velmora-mapgen.exe" "$map" "$dir/"
  d="$(winepath -w "$dir")"
  d="${d%\\}"
  non_ascii_console_run "$dir" "$d" && non_ascii_dialog_runs "$dir" "$d" && non_ascii_simulator_dump "$dir" "$d"
}
