#!/bin/sh
# Build the lexer/parser fuzz target with clang and run it for a given
# number of seconds (default 600).  Crashes land in tests/fuzz/crashes;
# copy each into tests/fuzz/regress once it is fixed.
set -e
secs=${1:-600}
top=$(cd "$(dirname "$0")/../.." && pwd)
bld=$top/build-fuzz
CXX=clang++ cmake -S "$top" -B "$bld" -G Ninja -DTARN_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$bld" -j2 --target lang_fuzz
mkdir -p "$bld/corpus" "$top/tests/fuzz/crashes"
cp "$top"/tests/fuzz/seeds/* "$bld/corpus/" 2>/dev/null || true
cd "$top/tests/fuzz/crashes"
exec "$bld/tests/fuzz/lang_fuzz" -max_total_time="$secs" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 "$bld/corpus" "$top/tests/fuzz/seeds"
