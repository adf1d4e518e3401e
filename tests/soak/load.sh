#!/usr/bin/env bash
# Load run: WRITERS processes (default 8) append ROWS rows each (default
# 10,000) to one table through `kura append` (a row per write lock), while
# 2 readers run filters on the indexed column through `kura filter` and one
# process runs `kura verify` in a loop. Every row carries its writer and
# sequence number, and its memo (a BLOB value of a few blocks) is made from
# them, so a reader can tell a torn or mixed value. Afterwards: every row is
# there exactly once, no auto-increment value is repeated, the table
# verifies. Prints rows/s, reader and verify rounds and every failure.
#
# Usage: tests/soak/load.sh [KURA_EXECUTABLE]
#   (default: built in build/soak with AddressSanitizer and UBSan, as
#   tests/soak/run.sh builds; the figures are then those of that build)
#   WRITERS, ROWS   as above
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
writers=${WRITERS:-8}
rows=${ROWS:-10000}
kura=${1:-}
if [ -z "$kura" ]; then
  cmake -S . -B build/soak -DCMAKE_BUILD_TYPE=Debug -DKIROBAKU_ASAN=ON -DKIROBAKU_UBSAN=ON \
    -DKIROBAKU_BUILD_TESTS=ON -DKIROBAKU_BUILD_SOAK=ON >/dev/null || exit 2
  cmake --build build/soak -j 2 --target kura >build/soak/kura.build.log 2>&1 ||
    { tail -30 build/soak/kura.build.log >&2; exit 2; }
  kura=build/soak/bin/kura
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi
work=$(mktemp -d /tmp/kura-load-XXXXXX)
trap 'rm -rf "$work"' EXIT
db=$work/db
mkdir -p "$db"
"$kura" create "$db" LOAD id:autoinc writer:integer seq:integer memo:memo \
  --index bywriter:writer --blob-block-size 64 >/dev/null || exit 2


stop=$work/stop
# A reader's round: a cursor with a filter on the indexed column (kura
# filter: every row the writer asked for) and the same rows through SQL with
# their memos (each must be its own writer's and sequence number's).
check_rows() {  # check_rows WRITER MEMO_COLUMN: counts wrong rows on stdin
  awk -F'\t' -v w="$1" -v mc="$2" '
    NF >= 3 && $1 ~ /^[0-9]+$/ {
      m = ""; for (i = 0; i < 9; i++) m = m "w" $2 "n" $3 "."
      if ($2 != w || (mc > 0 && $mc != m)) { print "torn or wrong row: " $0 > "/dev/stderr"; n++ }
    } END { print n + 0 }'
}
refused() { grep -q '11013\|lock' "$1"; }
reader() {
  local id=$1 rounds=0 bad=0 out w
  while [ ! -e "$stop" ]; do
    w=$((RANDOM % writers))
    if out=$("$kura" filter "$db" LOAD "writer = $w" --index bywriter 2>"$work/r$id.err"); then
      bad=$((bad + $(printf '%s\n' "$out" | check_rows "$w" 0)))
    elif ! refused "$work/r$id.err"; then
      bad=$((bad + 1)); head -1 "$work/r$id.err"
    fi
    if out=$("$kura" sql "$db" -c "SELECT id, writer, seq, memo FROM LOAD WHERE writer = $w" \
        2>"$work/r$id.err"); then
      bad=$((bad + $(printf '%s\n' "$out" | check_rows "$w" 4)))
    elif ! refused "$work/r$id.err"; then
      bad=$((bad + 1)); head -1 "$work/r$id.err"
    fi
    rounds=$((rounds + 1))
  done
  echo "$rounds $bad" >"$work/reader$id.out"
}
verifier() {
  local rounds=0 bad=0 refused=0
  while [ ! -e "$stop" ]; do
    if out=$("$kura" verify "$db" LOAD 2>&1); then
      [ "$out" = ok ] || { bad=$((bad + 1)); echo "verify: $out"; }
    elif printf '%s' "$out" | grep -q '11013\|lock'; then
      refused=$((refused + 1))
    else
      bad=$((bad + 1)); echo "verify: $out"
    fi
    rounds=$((rounds + 1))
  done
  echo "$rounds $bad $refused" >"$work/verify.out"
}

start=$(date +%s.%N)
pids=()
for w in $(seq 0 $((writers - 1))); do
  awk -v w="$w" -v n="$rows" 'BEGIN {
    for (s = 1; s <= n; s++) { m = ""; for (i = 0; i < 9; i++) m = m "w" w "n" s "."
      printf "\\N\t%d\t%d\t%s\n", w, s, m }
  }' | "$kura" append "$db" LOAD 2>"$work/writer$w.err" &
  pids+=($!)
done
reader 1 & r1=$!
reader 2 & r2=$!
verifier & v=$!
failed=0
for p in "${pids[@]}"; do
  wait "$p" || failed=$((failed + 1))
done
end=$(date +%s.%N)
touch "$stop"
wait $r1 $r2 $v
for w in $(seq 0 $((writers - 1))); do
  [ -s "$work/writer$w.err" ] && { echo "writer $w: $(head -1 "$work/writer$w.err")"; }
done

# Every row once, every auto-increment value once.
"$kura" filter "$db" LOAD "writer >= 0" >"$work/all.tsv" 2>"$work/all.err" || cat "$work/all.err"
total=$(awk -F'\t' '$1 ~ /^[0-9]+$/' "$work/all.tsv" | wc -l)
dup_ids=$(awk -F'\t' '$1 ~ /^[0-9]+$/ {print $1}' "$work/all.tsv" | sort | uniq -d | wc -l)
dup_rows=$(awk -F'\t' '$1 ~ /^[0-9]+$/ {print $2 "/" $3}' "$work/all.tsv" | sort | uniq -d | wc -l)
final=$("$kura" verify "$db" LOAD 2>&1)
read -r r1rounds r1bad <"$work/reader1.out"
read -r r2rounds r2bad <"$work/reader2.out"
read -r vrounds vbad vrefused <"$work/verify.out"
seconds=$(echo "$end - $start" | bc)
expected=$((writers * rows))
echo "load: $writers writers x $rows rows in ${seconds}s: $(echo "$expected / $seconds" | bc) rows/s"
echo "rows afterwards: $total of $expected; duplicate auto-increment values: $dup_ids; rows twice: $dup_rows"
echo "writers failed: $failed; final verify: $final"
echo "readers: $r1rounds + $r2rounds filter rounds, torn or wrong rows: $((r1bad + r2bad))"
echo "verify loop: $vrounds rounds, $vbad failures, $vrefused refused by a lock"
[ "$failed" = 0 ] && [ "$total" = "$expected" ] && [ "$dup_ids" = 0 ] && [ "$dup_rows" = 0 ] &&
  [ "$final" = ok ] && [ $((r1bad + r2bad + vbad)) = 0 ]
