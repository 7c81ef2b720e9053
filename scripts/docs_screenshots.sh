#!/usr/bin/env bash
# Remakes the dialog pictures in docs/images from the programs as a user has them: installed
# from the release packages, started as a user starts them, and worked through their own
# buttons (xdotool clicks and keys in an X server of the script's own, Xvfb):
#   - Windows: the installer (velmora-<version>-win64-setup.exe) installed silently into a new
#     Wine prefix, the link settings imported into the registry with regedit, velmora.exe started
#     from its Start-menu entry, the map chosen with Open File (win32_main_dialog.png), Start
#     pressed (win32_running.png in the middle of the run), the About button
#     (win32_about_dialog.png).
#   - Linux: the .deb unpacked into a scratch root (dpkg -x) whose usr/bin is put first on PATH,
#     velmora started by the command its desktop entry names, so that it sees itself as the
#     installed program does; the home folder /home/user (run as root: on a file system that
#     only this script's mount namespace sees); the settings in ~/.config/velmora/settings.reg; the same steps give
#     main_dialog.png, running.png and about_dialog.png, and a start without settings
#     port_dialog.png.
# Both dialogs write into velmora-sim (Linux) over RFC 2217, paced at the line's baud rate, so
# that the run lasts long enough to be photographed. Xvfb has no window manager: the pictures
# show the dialogs without a title bar.
# Usage: scripts/docs_screenshots.sh [LINUX_BUILD_DIR] [WINDOWS_BUILD_DIR]  (default build/ci,
# build/windows; both configured and built, e.g. by scripts/test.sh). Writes docs/images/*.png;
# SHOTS=windows or SHOTS=linux makes one side's only. DEBUG_SHOTS=DIR keeps a picture of the
# whole screen after each step there.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
linux="${1:-$root/build/ci}"
win="${2:-$root/build/windows}"
images="$root/docs/images"
# shellcheck source=scripts/lib.sh
source "$root/scripts/lib.sh"
install_packages xvfb x11-apps x11-utils xdotool wine64 nsis file

work="$(mktemp -d "${TMPDIR:-/tmp}/velmora-screenshots.XXXXXX")"
pids=()
cleanup() {
  [ -z "${WINEPREFIX:-}" ] || wineserver -k 2>/dev/null || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "docs_screenshots: $*" >&2; exit 1; }

mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
pids+=("$!")
read -r -t 20 display_number <"$work/display" || fail "Xvfb did not start"
export DISPLAY=":$display_number"

# window_geometry NAME: "X Y WIDTH HEIGHT" of the window with that title, once it is mapped
# (waits up to 30 s).
window_geometry() {
  local geometry="" _
  for _ in $(seq 1 300); do
    geometry="$(xwininfo -name "$1" 2>/dev/null | awk '/Map State: IsViewable/{v=1} /Absolute upper-left X/{x=$NF} /Absolute upper-left Y/{y=$NF} /Width:/{w=$NF} /Height:/{h=$NF} END{if (v && w > 1) print x, y, w, h}' || true)"
    [ -n "$geometry" ] && { echo "$geometry"; return 0; }
    sleep 0.1
  done
  fail "no window named $1"
}

# click NAME WIDTH_DLU HEIGHT_DLU X_DLU Y_DLU: clicks the middle of a control given in the
# dialog units of its template (the window's size in pixels over its size in dialog units).
click() {
  local x y w h
  read -r x y w h <<<"$(window_geometry "$1")"
  xdotool mousemove $((x + $4 * w / $2)) $((y + $5 * h / $3)) click 1
}
# The main dialog's template: 320 x 258 dialog units; the middle of its buttons.
main_click() { click Velmora 320 258 "$1" "$2"; }
click_open_file() { main_click 32 14; }
click_start() { main_click 73 219; }
click_about() { main_click 291 27; }

# step NAME: with DEBUG_SHOTS set, the whole screen as DEBUG_SHOTS/NAME.png.
step() {
  [ -n "${DEBUG_SHOTS:-}" ] || return 0
  mkdir -p "$DEBUG_SHOTS"
  xwd -root -silent >"$work/debug.xwd"
  python3 "$root/tests/gui/xwd_to_png.py" "$work/debug.xwd" "$DEBUG_SHOTS/$1.png"
}

# shoot NAME FILE: the window with that title, cropped from the screen.
shoot() {
  local geometry
  geometry="$(window_geometry "$1")"
  xwd -root -silent >"$work/screen.xwd"
  # shellcheck disable=SC2086
  python3 "$root/tests/gui/xwd_to_png.py" "$work/screen.xwd" "$2" $geometry
  echo "   $2 ($geometry)"
}

# The file dialog of Open File: the path typed into it, then Enter.
choose_file() {
  local _
  for _ in $(seq 1 100); do
    [ "$(xdotool search --onlyvisible --name "$1" 2>/dev/null | wc -l)" -gt 0 ] && break
    sleep 0.1
  done
  sleep 1
  xdotool type --delay 20 "$2"
  sleep 0.5
  xdotool key Return
}

# key_to NAME KEY: the key to the newest window with that title. Without a window manager no
# window gets the keyboard by itself: it is given the focus first.
key_to() {
  local id
  id="$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | tail -1 || true)"
  [ -n "$id" ] || fail "no window named $1 for the key $2"
  xdotool windowfocus --sync "$id" 2>/dev/null || xdotool windowfocus "$id"
  sleep 0.3
  xdotool key "$2"
}

# Waits until a message box has joined the main dialog (both are titled Velmora), then
# confirms it.
confirm_box() {
  local _
  for _ in $(seq 1 600); do
    [ "$(xdotool search --onlyvisible --name '^Velmora$' 2>/dev/null | wc -l)" -ge 2 ] && break
    sleep 0.1
  done
  sleep 0.5
  key_to Velmora Return
}

settings_reg() {  # settings_reg PORT: COM1 is velmora-sim on 127.0.0.1:PORT
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_CONFIG\\QSB_Library]\r\n"ComPort"=hex:01\r\n"Baudrate"=dword:0000e100\r\n\r\n[HKEY_CURRENT_CONFIG\\QSB_Library\\Ports]\r\n"COM1"="rfc2217://127.0.0.1:%s"\r\n' "$1"
}

# The user's steps in a started dialog: the map chosen with Open File (the dialog photographed
# as DIALOG_PNG, its log header naming the program and the map), Start (RUN_PNG in the middle of
# the run), the success box confirmed, the About button (ABOUT_PNG), Exit.
# Usage: work_the_dialog DIALOG_PNG RUN_PNG ABOUT_PNG FILE_DIALOG_TITLE MAP_PATH
work_the_dialog() {
  local dialog_png="$1" run_png="$2" about_png="$3" file_dialog="$4" map_path="$5"
  window_geometry Velmora >/dev/null
  sleep 2
  step started
  click_open_file
  choose_file "$file_dialog" "$map_path"
  sleep 2
  step opened
  shoot Velmora "$dialog_png"
  click_start
  sleep 4
  shoot Velmora "$run_png"
  confirm_box
  sleep 1
  step confirmed
  click_about
  window_geometry "About Velmora" >/dev/null
  # Wine without a window manager leaves a dialog black while it lies over its owner (it draws
  # at once once moved); the picture is of the about box alone, so it is moved aside first.
  xdotool windowmove "$(xdotool search --onlyvisible --name '^About Velmora$' | tail -1)" 20 20
  sleep 2
  step about
  shoot "About Velmora" "$about_png"
  key_to "About Velmora" Return
  sleep 1
  main_click 247 218  # Exit
}

windows_shots() {
  echo "== Windows: the installer under Wine"
  local installer
  installer="$(make_windows_installer "$win" "$work/installer")"
  # A user's own name in the profile's paths, not the build machine's.
  export USER=user
  use_wine_prefix "$work/prefix"
  wineboot -i >/dev/null 2>&1
  wine "$installer" /S || fail "the installer ended with $?"
  local profile
  profile="$(wine cmd /c echo %USERPROFILE% | tr -d '\r')"
  mkdir -p "$(winepath -u "$profile")/Documents"
  cp "$example_map" "$(winepath -u "$profile")/Documents/"
  start_velmora_sim "$work/win-sim" "$linux/sim/velmora-sim" || fail "velmora-sim did not start"
  pids+=("$sim_pid")
  settings_reg "$sim_port" >"$work/settings.reg"
  wine regedit /S "$(winepath -w "$work/settings.reg")"
  wine start "$profile\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Velmora\\Velmora.lnk"
  work_the_dialog "$images/win32_main_dialog.png" "$images/win32_running.png" "$images/win32_about_dialog.png" \
    Open "$profile\\Documents\\$example_map_name"
  wait "$sim_pid" || true
  wineserver -k 2>/dev/null || true
  unset WINEPREFIX
}

linux_shots() {
  echo "== Linux: the .deb in a scratch root"
  (cd "$linux" && cpack -G DEB -B "$work/deb" >/dev/null)
  dpkg -x "$(ls -t "$work"/deb/velmora_*.deb | head -1)" "$work/root"
  local command
  command="$(sed -n 's/^Exec=//p' "$work/root/usr/share/applications/velmora.desktop")"
  local home="$work/home"
  if [ -n "${VELMORA_SHOTS_PRIVATE_HOME:-}" ]; then
    mount -t tmpfs tmpfs /home
    home=/home/user
  fi
  export PATH="$work/root/usr/bin:$PATH" HOME="$home" XDG_CONFIG_HOME="$home/.config"
  export XDG_STATE_HOME="$home/.local/state"
  mkdir -p "$HOME/.config/velmora"
  cp "$example_map" "$HOME/"

  # Without settings: the port dialog comes first.
  (cd "$HOME" && $command >"$work/port.log" 2>&1) &
  local gui=$!
  shoot Dialog "$images/port_dialog.png"
  key_to Dialog Escape
  sleep 1
  main_click 247 218  # Exit
  wait "$gui" || true

  start_velmora_sim "$work/linux-sim" "$linux/sim/velmora-sim" || fail "velmora-sim did not start"
  pids+=("$sim_pid")
  settings_reg "$sim_port" >"$HOME/.config/velmora/settings.reg"
  (cd "$HOME" && $command >"$work/main.log" 2>&1) &
  gui=$!
  work_the_dialog "$images/main_dialog.png" "$images/running.png" "$images/about_dialog.png" \
    Open "$HOME/$example_map_name"
  wait "$gui" || true
  wait "$sim_pid" || true
}

# SHOTS="windows" or "linux" remakes one side's pictures only.
for side in ${SHOTS:-windows linux}; do
  if [ "$side" = linux ] && [ -z "${VELMORA_SHOTS_PRIVATE_HOME:-}" ] && [ "$(id -u)" -eq 0 ] \
     && unshare -m true 2>/dev/null; then
    # A user's home, /home/user, on a file system of its own that only this run sees (a mount
    # namespace): the log then names the map where a user keeps it.
    SHOTS=linux VELMORA_SHOTS_PRIVATE_HOME=1 unshare -m --propagation private "$0" "$linux" "$win"
    continue
  fi
  "${side}_shots"
done
[ -n "${VELMORA_SHOTS_PRIVATE_HOME:-}" ] || echo "docs_screenshots: look at each picture before committing it"
