#!/usr/bin/env bash
# velmora as a production line runs it: unattended, against the in-process simulated
# handset; message boxes are recorded through VELMORA_GUI_MESSAGE_LOG instead of waiting.
# Usage: velmora_test.sh VELMORA SOURCE_DIR CASE
set -uo pipefail
velmora="$1" src="$2" case="$3"
standard="$src/examples/Velmora_K72_1_Standard_11_0001.map"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
# A state folder of its own: another test's write-ahead copy is no leftover of these runs.
export XDG_STATE_HOME="$work/state"

fail() { echo "FAIL: $*"; echo "--- stdout"; cat out.txt; echo "--- stderr"; cat err.txt; echo "--- boxes"; cat boxes.txt 2>/dev/null; exit 1; }
# A run that does not end by itself is a failure, not a hang.
run() { VELMORA_GUI_MESSAGE_LOG="$work/boxes.txt" timeout 90 "$@" >out.txt 2>err.txt </dev/null; status=$?; }
expect_status() { [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"; }

# COM1 configured, so that no port dialog waits for an answer.
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_CONFIG\\QSB_Library]\r\n"ComPort"=hex:01\r\n"Baudrate"=dword:0000e100\r\n' >settings.reg

case "$case" in
usage)
  # Answered before the toolkit starts, so no display is needed.
  env -u DISPLAY "$velmora" --help >out.txt 2>err.txt; status=$?
  expect_status 0
  for word in --map --port --baud --settings AUTOMATIC "Exit status"; do
    grep -qF -- "$word" out.txt || fail "--help lacks $word"
  done
  run "$velmora" --map "$standard" --bogus
  expect_status 64
  grep -qF -- "--bogus" err.txt || fail "the parser's message is missing"
  run "$velmora" --map "$standard" automatic
  expect_status 64
  env -u DISPLAY "$velmora" --version >out.txt 2>err.txt; status=$?
  expect_status 0
  [ "$(cat out.txt)" = "velmora Version 1.3 from Sep 26 2002" ] || fail "--version: $(cat out.txt)" ;;
bad_settings)
  # Settings the program cannot run with: one error box naming the file and the reason, and the
  # program ends without the dialog and without touching a port.
  run "$velmora" --map "$standard" --settings missing.reg AUTOMATIC
  expect_status 3
  [ "$(cat boxes.txt)" = "error: settings file missing.reg: No such file or directory" ] \
    || fail "expected the one error box"
  rm -f boxes.txt
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_CONFIG\\QSB_Library]\r\n"ComPort"=bogus\r\n' >bad.reg
  run "$velmora" --map "$standard" --settings bad.reg AUTOMATIC
  expect_status 3
  grep -qF "error: bad.reg:4: " boxes.txt || fail "the box does not name the line" ;;
unattended_success)
  run "$velmora" --map "$standard" --port sim: --settings settings.reg AUTOMATIC
  expect_status 0
  [ ! -s boxes.txt ] || fail "an unattended success shows no message box" ;;
unattended_failure)
  printf 'product = 85\n' >other.profile
  run "$velmora" --map "$standard" --port sim:other.profile --settings settings.reg AUTOMATIC
  expect_status 3
  [ "$(cat boxes.txt)" = "error: Wrong Mapping for this Mobile!" ] || fail "expected the one error box"
  # A handset that acknowledges a block it stores with a changed byte: unnoticed without
  # --verify, a failed run with it.
  printf 'fault = corrupt 2\n' >corrupt.profile
  rm -f boxes.txt
  run "$velmora" --map "$standard" --port sim:corrupt.profile --settings settings.reg AUTOMATIC
  expect_status 0
  run "$velmora" --map "$standard" --port sim:corrupt.profile --settings settings.reg --verify AUTOMATIC
  expect_status 3
  grep -qF "error: Can't send mapping blocks to mobile!" boxes.txt || fail "expected the failed block box" ;;
continuous)
  # A line of handsets from the dialog: two handsets one after the other, each with its own
  # undo file, no box waiting for a hand; a failing line ends with the failure status, its
  # boxes in the log instead.
  printf 'state = off\nhandsets = 2\nnext_after_ms = 1000\n' >line.profile
  run "$velmora" --map "$standard" --port sim:line.profile --settings settings.reg --continuous \
    --count 2 --undo undo.vbk AUTOMATIC
  expect_status 0
  [ ! -s boxes.txt ] || fail "a line shows no message box"
  [ -f undo-351234567890128.vbk ] && [ -f undo-351234567890132.vbk ] \
    || fail "expected one undo file per handset: $(ls)"
  printf 'state = off\nhandsets = 2\nnext_after_ms = 1000\nproduct = 85\n' >other.profile
  run "$velmora" --map "$standard" --port sim:other.profile --settings settings.reg --continuous \
    --count 2 AUTOMATIC
  expect_status 3
  [ ! -s boxes.txt ] || fail "the failures' boxes go to the log" ;;
records_unkept)
  # A database named with --records that can never take the record: refused before the port is
  # touched, with the reason.
  printf 'not a database, just a file the operator named by mistake\n' >records.sqlite
  run "$velmora" --map "$standard" --port sim: --settings settings.reg --records sqlite:records.sqlite AUTOMATIC
  expect_status 3
  grep -qF "records.sqlite: file is not a database" err.txt || fail "expected the refusal's reason"
  [ ! -s boxes.txt ] || fail "the refusal came after the dialog"
  # A file locked past its wait keeps the record in the outbox; when the outbox cannot take it
  # either (a state folder others may write into), the handset was updated, but a line that
  # counts on its records hears of it.
  rm -f records.sqlite
  run "$velmora" --map "$standard" --port sim: --settings settings.reg --records sqlite:records.sqlite AUTOMATIC
  expect_status 0
  chmod 777 state/velmora
  /usr/bin/python3 -c 'import sqlite3, sys, time
db = sqlite3.connect("records.sqlite", isolation_level=None)
db.execute("BEGIN IMMEDIATE")
open("locked", "w").close()
time.sleep(120)' &
  holder=$!
  for _ in $(seq 100); do [ -e locked ] && break; sleep 0.1; done
  run "$velmora" --map "$standard" --port sim: --settings settings.reg --records sqlite:records.sqlite AUTOMATIC
  expect_status 3
  grep -qF "error: cannot store the run record: " boxes.txt || fail "expected the record's error box"
  kill "$holder"
  wait "$holder" 2>/dev/null
  chmod 700 state/velmora
  # Without --records the default database failing only warns, the record waits in the outbox,
  # and the run's own status stands.
  mkdir -p state/velmora && printf 'garbage\n' >state/velmora/records.sqlite
  run "$velmora" --map "$standard" --port sim: --settings settings.reg AUTOMATIC
  expect_status 0
  grep -qF "warning: the run record waits in the outbox: records database" err.txt \
    || fail "expected the outbox's warning" ;;
*) fail "unknown case $case" ;;
esac
echo "PASS: $case"
