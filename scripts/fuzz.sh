#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-14 in build/fuzz and runs them.
# Usage: scripts/fuzz.sh [--seconds N] [--jobs N] [--keep] [TARGET...]
#   --seconds N  how long each target runs (default 300)
#   --keep       merge the new corpus entries into fuzz/corpus/<target> (default: they are kept
#                in build/fuzz/corpus/<target>, and the committed corpus is only read)
#   TARGET       fuzz_mapfile, fuzz_settings, ... (default: all)
# Fails on a crash, a leak or a time-out; the input that did it is left in
# build/fuzz/artifacts/<target>/ (add it to fuzz/corpus/<target>/ with the fix).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds=300
keep=0
targets=()
while (($#)); do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n 2,9p "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
  esac
done
all=(fuzz_mapfile fuzz_settings fuzz_frames fuzz_replies fuzz_rfc2217_client fuzz_rfc2217_server
     fuzz_container fuzz_backup fuzz_http_request)
((${#targets[@]})) || targets=("${all[@]}")

build="$root/build/fuzz"
CC=clang-14 CXX=clang++-14 VELMORA_TARGETS="${targets[*]}" "$root/scripts/setup.sh" "$build" \
  -DVELMORA_FUZZ=ON -DVELMORA_WERROR=ON -DVELMORA_BUILD_TESTS=OFF -DVELMORA_BUILD_BENCHMARKS=OFF

status=0
for t in "${targets[@]}"; do
  seeds="$root/fuzz/corpus/$t"
  work="$build/corpus/$t"
  artifacts="$build/artifacts/$t"
  mkdir -p "$work" "$artifacts"
  dict=()
  [ -f "$root/fuzz/$t.dict" ] && dict=(-dict="$root/fuzz/$t.dict")
  echo "== $t: ${seconds} s"
  # New entries go to the first directory; the committed seeds are only read.
  if ! "$build/fuzz/$t" "$work" "$seeds" "${dict[@]}" -max_total_time="$seconds" -timeout=10 \
       -rss_limit_mb=2048 -artifact_prefix="$artifacts/" -print_final_stats=1 \
       >"$build/$t.log" 2>&1; then
    echo "$t FAILED: see $build/$t.log and $artifacts/"
    tail -n 40 "$build/$t.log"
    status=1
  fi
  grep -E "stat::number_of_executed_units|cov:" "$build/$t.log" | tail -n 2 || true
  if ((keep)); then
    mkdir -p "$seeds"
    "$build/fuzz/$t" -merge=1 "$seeds" "$work" >/dev/null 2>&1
  fi
done
exit "$status"
