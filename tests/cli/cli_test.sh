#!/usr/bin/env bash
# velmora-cli as a user runs it: exit status, stdout and stderr, against the in-process
# simulated handset, velmora-sim over RFC 2217, and a program file that carries a sealed map.
# Usage: cli_test.sh CLI SEAL SIM SOURCE_DIR CASE
set -uo pipefail
cli="$1" seal="$2" simsrv="$3" src="$4" case="$5"
examples="$src/examples"
work="$(mktemp -d)"
trap 'rm -rf "$work"; [ -n "${simpid:-}" ] && kill "$simpid" 2>/dev/null' EXIT
cd "$work"
# A state folder of its own: a write-ahead copy another test's garbage collection keeps for a
# moment must not show here as a leftover, nor one of these runs' copies there.
export XDG_STATE_HOME="$work/state"

fail() { echo "FAIL: $*"; echo "--- stdout"; cat out.txt 2>/dev/null; echo "--- stderr"; cat err.txt 2>/dev/null; exit 1; }
run() { "$@" >out.txt 2>err.txt </dev/null; status=$?; }
expect_status() { [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"; }
expect_out() { grep -qF -- "$1" out.txt || fail "stdout lacks: $1"; }
expect_err() { grep -qF -- "$1" err.txt || fail "stderr lacks: $1"; }
expect_no_err() { ! grep -qF -- "$1" err.txt || fail "stderr should not hold: $1"; }

standard="$examples/Velmora_K72_1_Standard_11_0001.map"

case "$case" in
check_examples)
  for map in "$examples"/*.map; do
    run "$cli" --map "$map" --check
    expect_status 0; expect_out "Checksum OK"; expect_out "Map OK"; expect_out "MapFile-Info"
  done ;;
check_bad_maps)
  sed 's/^0xFF/0xFE/' "$standard" >bad-sum.map
  run "$cli" --map bad-sum.map --check
  expect_status 1; expect_out "Wrong Checksum! Mapfile corrupt?"
  printf 'not a map at all\r\n' >garbage.map
  run "$cli" --map garbage.map --check
  expect_status 1; expect_out "ERROR: Can't read map info! Mapfile corrupt?"
  expect_out "Please use mapping [Productname]_[1|2]_[Provider]_[SWV]_00xx.map"
  # The verdict on a line of its own, not glued to the open line the reader left.
  grep -qx 'Error reading map info!' out.txt || fail "verdict not on its own line" ;;
usage)
  run "$cli" --help; expect_status 0; expect_out "--map"; expect_out "AUTOMATIC"
  run "$cli" --port sim:; expect_status 1; expect_err "no map"
  run "$cli" --map "$standard" --bogus; [ "$status" -ne 0 ] || fail "unknown option accepted"
  # The modes as subcommands: the same runs as their flags, judged by the same rules.
  run "$cli" check --map "$standard"; expect_status 0
  run "$cli" --map "$standard" update --port sim: AUTOMATIC; expect_status 0; expect_out "Block 5002 written"
  run "$cli" plan --map "$standard" --port sim: AUTOMATIC; expect_status 0
  run "$cli" check --map "$standard" --verify; expect_status 64; expect_err "--check excludes --verify"
  run "$cli" plan --restore x.vbk --map "$standard"; expect_status 64
  run "$cli" check --check --map "$standard"; expect_status 64; expect_err "the same mode"
  run "$cli" restore; expect_status 64
  run "$cli" station stations.txt --port sim:; expect_status 64; expect_err "--port excludes --station"
  run "$cli" check plan --map "$standard"; [ "$status" -ne 0 ] || fail "two modes accepted" ;;
sim_update)
  run "$cli" --map "$standard" --port sim: --show-handset
  expect_status 0
  expect_out "IMEI: 351234567890128"; expect_out "Block 5002 written"
  expect_out "Writing Map-Version to Mobile."; expect_out "Eelite 1 23 1 ffb8ee00"
  expect_err "info: Configuration has been written to mobile successfully!" ;;
sim_unattended)
  run "$cli" --map "$standard" --port sim: AUTOMATIC
  expect_status 0; expect_no_err "info:"
  printf 'product = 85\n' >other.profile
  run "$cli" --map "$standard" --port sim:other.profile AUTOMATIC
  expect_status 1; expect_err "error: Wrong Mapping for this Mobile!"
  expect_out "Map-Product: 72  HW-Product: 85" ;;
sim_no_connection)
  printf 'state = off\nfault = boot_silent\n' >silent.profile
  run "$cli" --map "$standard" --port sim:silent.profile AUTOMATIC
  expect_status 2
  expect_err "error: Error switching service mode!"
  expect_err "You have to use a boot adapter (boot configuration)!" ;;
rfc2217_update)
  "$simsrv" --port 0 --dump handset.txt --once >sim.txt 2>&1 &
  simpid=$!
  for _ in $(seq 100); do grep -q "listening on" sim.txt 2>/dev/null && break; sleep 0.1; done
  port="$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' sim.txt | head -1)"
  [ -n "$port" ] || fail "velmora-sim did not start: $(cat sim.txt)"
  run "$cli" --map "$standard" --port "rfc2217://127.0.0.1:$port" AUTOMATIC
  expect_status 0; expect_out "Block 5002 written"
  wait "$simpid"; simpid=
  grep -q "^Eefull 5005 32 1 0000000000000000000000000000" handset.txt || fail "dump lacks the version record"
  grep -q "^Eefull 5005 32 1 00000000000000000000000000000b010001" handset.txt \
    || fail "version record not written: $(grep 5005 handset.txt)" ;;
backup_undo)
  # One handset kept by velmora-sim across the runs (its state file), one run per connection.
  serve() {
    "$simsrv" --port 0 --once --state-file state.txt --dump "$1" >sim.txt 2>&1 &
    simpid=$!
    port=""
    for _ in $(seq 100); do
      port="$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' sim.txt | head -1)"
      [ -n "$port" ] && break; sleep 0.1
    done
    [ -n "$port" ] || fail "velmora-sim did not start: $(cat sim.txt)"
  }
  blocks() { grep -E '^(Eelite|Eefull) ' "$1"; }
  large="$examples/Velmora_K72_1_Large_11_0002.map"
  serve before.txt
  run "$cli" backup full.vbk --port "rfc2217://127.0.0.1:$port" AUTOMATIC
  expect_status 0; expect_out "Reading block 5005"; wait "$simpid"; simpid=
  head -2 full.vbk | grep -qx "kind full" || fail "not a full backup: $(head -3 full.vbk)"
  # An update with its undo file, taken back.
  serve updated.txt
  run "$cli" --map "$large" --port "rfc2217://127.0.0.1:$port" --undo undo.vbk AUTOMATIC
  expect_status 0; expect_out "Undo file written to undo.vbk"; wait "$simpid"; simpid=
  [ "$(blocks updated.txt)" != "$(blocks before.txt)" ] || fail "the update changed nothing"
  serve undone.txt
  run "$cli" restore undo.vbk --port "rfc2217://127.0.0.1:$port" AUTOMATIC
  expect_status 0; wait "$simpid"; simpid=
  [ "$(blocks undone.txt)" = "$(blocks before.txt)" ] || fail "the undo did not give the store back"
  # The full backup after another update: only --exact removes what the update made.
  serve updated.txt
  run "$cli" --map "$large" --port "rfc2217://127.0.0.1:$port" AUTOMATIC
  expect_status 0; wait "$simpid"; simpid=
  serve restored.txt
  run "$cli" --restore full.vbk --exact --port "rfc2217://127.0.0.1:$port" AUTOMATIC
  expect_status 0; expect_out "Deleting the blocks that were not there"; wait "$simpid"; simpid=
  [ "$(blocks restored.txt)" = "$(blocks before.txt)" ] || fail "restore --exact did not give the store back"
  run "$cli" --map "$standard" --port sim: --undo full.vbk --check
  expect_status 64 ;;
report)
  # One record replaced whole, and an audit trail of one JSON line per run.
  run "$cli" --map "$standard" --port sim: AUTOMATIC --report run.json --report-append trail.jsonl
  expect_status 0
  printf 'fault = corrupt 2\n' >corrupt.profile
  run "$cli" --map "$standard" --port sim:corrupt.profile --verify AUTOMATIC --report-append trail.jsonl
  expect_status 1; expect_out "verify failed at byte"
  /usr/bin/python3 - run.json trail.jsonl "$standard" <<'PY' || fail "run records"
import hashlib, json, sys
record = json.load(open(sys.argv[1], encoding="utf-8"))
lines = open(sys.argv[2], encoding="utf-8").read().split("\n")
assert lines[-1] == "" and len(lines) == 3, lines
good, bad = (json.loads(l) for l in lines[:2])
assert record == good, "the record and the trail's first line differ"
assert good["outcome"] == "succeeded" and good["exit_status"] == 0 and good["error"] is None
assert good["imei"] == "351234567890128" and good["hardware_product"] == 72
assert good["port"] == "sim:" and good["baud"] == 57600 and good["map"]["product"] == 72
text = open(sys.argv[3], "rb").read().replace(b"\r\n", b"\n")
assert good["map_sha1"] == hashlib.sha1(text).hexdigest(), "digest of the map text"
assert all(b["outcome"] == "done" for b in good["blocks"]) and len(good["blocks"]) >= 2
assert good["start"] <= good["end"] and good["start"].endswith("Z")
assert bad["outcome"] == "failed" and bad["exit_status"] == 1 and bad["verify"] is True
assert bad["error"] == "Can't send mapping blocks to mobile!"
last = bad["blocks"][-1]
assert last["outcome"] == "verify-failed" and "verify_byte" in last, last
PY
  # A record that cannot be kept turns a good run into a failed one, and leaves nothing behind.
  run "$cli" --map "$standard" --port sim: AUTOMATIC --report no-such-dir/run.json
  expect_status 1; expect_err "error: cannot write the run record: no-such-dir/run.json"
  [ ! -e no-such-dir ] || fail "folder created" ;;
plan)
  # Nothing written, the handset switched off, exit 0 for a map that fits, 1 for one that does not.
  run "$cli" --map "$standard" --port sim: --plan --show-handset AUTOMATIC
  expect_status 0
  expect_out "Plan: nothing is written"; expect_out "HW-Product: 72"
  expect_out "Block 5002 Eefull: write"; expect_out "The mapping fits this handset"
  expect_no_err "successfully"
  grep -q "^Eelite 1 100 1 " out.txt || fail "block 1 changed by the plan"
  printf 'product = 85\n' >other.profile
  run "$cli" --map "$standard" --port sim:other.profile --plan AUTOMATIC
  expect_status 1; expect_out "Map-Product: 72  HW-Product: 85"
  run "$cli" --map "$standard" --port sim: --plan --verify
  expect_status 64
  run "$cli" --map "$standard" --port sim: --plan AUTOMATIC --report plan.json
  expect_status 0
  /usr/bin/python3 -c 'import json,sys; r=json.load(open("plan.json")); sys.exit(r["mode"] != "plan" or r["blocks"] != [] or r["exit_status"] != 0)' \
    || fail "plan record" ;;
usb_ports)
  # A device tree of one USB serial converter, laid out as sysfs does.
  dev=sys/devices/usb1/1-1/1-1:1.0/ttyUSB9
  mkdir -p "$dev/tty/ttyUSB9" sys/class/tty sys/bus/usb-serial/drivers/ftdi_sio
  printf '0403\n' >sys/devices/usb1/1-1/idVendor; printf '6001\n' >sys/devices/usb1/1-1/idProduct
  printf 'XY12\n' >sys/devices/usb1/1-1/serial
  ln -s ../../../../bus/usb-serial/drivers/ftdi_sio "$dev/driver"
  ln -s ../.. "$dev/tty/ttyUSB9/device"
  ln -s "../../${dev#sys/}/tty/ttyUSB9" sys/class/tty/ttyUSB9
  run "$cli" --list-ports --sysfs-root sys
  expect_status 0; expect_out "/dev/ttyUSB9  usb:0403:6001:XY12  ftdi_sio"
  # Found by identity: the device it names is the one opened (and here it does not exist).
  run "$cli" --map "$standard" --port usb:0403:6001:XY12 --sysfs-root sys AUTOMATIC
  expect_status 2; expect_err "/dev/ttyUSB9"
  run "$cli" --map "$standard" --port usb:0403:6015 --sysfs-root sys AUTOMATIC
  expect_status 1; expect_err "error: usb:0403:6015: no serial device with this USB identity" ;;
station)
  # Three handsets at once, each with its own log; one of them is of another product.
  printf 'product = 85\n' >other.profile
  printf '# bench\nsim:  first.log\nsim:other.profile\nsim:\n' >bench.txt
  run "$cli" --map "$standard" --station bench.txt --report-append trail.jsonl
  expect_status 1
  expect_out "3 handsets: 2 succeeded, 1 did not"
  grep -Eq '^sim:other.profile +351234567890128 +failed ' out.txt || fail "summary line of the failed handset"
  grep -Eq '^sim: +351234567890128 +succeeded .* first.log$' out.txt || fail "summary line of first.log"
  grep -q "Block 5002 written" first.log || fail "first.log lacks its run"
  # A child's log starts with the program's real path, as a run of its own does.
  [ "$(head -1 first.log | tr -d '\r')" = "$(readlink -f "$cli")" ] || fail "first.log starts with $(head -1 first.log)"
  grep -q "Map-Product: 72  HW-Product: 85" velmora-station-2-sim_other.profile.log \
    || fail "the failed handset's log lacks its run"
  [ "$(wc -l <trail.jsonl)" -eq 3 ] || fail "three records expected in the trail"
  run "$cli" --map "$standard" --port sim: --port sim:
  expect_status 0; expect_out "2 handsets: 2 succeeded, 0 did not"
  # One undo file per handset, named with its IMEI.
  printf 'imei = 351234567890111\n' >a.profile
  printf 'imei = 351234567890222\n' >b.profile
  run "$cli" --map "$standard" --port sim:a.profile --port sim:b.profile --undo undo.vbk
  expect_status 0
  for imei in 351234567890111 351234567890222; do
    grep -qx "imei $imei" "undo-$imei.vbk" || fail "no undo file of handset $imei"
  done
  run "$cli" --map "$standard" --port sim: --port sim: --report one.json
  expect_status 64
  run "$cli" --map "$standard" --port sim: --port sim: --backup all.vbk
  expect_status 64
  printf 'sim: a b\n' >bad.txt
  run "$cli" --map "$standard" --station bad.txt
  expect_status 1; expect_err "error: bad.txt: line 1: expected a port and at most a log file"
  # A termination request to the station reaches every run; the summary still comes.
  printf 'reply_delay_us = 200000\n' >slow.profile
  "$cli" --map "$standard" --port sim:slow.profile --port sim:slow.profile >out.txt 2>err.txt </dev/null &
  station=$!
  sleep 2
  kill -TERM "$station"
  wait "$station"; status=$?
  expect_status 1
  [ "$(grep -Ec '^sim:slow.profile +- +interrupted +[0-9]' out.txt)" -eq 2 ] \
    || fail "both runs should be interrupted" ;;
embedded_map)
  # Sealed as a shipped program is: without debug information (the trailer allows 16 MiB).
  objcopy --strip-debug "$cli" plain-cli 2>/dev/null || cp "$cli" plain-cli
  run "$seal" seal --key-file "$src/keys/development.key" \
    --private-key "$src/keys/development.private.pem" --map "$standard" --program plain-cli --output sealed-cli
  expect_status 0
  run ./sealed-cli --check
  expect_status 0; expect_out "Map OK"; expect_out "Product:"
  run ./sealed-cli --port sim: AUTOMATIC
  expect_status 0; expect_out "Block 5002 written"
  # A program without a trailer starts silently and asks for a map.
  run ./plain-cli --port sim:
  expect_status 1; expect_no_err "Error reading"
  # A damaged container is reported once; the program carries on without it.
  size=$(stat -c %s sealed-cli)
  printf '\x55' | dd of=sealed-cli bs=1 seek=$((size - 60)) conv=notrunc status=none
  run ./sealed-cli --check
  expect_status 1
  [ "$(grep -c "Error reading embedded data! " err.txt)" -eq 1 ] || fail "damage not reported once" ;;
*) echo "unknown case $case"; exit 2 ;;
esac
echo "PASS $case"
