#!/bin/sh
# Filename generation speed: "echo *.txt" in a directory of 10 000 files
# (repeated inside one shell) and "echo **/*.c" over a 20 000-file tree,
# run by tarn, bash and dash in the same run.  Prints the median of five
# runs per shell and the tarn/peer ratios.  dash has no recursive **/, so
# it is given */*/*.c, which finds the same files (they all lie two levels
# down).
# Both commands are repeated inside one shell so that start-up time, shown
# separately, does not swamp the globbing.
# Usage: bench/glob.sh [path-to-tarn] [repeats-of-*.txt] [repeats-of-**/*.c]
tarn=$(cd "$(dirname "${1:-build/tarn}")" && pwd)/$(basename "${1:-build/tarn}")
reps=${2:-20}
rreps=${3:-20}
dir=$(mktemp -d "${TMPDIR:-/tmp}/tarn-glob-bench.XXXXXX")
trap 'rm -rf "$dir"' EXIT INT TERM

mkdir "$dir/flat" "$dir/tree"
(cd "$dir/flat" && seq 1 10000 | sed 's/$/.txt/' | xargs touch)
# 20 top directories, 10 below each, 100 files in every one of those.
(cd "$dir/tree" &&
    for a in $(seq 1 20); do
        for b in $(seq 1 10); do
            mkdir -p "d$a/s$b"
            seq 1 50 | sed "s|^|d$a/s$b/f|; s/\$/.c/" | xargs touch
            seq 1 50 | sed "s|^|d$a/s$b/g|; s/\$/.h/" | xargs touch
        done
    done)

median() { sort -n | sed -n 3p; }

# Seconds for one run of: shell -c script, in directory $1.
timeit() {
    where=$1
    shift
    s=$(date +%s.%N)
    (cd "$where" && "$@" >/dev/null 2>&1)
    e=$(date +%s.%N)
    echo "$e - $s" | bc
}

loop() { echo "i=0; while [ \$i -lt $1 ]; do $2; i=\$((i+1)); done"; }
txt=$(loop "$reps" 'echo *.txt')
# The same words handed to ":", which ignores them: the globbing alone.
txtq=$(loop "$reps" ': *.txt')
rec=$(loop "$rreps" 'echo **/*.c')
recdash=$(loop "$rreps" 'echo */*/*.c')

# Five rounds; in each, every shell runs once, in an order that turns
# from round to round, so that none always runs first.  Prints the median
# of each shell's five times, in the order the shells were given.
# Arguments: directory, then one command per shell, each a single string.
trio() {
    where=$1
    shift
    a=$1 b=$2 c=$3
    ta= tb= tc=
    for r in 1 2 3 4 5; do
        case $r in
        1|4) order="a b c" ;;
        2|5) order="b c a" ;;
        *) order="c a b" ;;
        esac
        for w in $order; do
            eval "cmd=\$$w"
            t=$(eval "timeit \"\$where\" $cmd")
            eval "t$w=\"\$t$w \$t\""
        done
    done
    for w in a b c; do
        eval "echo \$t$w" | tr ' ' '\n' | grep . | median
    done
}

q() { printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"; }

set -- $(trio "$dir/flat" "$(q "$tarn") -f -c $(q "$txt")" "bash --norc -c $(q "$txt")" "dash -c $(q "$txt")")
tt=$1 tb=$2 td=$3
set -- $(trio "$dir/flat" "$(q "$tarn") -f -c $(q "$txtq")" "bash --norc -c $(q "$txtq")" "dash -c $(q "$txtq")")
qt=$1 qb=$2 qd=$3
set -- $(trio "$dir/tree" "$(q "$tarn") -f -c $(q "$rec")" "bash --norc -c $(q "shopt -s globstar; $rec")" "dash -c $(q "$recdash")")
rt=$1 rb=$2 rd=$3
set -- $(trio "$dir" "$(q "$tarn") -f -c :" "bash --norc -c :" "dash -c :")
st=$1 sb=$2 sd=$3

ratio() { echo "scale=2; $1 / $2" | bc; }
echo "echo *.txt x$reps, 10000 files:"
echo "  tarn ${tt}s  bash ${tb}s  dash ${td}s"
echo "  tarn/bash $(ratio "$tt" "$tb")  tarn/dash $(ratio "$tt" "$td")"
echo ": *.txt x$reps (no output):"
echo "  tarn ${qt}s  bash ${qb}s  dash ${qd}s"
echo "  tarn/bash $(ratio "$qt" "$qb")  tarn/dash $(ratio "$qt" "$qd")"
echo "echo **/*.c x$rreps, 20000-file tree:"
echo "  tarn ${rt}s  bash ${rb}s  dash ${rd}s (dash: */*/*.c)"
echo "  tarn/bash $(ratio "$rt" "$rb")  tarn/dash $(ratio "$rt" "$rd")"
echo "start-up alone (included above): tarn ${st}s  bash ${sb}s  dash ${sd}s"
