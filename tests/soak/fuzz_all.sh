#!/usr/bin/env bash
# Runs every libFuzzer target of tests/fuzz (each <name>_fuzzer.cpp there) in
# turn under AddressSanitizer and UBSan, each for FUZZ_RUNS executions or
# FUZZ_SECONDS seconds, whichever ends first, and prints per target the
# executions, their rate, the corpus size and the findings.
#
# The seeds in tests/data/fuzz/<target>/ are read, never written: what a run
# learns goes to build/fuzz/corpus/<target>/ and is kept for the next run;
# findings (inputs that crash, hang or run out of memory) go to
# build/fuzz/findings/<target>/. A run stops at a target's first finding.
# A target may have a libFuzzer dictionary tests/fuzz/<target>.dict and more
# flags in tests/fuzz/<target>.options.
#
# Usage: tests/soak/fuzz_all.sh [TARGET...]     (default: every target)
#   FUZZ_RUNS     executions per target (default 10000000)
#   FUZZ_SECONDS  time bound per target (default: 27 minutes shared out)
# Needs clang (libFuzzer); builds build/fuzz itself.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in tests/fuzz/*_fuzzer.cpp; do
    targets+=("$(basename "$source" .cpp)")
  done
fi
runs=${FUZZ_RUNS:-10000000}
seconds=${FUZZ_SECONDS:-$((27 * 60 / ${#targets[@]}))}

command -v clang++ >/dev/null || { echo "fuzz_all: clang++ is needed" >&2; exit 2; }
build=build/fuzz
CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug >/dev/null || exit 2
cmake --build "$build" -j 2 --target "${targets[@]}" >"$build/build.log" 2>&1 ||
  { tail -30 "$build/build.log" >&2; exit 2; }

printf '%-26s %12s %9s %8s %8s  %s\n' target executions exec/s corpus seconds findings
failed=0
for t in "${targets[@]}"; do
  corpus=$build/corpus/$t
  findings=$build/findings/$t
  mkdir -p "$corpus" "$findings"
  seeds=tests/data/fuzz/$t
  [ -d "$seeds" ] || seeds=
  dict=
  [ -f tests/fuzz/$t.dict ] && dict=-dict=tests/fuzz/$t.dict
  # tests/fuzz/<target>.options: more libFuzzer flags, which win over these.
  options=
  [ -f tests/fuzz/$t.options ] && options=$(grep -v '^#' tests/fuzz/$t.options)
  log=$build/$t.log
  start=$(date +%s)
  # A run allocating more than 256 MB for an input of a few KB is a finding.
  "$build/bin/$t" -runs="$runs" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -malloc_limit_mb=256 -print_final_stats=1 -artifact_prefix="$findings/" $dict $options \
    "$corpus" $seeds >"$log" 2>&1
  rc=$?
  elapsed=$(($(date +%s) - start))
  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  found=$(sed -n 's/.*Test unit written to //p' "$log")
  if [ $rc -ne 0 ] || [ -n "$found" ]; then
    failed=1
    [ -n "$found" ] || found="exit status $rc (see $log)"
  else
    found=none
  fi
  printf '%-26s %12s %9s %8s %8s  %s\n' "$t" "${executed:-?}" "${rate:-?}" \
    "$(ls "$corpus" | wc -l)" "$elapsed" "$found"
done
exit $failed
