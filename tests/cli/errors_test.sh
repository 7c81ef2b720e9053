#!/usr/bin/env bash
# The programs given what a careless user gives them: FIFOs, directories and missing files where
# files belong, broken settings, ports that do not exist, bad URLs and profiles, wrong options.
# Each case: its exit status, its message, and an end well within a few seconds (what used to
# wait 60 s for a port that would never open, or for ever on a FIFO).
# Usage: errors_test.sh CLI SEAL SIM MAPGEN SOURCE_DIR CASE
set -uo pipefail
cli="$1" seal="$2" simsrv="$3" mapgen="$4" src="$5" case="$6"
standard="$src/examples/Velmora_K72_1_Standard_11_0001.map"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
# A state folder of its own: a write-ahead copy another test's garbage collection keeps for a
# moment must not show here as a leftover, nor one of these runs' copies there.
export XDG_STATE_HOME="$work/state"

# Generous, for a loaded machine: the permanent failures take milliseconds; a retried open
# took 60 s.
bound_s=20

fail() { echo "FAIL: $*"; echo "--- stdout"; cat out.txt 2>/dev/null; echo "--- stderr"; cat err.txt 2>/dev/null; exit 1; }
# run STATUS TEXT COMMAND...: the command ends by itself within the bound, with STATUS, and
# TEXT on stdout or stderr.
run() {
  local want="$1" text="$2"
  shift 2
  local start=$SECONDS
  timeout 30 "$@" >out.txt 2>err.txt </dev/null
  local status=$? took=$((SECONDS - start))
  [ "$status" -ne 124 ] || fail "$* did not end (blocked)"
  [ "$took" -le "$bound_s" ] || fail "$* took ${took}s"
  [ "$status" -eq "$want" ] || fail "$*: exit status $status, expected $want"
  grep -qF -- "$text" out.txt err.txt || fail "$*: output lacks: $text"
}
no_text() { ! grep -qF -- "$1" out.txt err.txt || fail "output should not hold: $1"; }

settings() {  # settings FILE LINES...: a registry export with the link key and these values
  local file="$1"
  shift
  { printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_CONFIG\\QSB_Library]\r\n'
    printf '%s\r\n' "$@"; } >"$file"
}

mkfifo fifo
mkdir dir
open_failed="It might be used by an other program!"

case "$case" in
files)
  # Named files that are no regular files are refused at once, never opened and waited on.
  run 1 "Can't open file fifo" "$cli" --map fifo --check
  run 1 "not a regular file" "$cli" --map fifo --check
  run 64 "directory" "$cli" --map dir --check
  run 1 "settings file fifo: not a regular file" "$cli" --settings fifo --map "$standard" --port sim:
  run 1 "settings file dir: not a regular file" "$cli" --settings dir --map "$standard" --port sim:
  run 2 "sim:fifo: cannot read profile: not a regular file" "$cli" --map "$standard" --port sim:fifo AUTOMATIC
  run 2 "fifo: cannot read profile: not a regular file" "$simsrv" --profile fifo --port 0
  # velmora-sim's state file: a bad one is named and kept as it is; no device is replaced.
  printf 'block = eelite 3 1 ABC\n' >bad.state
  run 2 "state file bad.state: line 1: block data must be whole hex bytes" "$simsrv" --state-file bad.state --port 0
  [ "$(cat bad.state)" = "block = eelite 3 1 ABC" ] || fail "the bad state file was changed"
  run 2 "--state-file: /dev/null is a character device, not a regular file" "$simsrv" --state-file /dev/null --port 0
  run 2 "--state-file: fifo is a FIFO, not a regular file" "$simsrv" --state-file fifo --port 0
  # A map on standard input reads as the file does.
  "$cli" --map - --check <"$standard" >out.txt 2>err.txt
  [ $? -eq 0 ] && grep -qF "Map OK" out.txt || fail "--map - did not read standard input" ;;
settings)
  run 1 "settings file missing.reg: No such file or directory" "$cli" --settings missing.reg --map "$standard"
  no_text "seriell"  # no port was touched
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_CONFIG\\QSB_Library]\r\n"ComPort"=bogus\r\n' >bad.reg
  run 1 "bad.reg:4:" "$cli" --settings bad.reg --map "$standard" AUTOMATIC
  no_text "seriell"
  # With a port of its own the run needs no settings: a warning, and it goes on.
  run 0 "(settings ignored)" "$cli" --settings bad.reg --map "$standard" --check --port sim:
  # Values the link cannot use are named with what is used instead (table: lines, warning).
  while IFS='|' read -r lines warning; do
    # shellcheck disable=SC2086
    IFS=';' read -r -a values <<<"$lines"
    settings values.reg "${values[@]}"
    run 0 "warning: values.reg: $warning" "$cli" --settings values.reg --map "$standard" --check
  done <<'EOF'
"ComPort"=hex:00;"Baudrate"=dword:0000e100|"ComPort"=hex:00 is no port (1 to 10); COM1 is used instead
"ComPort"=hex:0b;"Baudrate"=dword:0000e100|"ComPort"=hex:0b is no port (1 to 10); COM1 is used instead
"ComPort"=dword:00000001;"Baudrate"=dword:0000e100|"ComPort" is not one byte of hex data; COM1 is used instead
"ComPort"=hex:01;"Baudrate"=dword:00000000|"Baudrate" 0 is out of range (1 to 4000000); 57600 baud is used instead
"ComPort"=hex:01;"Baudrate"=dword:003d0901|"Baudrate" 4000001 is out of range (1 to 4000000); 57600 baud is used instead
"ComPort"=hex:01;"Baudrate"=hex:00,e1,00,00|"Baudrate" is not a dword; 57600 baud is used instead
EOF
  # A port that is no port: the run goes to COM1, as the warning says.
  settings zero.reg '"ComPort"=hex:00' '"Baudrate"=dword:0000e100'
  bound_s=60  # a whole update on the simulated handset
  run 0 "Block 5002 written" "$cli" --settings zero.reg --map "$standard" --port sim: AUTOMATIC
  # Good settings give no warning.
  settings good.reg '"ComPort"=hex:01' '"Baudrate"=dword:0000e100'
  run 0 "Map OK" "$cli" --settings good.reg --map "$standard" --check
  no_text "warning:" ;;
ports)
  # Ports that will never open: one attempt, the device and the reason after the box's text.
  closed_port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  printf 'product = 85\nbogus = 1\n' >unknown.profile
  printf 'baud = 0\n' >value.profile
  while IFS='|' read -r port reason; do
    run 2 "$reason" "$cli" --map "$standard" --port "$port" AUTOMATIC
    grep -qF "$open_failed" err.txt || fail "$port: the box's own text is gone"
    grep -qF "$reason" out.txt || fail "$port: the reason is not in the log"
  done <<EOF
/dev/velmora-no-such-port|/dev/velmora-no-such-port: No such file or directory
/dev/null|/dev/null: not a serial device
rfc2217://127.0.0.1:$closed_port|rfc2217://127.0.0.1:$closed_port: Connection refused
rfc2217://velmora-test.invalid:4000|rfc2217://velmora-test.invalid:
rfc2217://127.0.0.1|rfc2217://127.0.0.1: expected host:port
rfc2217://127.0.0.1:99999|rfc2217://127.0.0.1:99999: expected host:port with a port 1..65535
sim:missing.profile|sim:missing.profile: cannot read profile: No such file or directory
sim:unknown.profile|sim:unknown.profile: line 2: unknown setting 'bogus'
sim:value.profile|sim:value.profile: line 1: baud must not be 0
EOF
  ;;
usage)
  # Usage errors: 64 and the parser's message; --version: one line with the program's name.
  while IFS='|' read -r status text args; do
    # shellcheck disable=SC2086
    eval "set -- $args"
    run "$status" "$text" "$@"
  done <<EOF
64|--bogus|"$cli" --bogus
64|--baud|"$cli" --map "$standard" --baud 0
64|AUTOMATIC|"$cli" --map "$standard" automatic
64|--bogus|"$simsrv" --bogus
64|--set wants KEY=VALUE|"$simsrv" --set nothing
64|A subcommand is required|"$seal"
64|--bogus|"$seal" keygen --key-file a --private-key b --bogus
64|--bogus|"$mapgen" --bogus
64|--product|"$mapgen" --product twelve
64|at most 10000000|"$mapgen" --blocks 2000000000
64|more than 2048M|"$mapgen" --target-size 4096M
0|velmora-cli Version 1.3 from Sep 26 2002|"$cli" --version
0|velmora-sim Version 1.3 from Sep 26 2002|"$simsrv" --version
0|velmora-seal Version 1.3 from Sep 26 2002|"$seal" --version
0|velmora-mapgen Version 1.3 from Sep 26 2002|"$mapgen" --version
EOF
  [ "$(wc -l <out.txt)" -eq 1 ] || fail "--version is not one line"
  # Out of memory is a clear error, not an uncaught exception.
  (ulimit -v 400000; run 1 "out of memory" "$mapgen" --target-size 1024M -o map.out) || exit 1 ;;
seal)
  keys="$src/keys"
  seal_args=(seal --key-file "$keys/development.key" --private-key "$keys/development.private.pem"
             --map "$standard")
  # Both keygen outputs in one file, however it is spelled: refused, the file kept.
  run 0 "key file" "$seal" keygen --key-file k.key --private-key k.pem
  cp k.key k.key.before
  run 64 "name the same file" "$seal" keygen --force --key-file k.key --private-key ./k.key
  cmp -s k.key k.key.before || fail "keygen destroyed the key file"
  [ "$(stat -c %a k.pem)" = 600 ] || fail "the private key is readable by others"
  # The sealed copy may not overwrite the program it is made from, nor another input.
  # Without debug information, as a shipped program (the trailer allows 16 MiB).
  objcopy --strip-debug "$cli" prog 2>/dev/null || cp "$cli" prog
  cp prog prog.before
  run 64 "-o names the same file as --program" "$seal" "${seal_args[@]}" --program prog -o ./prog
  ln -s prog link
  run 64 "-o names the same file as --program" "$seal" "${seal_args[@]}" --program prog -o link
  run 64 "-o names the same file as --map" "$seal" "${seal_args[@]}" --program prog -o "$standard"
  cmp -s prog prog.before || fail "the program file was changed"
  # Key and program files that are FIFOs are refused at once.
  run 1 "cannot read key file fifo: not a regular file" "$seal" seal --key-file fifo \
    --private-key "$keys/development.private.pem" --map "$standard" --program prog -o out
  run 1 "cannot read program file fifo: not a regular file" "$seal" "${seal_args[@]}" --program fifo -o out
  run 0 "sealed" "$seal" "${seal_args[@]}" --program prog -o sealed ;;
outputs)
  # Every output against every kind of path: what is not a regular file of the output's own is
  # refused at once, before the port is touched (a port that does not exist would fail with
  # exit 2 and its name), and nothing at the path is changed.
  nowhere=/dev/velmora-no-such-port
  echo "kept" >target.txt
  ln -s target.txt link-to-file
  ln -s /dev/null link-to-device
  ln -s missing-target dangling
  ln "$standard" map-hardlink 2>/dev/null || true
  /usr/bin/python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind("sock")'
  printf '%s\n' "$nowhere" >ports.station
  while IFS='|' read -r option path text; do
    run 1 "$text" "$cli" --map "$standard" --port "$nowhere" "$option" "$path" AUTOMATIC
    no_text "No such file or directory"
  done <<EOF
--report|/dev/null|/dev/null is a character device, not a regular file
--report|fifo|fifo is a FIFO, not a regular file
--report|dir|dir is a directory, not a regular file
--report|sock|sock is a socket, not a regular file
--report|link-to-file|link-to-file is a symbolic link
--report|dangling|dangling is a symbolic link
--report|$standard|is the map file $standard itself
--report-append|/dev/null|/dev/null is a character device, not a regular file
--report-append|fifo|fifo is a FIFO, not a regular file
--report-append|dir|dir is a directory, not a regular file
--report-append|link-to-device|link-to-device is a character device, not a regular file
--report-append|dangling|dangling is a symbolic link to nothing
--timing|/dev/null|/dev/null is a character device, not a regular file
--timing|fifo|fifo is a FIFO, not a regular file
--timing|link-to-file|link-to-file is a symbolic link
EOF
  [ -c /dev/null ] && [ -p fifo ] && [ -d dir ] && [ -S sock ] || fail "a refused path was changed"
  [ "$(cat target.txt)" = kept ] || fail "the file behind a link was changed"
  [ -L link-to-file ] && [ -L dangling ] || fail "a link was replaced"
  # The same file as an input, by another name.
  if [ -e map-hardlink ]; then
    run 1 "is the map file $standard itself" "$cli" --map "$standard" --port "$nowhere" \
      --report-append map-hardlink AUTOMATIC
  fi
  run 1 "is the station file ports.station itself" "$cli" --map "$standard" \
    --station ports.station --report-append ports.station
  # Station logs are emptied: a link or a device there is refused before any child starts.
  printf '%s /dev/null\n' "$nowhere" >devlog.station
  run 1 "/dev/null is a character device, not a regular file" "$cli" --map "$standard" --station devlog.station
  printf '%s link-to-file\n' "$nowhere" >linklog.station
  run 1 "link-to-file is a symbolic link" "$cli" --map "$standard" --station linklog.station
  [ "$(cat target.txt)" = kept ] || fail "a station log emptied the file behind a link"
  # A regular file of the output's own, or a link to one for the trail, is taken.
  bound_s=60
  run 0 "Block 5002 written" "$cli" --map "$standard" --port sim: --report-append link-to-file \
    --report report.json AUTOMATIC
  grep -q '"outcome":"succeeded"' target.txt || fail "the trail through a link was not appended"
  grep -q '"outcome":"succeeded"' report.json || fail "the record was not written" ;;
nomap)
  # Nothing to write: the handset is not connected, attended or not, alone or at a station.
  nowhere=/dev/velmora-no-such-port
  run 1 "no map: give --map FILE" "$cli" --port "$nowhere" AUTOMATIC
  no_text "No such file or directory"
  run 1 "no map: give --map FILE" "$cli" --port "$nowhere" --port /dev/velmora-no-such-port-2
  no_text "No such file or directory"
  run 64 "--port: an empty device name" "$cli" --map "$standard" --port ''
  # A settings file named in the environment has to be there, as one given with --settings.
  VELMORA_SETTINGS=missing.reg run 1 "settings file missing.reg (VELMORA_SETTINGS): No such file or directory" \
    "$cli" --map "$standard" --port "$nowhere" AUTOMATIC
  no_text "$nowhere" ;;
restore_identity)
  # A backup goes back only into the handset it came from, whole: a foreign one is refused with
  # both IMEIs unless --other-handset; mapsave.eel is taken through its handset backup; a bare
  # one names no handset; a cut one is refused before anything is written.
  bound_s=120
  large="$src/examples/Velmora_K72_1_Large_11_0002.map"
  printf 'fault = writeback 1 5 always\n' >failing.profile
  printf 'imei = 490154203237518\n' >other.profile
  export XDG_STATE_HOME="$work/state"
  run 1 "Handset backup written to $work/mapsave-351234567890128-" "$cli" --map "$large" --port sim:failing.profile AUTOMATIC
  companion=$(ls mapsave-351234567890128-*.vbk)
  [ -f mapsave.eel ] && [ -n "$companion" ] || fail "no mapsave.eel with its handset backup"
  grep -qF "Or restore it with: velmora-cli --restore $work/$companion" out.txt || fail "the restore line does not name the handset backup"
  run 0 "The Eelite blocks have been restored" "$cli" --restore "$companion" --port sim: AUTOMATIC
  run 1 "holds the blocks of handset 351234567890128, not of the connected handset 490154203237518" \
    "$cli" --restore "$companion" --port sim:other.profile AUTOMATIC
  no_text "Block 1 restored"
  run 0 "Writing the blocks of handset 351234567890128 into handset 490154203237518 on purpose" \
    "$cli" --restore "$companion" --port sim:other.profile --other-handset AUTOMATIC
  run 0 "the handset backup beside mapsave.eel (handset 351234567890128)" "$cli" --restore mapsave.eel --port sim: AUTOMATIC
  run 1 "holds the blocks of handset 351234567890128" "$cli" --restore mapsave.eel --port sim:other.profile AUTOMATIC
  head -c 2000 "$companion" >cut.vbk
  run 1 "Can't read backup file cut.vbk: line" "$cli" --restore cut.vbk --port sim: AUTOMATIC
  mv "$companion" elsewhere.vbk
  run 1 "mapsave.eel does not say which handset its blocks came from" "$cli" --restore mapsave.eel --port sim: AUTOMATIC
  no_text "Block 1 restored"
  run 0 "Block 1 restored" "$cli" --restore mapsave.eel --port sim: --other-handset AUTOMATIC
  run 64 "--other-handset requires --restore" "$cli" --map "$large" --port sim: --other-handset ;;
unreachable)
  # A host that never completes the connect (a listener whose one-slot backlog is full) and a
  # listener that takes the connection but never speaks telnet: both fail within the connect
  # time-out of a few seconds, not after a minute of retries. Loopback only.
  bound_s=10
  /usr/bin/python3 - >ports.txt <<'EOF' &
import socket, sys, time
silent = socket.socket(); silent.bind(("127.0.0.1", 0)); silent.listen()
full = socket.socket(); full.bind(("127.0.0.1", 0)); full.listen(0)
filler = socket.create_connection(("127.0.0.1", full.getsockname()[1]))
print(silent.getsockname()[1], full.getsockname()[1], flush=True)
time.sleep(120)
EOF
  listener=$!
  for _ in $(seq 50); do [ -s ports.txt ] && break; sleep 0.1; done
  read -r silent full <ports.txt
  run 2 "cannot connect to 127.0.0.1:$silent: timed out" "$cli" --map "$standard" --port "rfc2217://127.0.0.1:$silent" AUTOMATIC
  run 2 "cannot connect to 127.0.0.1:$full: timed out" "$cli" --map "$standard" --port "rfc2217://127.0.0.1:$full" AUTOMATIC
  kill "$listener" ;;
leftovers)
  # Leftover write-ahead copies are found from any working folder; a restored one is not warned
  # about by the start that restores it; a refused private folder is named with where the copy
  # went; a backup that cannot be written whole (a full disk) leaves no file behind.
  bound_s=120
  large="$src/examples/Velmora_K72_1_Large_11_0002.map"
  mkdir -p home elsewhere state/velmora
  export HOME="$work/home" XDG_STATE_HOME="$work/state"
  copy="$HOME/velmora-writeahead-20261210-000000-351234567890128.vbk"
  /usr/bin/python3 - "$copy" <<'EOF'
import hashlib, sys
body = ("VELMORA-BACKUP 1\nkind write-ahead\nimei 351234567890128\nproduct 72\n"
        "created 2026-12-10T00:00:00Z\nblock eelite 3 size 2 version 1\ndata 0A0B\n")
open(sys.argv[1], "w").write(body + "end blocks 1 absent 0 sha1 " + hashlib.sha1(body.encode()).hexdigest() + "\n")
EOF
  (cd elsewhere && run 0 "Restore them with: velmora-cli --restore $copy" "$cli" --map "$standard" --check) || exit 1
  (cd elsewhere && run 0 "Block 3 restored" "$cli" --restore "$copy" --port sim: AUTOMATIC) || exit 1
  (cd elsewhere && no_text "were found") || exit 1
  # A private folder open to others is refused; the copy goes to the home folder, and the log
  # says so (the write-back then fails for good, so the run ends with the backups).
  chmod 0777 state/velmora
  printf 'fault = writeback 1 5 always\n' >failing.profile
  run 1 "The private folder was refused (" "$cli" --map "$large" --port sim:failing.profile AUTOMATIC
  grep -qF "the copy of the Eelite blocks is in $HOME/velmora-writeahead-" out.txt || fail "the copy's place is not named"
  chmod 0700 state/velmora
  # A full disk (a file size limit of 12 KB): the write-ahead copy fits, mapsave.eel does not;
  # nothing half-written stays, and the copy keeps the blocks.
  mkdir full && cd full
  ( trap '' XFSZ; ulimit -f 12; run 1 "Can't send mapping blocks to mobile!" "$cli" --map "$large" --port "sim:$work/failing.profile" AUTOMATIC ) || exit 1
  grep -qF "ERROR: Can't backup EELITE (mapsave.eel) !" out.txt || fail "the failed backup is not said"
  [ ! -e mapsave.eel ] || fail "a cut mapsave.eel was left behind ($(stat -c %s mapsave.eel) bytes)"
  ls "$XDG_STATE_HOME"/velmora/velmora-writeahead-*.vbk >/dev/null 2>&1 || fail "the write-ahead copy was not kept"
  cd .. ;;
*) echo "unknown case $case"; exit 2 ;;
esac
echo "PASS $case"
