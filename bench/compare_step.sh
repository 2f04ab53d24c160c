#!/bin/sh
# Builds bench/step_bench against a baseline tree (headers in BASE/src,
# library in BASE/build/release) and against this tree's build/release, runs
# them alternately ROUNDS times and prints every output line; the checksums
# of the two builds must be equal.
# Usage: bench/compare_step.sh BASE [ROUNDS] [SCALE]
set -e
here=$(cd "$(dirname "$0")/.." && pwd)
base=${1:?baseline tree}
rounds=${2:-3}
scale=${3:-1}
out=$(mktemp -d)
flags="-std=c++17 -O2 -Wall -Wextra -ffp-contract=off -fno-fast-math"
g++ $flags -I"$base/src" -I"$here/bench" "$here/bench/step_bench.cpp" \
    "$base/build/release/libquillmar_core.a" -o "$out/old"
cmake --build "$here/build/release" -j4 --target quillmar_core >/dev/null
g++ $flags -I"$here/src" -I"$here/bench" "$here/bench/step_bench.cpp" \
    "$here/build/release/libquillmar_core.a" -o "$out/new"
i=1
while [ "$i" -le "$rounds" ]; do
    for b in old new; do
        echo "== $b round $i"
        "$out/$b" "$scale" | tee "$out/$b.$i"
    done
    i=$((i + 1))
done
# Medians over the rounds: cycles/s for 32, steps for 16 and 64, their ratio.
median() {
    sort -g | awk '{v[NR] = $1}
        END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}
for b in old new; do
    line="$b medians:"
    for f in 3 5 8 11; do
        line="$line $(grep -h '^summary' "$out/$b".* | awk -v f=$f '{print $f}' | median)"
    done
    echo "$line   (cycles/s(32) step(16) ms step(64) ms ratio)"
done
for b in old new; do grep -h '^n ' "$out/$b".* | sed 's/.*lnL/lnL/' | sort -u > "$out/$b.sum"; done
if cmp -s "$out/old.sum" "$out/new.sum"; then echo "checksums: identical"; else
    echo "checksums: DIFFERENT"; diff "$out/old.sum" "$out/new.sum" || true; fi
rm -rf "$out"
