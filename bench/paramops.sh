#!/bin/sh
# Parameter-operator speed: a loop of 100000 ${x#?} and ${x/a/b}
# expansions run by tarn and by bash; prints both times and the ratio.
# Usage: bench/paramops.sh [path-to-tarn] [iterations]
tarn=${1:-build/tarn}
n=${2:-100000}
script='x=abcabcabcabc; i=0; while [ $i -lt '$n' ]; do y=${x#?}; z=${x/a/b}; i=$((i+1)); done; echo "$y $z"'
t() {
    s=$(date +%s.%N)
    "$@" -c "$script" >/dev/null || echo "failed: $1" >&2
    e=$(date +%s.%N)
    echo "$s $e" | awk '{printf "%.3f", $2 - $1}'
}
tt=$(t "$tarn")
tb=$(t bash)
echo "tarn ${tt}s  bash ${tb}s  ratio $(echo "$tt $tb" | awk '{printf "%.2f", $1 / $2}')"
