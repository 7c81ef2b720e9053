# The installer under Wine, as a user meets it; sourced by scripts/wine_test.sh, whose Wine
# prefix, X server, $work, $win and $map it uses.
#
# installer_round_trip: velmora-<version>-win64-setup.exe installed silently (/S), the installed
# velmora-cli.exe run, the Start-menu entry and the .map association looked at and the
# association's command line run on a map, an upgrade refused while the dialog runs, installed
# again over itself (an upgrade, the link settings kept), uninstalled silently; then the user's profile, ProgramData, Program Files,
# HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE\Software are as they were before the install.
# shellcheck shell=bash
# shellcheck disable=SC2154  # work, win, map, linux, sim_port, sim_pid and the example map come from wine_test.sh

uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Velmora'

# registry_value KEY [VALUE]: a value's data as reg.exe shows it (the default value without
# VALUE); fails when the key or value is missing.
registry_value() {
  local out
  if [ $# -gt 1 ]; then out="$(wine reg query "$1" /v "$2" 2>/dev/null)"; else out="$(wine reg query "$1" /ve 2>/dev/null)"; fi
  out="$(printf '%s\n' "$out" | tr -d '\r' | sed -n 's/^    [^ ].*    REG_[A-Z_]*    //p' | head -1)"
  [ -n "$out" ] && printf '%s\n' "$out"
}

# What an install may leave behind, written to OUT.files and OUT.registry. Wine keeps scratch
# state of its own under Software\Wine, which is left out.
profile_snapshot() {
  local out="$1" part
  (cd "$WINEPREFIX/drive_c" && find users ProgramData "Program Files" | sort) >"$out.files"
  : >"$out.registry"
  for part in HKEY_CURRENT_USER 'HKEY_LOCAL_MACHINE\Software'; do
    wine regedit /E "$(winepath -w "$out.reg")" "$part"
    iconv -f UTF-16 -t UTF-8 "$out.reg" | tr -d '\r' \
      | awk '/^\[/ { skip = ($0 ~ /\\Software\\Wine(\\|\])/) } !skip' >>"$out.registry"
  done
}

# The installer, made from the cross build as scripts/package.sh makes it.
installer_made() {
  installer="$(make_windows_installer "$win" "$work/installer")" && check_windows_installer "$installer"
}

# The folder the uninstall entry names, as a Unix path; it must be the per-user default.
installed_folder() {
  local location local_app_data
  location="$(registry_value "$uninstall_key" InstallLocation)" || { echo "no uninstall entry"; return 1; }
  local_app_data="$(wine cmd /c echo %LOCALAPPDATA% | tr -d '\r')"
  [ "$location" = "$local_app_data\\Programs\\Velmora" ] \
    || { echo "installed in $location, not under $local_app_data\\Programs"; return 1; }
  install_dir="$(winepath -u "$location")"
  install_dir="${install_dir%/}"
  install_win="$location"
}

installed_programs_run() {
  local version
  version="$(wine "$install_dir/bin/velmora-cli.exe" --version | tr -d '\r')"
  [ "$version" = "velmora-cli Version $project_version from Sep 26 2002" ] \
    || { echo "installed velmora-cli.exe --version: $version"; return 1; }
  wine "$install_dir/bin/velmora-cli.exe" --check --map "$install_win\\examples\\$example_map_name" \
    >"$work/installed-check.log" 2>&1 || { cat "$work/installed-check.log"; return 1; }
}

start_menu_entry() {
  local app_data lnk
  app_data="$(winepath -u "$(wine cmd /c echo %APPDATA% | tr -d '\r')")"
  lnk="${app_data%/}/Microsoft/Windows/Start Menu/Programs/Velmora/Velmora.lnk"
  [ -f "$lnk" ] || { echo "no Start-menu entry $lnk"; return 1; }
  strings -a -el "$lnk" | grep -qF "$install_win\\bin\\velmora.exe" \
    || { echo "$lnk does not start $install_win\\bin\\velmora.exe"; return 1; }
}

# The association's own command line, %1 replaced by a map's path, as Explorer runs it on a
# double click (through a batch file: cmd keeps the quotes as they are). Wine's HKEY_CLASSES_ROOT
# does not show the user's own classes, so Explorer's lookup itself cannot be tried here. The
# map's folder holds the word AUTOMATIC: the dialog then writes it into the simulated handset
# (the settings name sim: for COM1) and ends with the update's exit status.
map_association_opens_dialog() {
  local command progid folder
  progid="$(registry_value 'HKCU\Software\Classes\.map')" || { echo "no default for .map"; return 1; }
  [ "$progid" = Velmora.MapFile ] || { echo ".map opens with $progid"; return 1; }
  wine reg query 'HKCU\Software\Classes\.map\OpenWithProgids' /v Velmora.MapFile >/dev/null 2>&1 \
    || { echo "Velmora.MapFile is not in .map's Open with list"; return 1; }
  command="$(registry_value 'HKCU\Software\Classes\Velmora.MapFile\shell\open\command')"
  [ "$command" = "\"$install_win\\bin\\velmora.exe\" --map \"%1\"" ] || { echo "open command: $command"; return 1; }
  folder="$work/maps for AUTOMATIC runs"
  mkdir -p "$folder"
  cp "$map" "$folder/"
  printf '@%s\r\n' "${command//%1/$(winepath -w "$folder/$example_map_name")}" >"$work/open-map.bat"
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_CONFIG\\QSB_Library]\r\n"ComPort"=hex:01\r\n"Baudrate"=dword:0000e100\r\n\r\n[HKEY_CURRENT_CONFIG\\QSB_Library\\Ports]\r\n"COM1"="sim:"\r\n' \
    >"$work/sim-settings.reg"
  local status=0
  VELMORA_SETTINGS="$(winepath -w "$work/sim-settings.reg")" VELMORA_GUI_MESSAGE_LOG="$work/open-map.boxes" \
    timeout 120 wine cmd /c "$(winepath -w "$work/open-map.bat")" >"$work/open-map.log" 2>&1 || status=$?
  [ "$status" -eq 0 ] || { echo "the dialog opened on the map ended with $status"; cat "$work/open-map.log" "$work/open-map.boxes" 2>/dev/null; return 1; }
}

# Installed again over the first install: one uninstall entry, the same folder, the programs
# run; the link settings in the registry and the private folder's files are untouched.
upgrade_keeps_settings() {
  wine reg add 'HKCC\QSB_Library' /v Baudrate /t REG_DWORD /d 115200 /f >/dev/null 2>&1
  local status=0
  wine "$installer" /S || status=$?
  [ "$status" -eq 0 ] || { echo "upgrade: the installer ended with $status"; return 1; }
  installed_folder || return 1
  installed_programs_run || return 1
  [ "$(registry_value 'HKCC\QSB_Library' Baudrate)" = 0x1c200 ] || { echo "the link settings were changed"; return 1; }
  wine reg delete 'HKCC\QSB_Library' /f >/dev/null 2>&1
  [ "$(wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall' | tr -d '\r' | grep -c '\\Velmora$')" -eq 1 ] \
    || { echo "not one uninstall entry after the upgrade"; return 1; }
}

# A running velmora.exe cannot be replaced: a silent upgrade then gives up (exit status 2) and
# leaves the installed version whole.
upgrade_waits_for_the_dialog() {
  VELMORA_SETTINGS="$(winepath -w "$work/sim-settings.reg")" wine "$install_dir/bin/velmora.exe" \
    >"$work/running-dialog.log" 2>&1 &
  local dialog=$! _ status=0
  for _ in $(seq 1 100); do
    xwininfo -name Velmora >/dev/null 2>&1 && break
    sleep 0.1
  done
  wine "$installer" /S || status=$?
  kill "$dialog" 2>/dev/null
  wait "$dialog" 2>/dev/null || true
  [ "$status" -eq 2 ] || { echo "upgrade over a running dialog: exit $status, not 2"; return 1; }
  [ -f "$install_dir/bin/velmora.exe" ] && [ -f "$install_dir/Uninstall.exe" ] \
    || { echo "the refused upgrade removed files"; return 1; }
}

# NSIS's uninstaller runs from a copy in %TEMP% and returns at once; done when the folder is gone.
uninstalled() {
  wine "$install_dir/Uninstall.exe" /S || { echo "the uninstaller ended with $?"; return 1; }
  local _
  for _ in $(seq 1 100); do
    [ -e "$install_dir" ] || return 0
    sleep 0.2
  done
  echo "$install_dir is still there:"
  find "$install_dir"
  return 1
}

nothing_left() {
  profile_snapshot "$work/after"
  # Told apart: the uninstaller's own copy, which stays in %TEMP% (removing it at the next
  # restart needs rights a user does not have), and %LOCALAPPDATA%\Programs, Windows' own folder
  # for programs installed per user, made by the first of them and left empty.
  local left
  left="$(diff "$work/before.files" "$work/after.files" | grep '^[<>]' \
    | grep -v -e '/Temp/~nsu[0-9]*\.tmp' -e '^> users/[^/]*/AppData/Local/Programs$' || true)"
  [ -z "$left" ] || { echo "files changed by install and uninstall:"; echo "$left"; return 1; }
  diff "$work/before.registry" "$work/after.registry" || { echo "registry changed by install and uninstall"; return 1; }
}

installer_round_trip() {
  project_version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$win/CMakeCache.txt")"
  installer_made || return 1
  # The private folder (write-ahead copies, backups) exists before and must survive.
  local private_dir
  private_dir="$(winepath -u "$(wine cmd /c echo %LOCALAPPDATA% | tr -d '\r')")/Velmora"
  mkdir -p "$private_dir" && echo kept >"$private_dir/kept-by-uninstall.txt"
  # Keys a Windows profile has (a new Wine prefix not yet), which the uninstaller leaves in place.
  wine reg add 'HKCU\Software\Classes' /f >/dev/null 2>&1
  wine reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall' /f >/dev/null 2>&1
  profile_snapshot "$work/before"
  local status=0
  wine "$installer" /S || status=$?
  [ "$status" -eq 0 ] || { echo "the installer ended with $status"; return 1; }
  installed_folder && installed_programs_run && start_menu_entry && map_association_opens_dialog \
    && upgrade_waits_for_the_dialog && upgrade_keeps_settings && uninstalled && nothing_left
}
