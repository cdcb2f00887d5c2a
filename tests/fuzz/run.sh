#!/bin/sh
# Build a fuzz target with clang and run it for a given number of seconds
# (default 600): `run.sh [secs] [lang|qwc]`, lang (the lexer and parser)
# by default, qwc for the compiled-file loader.  Crashes land in
# tests/fuzz/crashes; copy each into tests/fuzz/regress (qwc:
# tests/fuzz/qwc-regress) once it is fixed.
set -e
secs=${1:-600}
target=${2:-lang}
top=$(cd "$(dirname "$0")/../.." && pwd)
bld=$top/build-fuzz
case $target in
lang) seeds=$top/tests/fuzz/seeds maxlen=4096 ;;
qwc) seeds=$top/tests/fuzz/qwc-seeds maxlen=16384 ;;
*) echo "run.sh: unknown target $target" >&2; exit 2 ;;
esac
CXX=clang++ cmake -S "$top" -B "$bld" -G Ninja -DTARN_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$bld" -j2 --target ${target}_fuzz
mkdir -p "$bld/corpus-$target" "$top/tests/fuzz/crashes"
cp "$seeds"/* "$bld/corpus-$target/" 2>/dev/null || true
cd "$top/tests/fuzz/crashes"
exec "$bld/tests/fuzz/${target}_fuzz" -max_total_time="$secs" -max_len=$maxlen -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 "$bld/corpus-$target" "$seeds"
