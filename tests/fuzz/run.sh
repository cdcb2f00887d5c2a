#!/bin/sh
# Build a fuzz target with clang and run it for a given number of seconds
# (default 600): `run.sh [secs] [lang|pattern|qwc|math|paramx|printf|prompt|script|histfile|keymap|qutil]`,
# lang (the lexer and parser) by default, pattern for the pattern compiler
# and matcher, qwc for the compiled-file
# loader, math for arithmetic, paramx for expansion flags and subscripts,
# printf for formats, prompt for prompt expansion, script for whole
# scripts in a sandbox, histfile for the history file reader and writer,
# keymap for key sequences and binding them, qutil for option
# descriptions and styles.  Crashes land in
# tests/fuzz/crashes; copy each into tests/fuzz/regress (qwc:
# tests/fuzz/qwc-regress) once it is fixed.
# Further arguments go to the fuzzer (e.g. -fork=1 -ignore_crashes=1 to
# go on past a crash).
set -e
secs=${1:-600}
target=${2:-lang}
[ $# -ge 2 ] && shift 2 || shift $#
top=$(cd "$(dirname "$0")/../.." && pwd)
bld=$top/build-fuzz
case $target in
lang) seeds=$top/tests/fuzz/seeds maxlen=4096 ;;
qwc) seeds=$top/tests/fuzz/qwc-seeds maxlen=16384 ;;
pattern) seeds=$top/tests/fuzz/pattern-seeds maxlen=4096 ;;
math|paramx|printf|prompt|script|histfile|keymap|qutil)
    # A script's forks are slow in a process the fuzzer has grown.
    [ $target = script ] && timeout=25
    # These start a whole shell, whose permanent tables are never freed.
    seeds=$top/tests/fuzz/$target-seeds maxlen=2048
    [ $target = histfile ] && maxlen=16384
    # Sanitizer reports go to files (crashes/asan.PID): an input may close
    # or redirect descriptor 2.  The fuzzer still saves the input itself.
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:log_path=$top/tests/fuzz/crashes/asan}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-log_path=$top/tests/fuzz/crashes/ubsan} ;;
*) echo "run.sh: unknown target $target" >&2; exit 2 ;;
esac
CXX=clang++ cmake -S "$top" -B "$bld" -G Ninja -DTARN_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$bld" -j${FUZZ_JOBS:-2} --target ${target}_fuzz
mkdir -p "$bld/corpus-$target" "$top/tests/fuzz/crashes"
cp "$seeds"/* "$bld/corpus-$target/" 2>/dev/null || true
cd "$top/tests/fuzz/crashes"
exec "$bld/tests/fuzz/${target}_fuzz" -max_total_time="$secs" -max_len=$maxlen -timeout=${timeout:-10} -rss_limit_mb=2048 \
    -artifact_prefix="$top/tests/fuzz/crashes/" \
    -print_final_stats=1 "$@" "$bld/corpus-$target" "$seeds"
