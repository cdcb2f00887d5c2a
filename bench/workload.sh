# Typical script work, run by the instrumented copy of the shell when a
# release build makes its profile (see TARN_PGO in CMakeLists.txt).  The
# script tests run every path once; this runs the paths a long script runs
# over and over, so that the profile tells the compiler which code is the
# interpreter's inner loop.  It is plain sh, as most scripts are, with a
# part in the shell's own syntax.  It writes only under a temporary
# directory and prints nothing.

tmp=${TMPDIR:-/tmp}/tarn-workload.$$
mkdir -p "$tmp" || exit 1
trap 'rm -rf "$tmp"' EXIT
cd "$tmp" || exit 1

rounds=${1:-2000}

# Functions with arguments, positional parameters, return statuses.
max() { if [ "$1" -gt "$2" ]; then echo "$1"; else echo "$2"; fi; }
count_args() { n=0; for a in "$@"; do n=$((n + 1)); done; return $((n > 3)); }
shiftall() { while [ $# -gt 0 ]; do shift; done; }
say() { printf '%s: %s\n' "$1" "$2"; }
noop() { :; }
is_num() {
    case $1 in
    '' | *[!0-9]*) return 1 ;;
    *) return 0 ;;
    esac
}

i=0
total=0
while [ "$i" -lt "$rounds" ]; do
    noop "$i"
    count_args a b "$i" || total=$((total + 1))
    shiftall one two three
    if is_num "$i" && [ $((i % 7)) -eq 3 ]; then
        total=$((total + i))
    elif test -n "$i" -a "$i" != 5; then
        : $((total += 1))
    fi
    m=$(max "$i" 100)
    say "$m" "$total" >/dev/null
    i=$((i + 1))
done

# Strings: patterns, lengths, concatenation, case.
file=/usr/local/share/doc/tarn/README.txt
s=
j=0
while [ $j -lt "$rounds" ]; do
    base=${file##*/} dir=${file%/*} ext=${base#*.} stem=${base%%.*}
    len=${#file}
    s="$s${stem%?}"
    [ ${#s} -gt 200 ] && s=${s#????????}
    case $ext in
    txt | md) kind=text ;;
    c | h) kind=source ;;
    *) kind=other ;;
    esac
    x=${unset_var:-default} y=${kind:+set} z=${dir:?}
    j=$((j + 1))
done

# Lines read and split.
k=0
while [ $k -lt 200 ]; do
    echo "line $k: alpha beta gamma $((k * k))"
    k=$((k + 1))
done >lines
for pass in 1 2 3 4 5; do
    n=0
    while IFS=' :' read -r word num rest; do
        set -- $rest
        n=$((n + $# + num))
    done <lines
    while read -r line; do
        case $line in
        *beta*) n=$((n + 1)) ;;
        esac
    done <<EOF
$(head -n 50 lines)
EOF
done

# Lists in a variable, loops, here-documents, redirections.
list="apple banana cherry date elderberry fig grape"
for pass in $(seq 1 50 2>/dev/null || echo 1 2 3 4 5 6 7 8 9 10); do
    for w in $list; do
        case $w in
        a*) : ;;
        [b-d]*) echo "$w" ;;
        *) printf '%s\n' "$w" ;;
        esac
    done >out
    cat <<EOF >>log
pass $pass of $list
EOF
done
wc -l <log >/dev/null

# Files and globs.
for f in a b c d e f g h; do : >"file_$f.txt"; : >"file_$f.log"; done
for pass in 1 2 3 4 5 6 7 8 9 10; do
    set -- file_*.txt
    for f in *.log; do [ -f "$f" ] || echo missing; done
done
echo x | cat >/dev/null
echo y | { read -r v; : "$v"; }

# The shell's own syntax: arithmetic, conditions, arrays, hashes, locals.
if [ -n "${TARN_VERSION-}" ]; then
    eval '
    typeset -a arr
    typeset -A map
    integer n=0
    fill() {
        local -i m
        local item
        for (( m = 0; m < $1; m++ )); do
            arr+=("item $m")
            map[key$m]=$m
        done
    }
    fill 300
    for (( n = 0; n < rounds; n++ )); do
        (( n % 3 == 0 )) && continue
        [[ $n == *7* && -n ${arr[n % 300 + 1]} ]] && (( n += 0 ))
        s=${arr[1]//item/ITEM}
        v=${map[key$(( n % 300 ))]}
        t=${(U)s}
        u=${#arr}
        print -r -- "$s $v $t $u" >/dev/null
    done
    w=( ${(s: :)list} )
    for x in ${w:#b*}; do (( ${#x} > 4 )); done
    '
fi
exit 0
