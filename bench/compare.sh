#!/usr/bin/env bash
# Measures this tree against another (e.g. a checkout of an earlier main with
# its Release library built): the benchmark sources of this tree are built
# against both libraries and run in turn, ROUNDS times. Prints the medians of
#   start-up of type 1 per pairwise estimate (8 nucleotide sequences of 300),
#   cycles per second for 32 nucleotide sequences of 300 and the ratio of the
#     step times for 64 and 16 sequences (step_bench),
#   cycles per second for 12 protein sequences of 200 (sampler_bench one),
# and whether every checksum of the two builds agrees.
# Usage: bench/compare.sh OTHER_TREE [ROUNDS]
#   OTHER_TREE holds src/ and build/release/libquillmar_core.a.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 1 ] || { sed -n '2,11p' "$0"; exit 2; }
other=$(cd "$1" && pwd)
rounds=${2:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake -S "$here" -B "$here/build/release" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$here/build/release" -j4 --target quillmar_core >/dev/null
flags=(-std=c++17 -O2 -Wall -Wextra -ffp-contract=off -fno-fast-math -I"$here/bench")
for b in startup_bench step_bench sampler_bench; do
  g++ "${flags[@]}" -I"$other/src" "$here/bench/$b.cpp" \
    "$other/build/release/libquillmar_core.a" -o "$work/old_$b"
  g++ "${flags[@]}" -I"$here/src" "$here/bench/$b.cpp" \
    "$here/build/release/libquillmar_core.a" -o "$work/new_$b"
done

for ((i = 1; i <= rounds; ++i)); do
  for v in old new; do
    "$work/${v}_startup_bench" -q | awk '$1 == "dna" {print $5, $6, $7}' >>"$work/$v.startup"
    "$work/${v}_step_bench" >"$work/$v.step.$i"
    "$work/${v}_sampler_bench" one protein 12 200 60 >>"$work/$v.protein"
    echo "round $i $v done" >&2
  done
done

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
printf '%-5s %14s %16s %12s %12s %10s %18s\n' build "s/estimate" "cycles/s dna32" "step16 ms" "step64 ms" "ratio" "cycles/s prot12"
for v in old new; do
  s=$(awk '{print $1}' "$work/$v.startup" | median)
  c=$(grep -h '^summary' "$work/$v".step.* | awk '{print $3}' | median)
  s16=$(grep -h '^summary' "$work/$v".step.* | awk '{print $5}' | median)
  s64=$(grep -h '^summary' "$work/$v".step.* | awk '{print $8}' | median)
  r=$(grep -h '^summary' "$work/$v".step.* | awk '{print $11}' | median)
  p=$(awk '{for (k = 1; k < NF; ++k) if ($k == "cycles/s") print $(k + 1)}' "$work/$v.protein" | median)
  printf '%-5s %14s %16s %12s %12s %10s %18s\n' "$v" "$s" "$c" "$s16" "$s64" "$r" "$p"
done

# Everything but the times must agree.
sums() {
  awk '{print $2, $3}' "$work/$1.startup" | sort -u
  grep -h '^n ' "$work/$1".step.* | sed 's/.*lnL/lnL/' | sort -u
  sed 's/.*lnL/lnL/' "$work/$1.protein" | sort -u
}
if diff <(sums old) <(sums new) >/dev/null; then
  echo "checksums: identical"
else
  echo "checksums: DIFFERENT"
  diff <(sums old) <(sums new) || true
  exit 1
fi
