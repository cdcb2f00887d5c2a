#!/bin/sh
# Parse speed: a generated script of many function definitions is read
# with -n (parse only) by tarn and by dash; prints both times and the ratio.
# Usage: bench/parse.sh [path-to-tarn] [number-of-functions]
tarn=${1:-build/tarn}
n=${2:-20000}
file=${TMPDIR:-/tmp}/tarn-parse-bench.$$
trap 'rm -f "$file"' EXIT INT TERM
i=0
while [ $i -lt "$n" ]; do
    cat <<EOF_FUNC
func_$i() {
    local a=\$1 b="\${2:-default}" count=0
    if [ "\$a" = "x$i" ] && [ -n "\$b" ]; then
        for item in one two three \$b; do
            case \$item in
                one|two) count=\$((count + 1)) ;;
                *) echo "other: \$item" >&2 ;;
            esac
        done
    elif [ -z "\$a" ]; then
        while [ \$count -lt 3 ]; do count=\$((count + 1)); done
    else
        echo "\$(printf '%s' "\$a") \`echo \$b\`" | tr a-z A-Z > /dev/null
    fi
    return \$count
}
EOF_FUNC
    i=$((i + 1))
done > "$file"
[ -n "$KEEP" ] && cp "$file" "$KEEP"

best() {
    # Best of three runs, in seconds.
    b=
    for r in 1 2 3; do
        s=$(date +%s.%N)
        "$@" "$file" >/dev/null 2>&1
        e=$(date +%s.%N)
        t=$(echo "$e - $s" | bc)
        if [ -z "$b" ] || [ "$(echo "$t < $b" | bc)" = 1 ]; then b=$t; fi
    done
    echo "$b"
}
lines=$(wc -l < "$file")
tt=$(best "$tarn" -n)
td=$(best dash -n)
echo "functions: $n  lines: $lines"
echo "tarn -n: ${tt}s"
echo "dash -n: ${td}s"
echo "ratio tarn/dash: $(echo "scale=2; $tt / $td" | bc)"
