#!/usr/bin/env bash
# Measures this tree against another (e.g. a checkout of an earlier main with
# its Release library built): the benchmark sources of this tree are built
# against both libraries and run in turn, ROUNDS times. All times are CPU
# time of the benchmark process. Prints, per build, the median and the range
# (min to max) over the rounds of
#   start-up of type 1 per pairwise estimate (8 nucleotide sequences of 300),
#   cycles per second for 32 nucleotide sequences of 300, the step times for
#     16 and 64 sequences and their ratio (step_bench),
#   cycles per second for 12 protein sequences of 200 (sampler_bench one),
# then the factor of the two builds per round (median and range), and
# whether every checksum of the two builds agrees.
# Usage: bench/compare.sh OTHER_TREE [ROUNDS]
#   OTHER_TREE holds src/ and build/release/libquillmar_core.a.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 1 ] || { sed -n '2,15p' "$0"; exit 2; }
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
    "$work/${v}_sampler_bench" one protein 12 200 60 cpu >>"$work/$v.protein"
    echo "round $i $v done" >&2
  done
done

# One value per round and line: start-up s/estimate, cycles/s dna32, step16,
# step64, ratio, cycles/s prot12.
values() {
  paste -d' ' \
    <(awk '{print $1}' "$work/$1.startup") \
    <(for ((i = 1; i <= rounds; ++i)); do grep -h '^summary' "$work/$1.step.$i"; done |
        awk '{print $3, $5, $8, $11}') \
    <(awk '{for (k = 1; k < NF; ++k) if ($k == "cycles/s") print $(k + 1)}' "$work/$1.protein")
}
values old >"$work/old.values"
values new >"$work/new.values"
# Median and range of column k of a file of rounds.
stat() {
  awk -v k="$2" '{print $k}' "$1" | sort -g |
    awk '{v[NR] = $1} END {m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
                           printf "%.4g (%.4g-%.4g)", m, v[1], v[NR]}'
}
names=("s/estimate" "cycles/s dna32" "step16 ms" "step64 ms" "ratio 64/16" "cycles/s prot12")
# Factor per round: old/new for times, new/old for rates, so that above 1
# means faster now; the ratio column is given as old/new too.
paste -d' ' "$work/old.values" "$work/new.values" |
  awk '{print $1 / $7, $8 / $2, $3 / $9, $4 / $10, $5 / $11, $12 / $6}' >"$work/factor.values"
printf '%-16s %-28s %-28s %-24s\n' "(median, range)" old new "factor"
for k in 1 2 3 4 5 6; do
  printf '%-16s %-28s %-28s %-24s\n' "${names[k - 1]}" "$(stat "$work/old.values" "$k")" \
    "$(stat "$work/new.values" "$k")" "$(stat "$work/factor.values" "$k")"
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
