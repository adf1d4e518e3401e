#!/usr/bin/env bash
# Writes the seed corpus of table_open_fuzzer: tables made with the kura tool
# (BLOB and memo values, compressed indexes, a tree of two levels), each
# packed as uint32 LE length of the .DAT, uint32 LE length of the .IDX, the
# .DAT, the .IDX, then the .BLB.
# Usage: tests/fuzz/make_corpus.sh KURA_EXECUTABLE [OUTPUT_DIR]
set -euo pipefail
kura=$1
top=$(cd "$(dirname "$0")/../.." && pwd)
out=${2:-$top/tests/data/kura/fuzz_corpus}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

le32() {
  local n=$1
  printf "\\x$(printf %02x $((n & 255)))\\x$(printf %02x $(((n >> 8) & 255)))"
  printf "\\x$(printf %02x $(((n >> 16) & 255)))\\x$(printf %02x $(((n >> 24) & 255)))"
}

pack() {  # pack TABLE NAME
  local t=$work/$1
  local blb=/dev/null
  [ -f "$t.BLB" ] && blb=$t.BLB
  {
    le32 "$(stat -c %s "$t.DAT")"
    le32 "$(stat -c %s "$t.IDX")"
    cat "$t.DAT" "$t.IDX" "$blb"
  } >"$out/$2"
}

mkdir -p "$out"

# Long keys under full compression with a memo field: deleting record 2
# grows the root leaf past its size, so the tree splits into two levels.
"$kura" create "$work" LONGKEYS k1:string:2 k2:string:250 k3:smallint note:memo \
  --index ix:k1,k2,k3:unique:compress=full --blob-block-size 64 >/dev/null
{
  printf 'a\t\\N\t\\N\tfirst\n'
  printf 'b\t\\N\t\\N\t\\N\n'
  printf 'b\t\\N\t5\ta note of more than one block, so that its chain links blocks\n'
  for i in $(seq 0 14); do
    c=$(printf "\\x$(printf %02x $((65 + i)))")
    printf 'c\t%s\t%d\tn%d\n' "$(printf "%250s" | tr ' ' "$c")" "$i" "$i"
  done
} | "$kura" append "$work" LONGKEYS
"$kura" delete "$work" LONGKEYS 2
pack LONGKEYS longkeys_memo

# A primary key, secondary indexes under each compression, BLOB values and
# deleted slots on the free chain.
"$kura" create "$work" GAMES id:autoinc name:string:20 score:integer moves:blob \
  --primary id --index byname:name:nocase:compress=trailbyte \
  --index byscore:score,name:compress=dupbyte --index bymoves:name,score:desc:compress=full \
  --blob-block-size 128 >/dev/null
for i in $(seq 1 40); do
  printf '\\N\tplayer%02d\t%d\t%s\n' $((i % 13)) $((i * 37 % 101)) "$(printf 'm%.0s' $(seq 1 $((i * 5))))"
done | "$kura" append "$work" GAMES
"$kura" delete "$work" GAMES 3 17 30
pack GAMES games_blobs
