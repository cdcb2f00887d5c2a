#!/bin/bash
# Scripts nobody here wrote, run by tarn invoked as sh and by dash, whose
# results must agree:
#   configure  an autoconf-generated configure script for tests/real/cproject
#              (config.h, Makefile and status compared; config.log scanned;
#              the project then built and run)
#   shunit2    the shUnit2 framework's example tests (counts compared)
# Usage: run_real.sh TARN configure|shunit2
# Exits 77 (skipped) when the tools a part needs are missing.
set -u
tarn=$(readlink -f "$1")
part=$2
here=$(cd "$(dirname "$0")" && pwd)
dash=$(command -v dash) || { echo "dash not found: skipped"; exit 77; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tarn-real.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
ln -s "$tarn" "$work/bin/sh"
tsh=$work/bin/sh
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
failed=0
fail() { echo "FAIL: $*"; failed=1; }

run_configure() {
    for tool in autoconf autoheader make cc; do
        command -v $tool >/dev/null || { echo "$tool not found: skipped"; exit 77; }
    done
    cp -r "$here/cproject" "$work/src"
    (cd "$work/src" && autoconf && autoheader) || { fail "autoconf"; return; }
    cp -r "$work/src" "$work/with-tarn"
    cp -r "$work/src" "$work/with-dash"
    local args=(--enable-verbose --with-greeting=hello)
    (cd "$work/with-tarn" && CONFIG_SHELL=$tsh "$tsh" ./configure "${args[@]}" >out 2>&1)
    local st_tarn=$?
    (cd "$work/with-dash" && CONFIG_SHELL=$dash "$dash" ./configure "${args[@]}" >out 2>&1)
    local st_dash=$?
    echo "configure status: tarn $st_tarn, dash $st_dash"
    [[ $st_tarn == "$st_dash" ]] || fail "configure exit status differs"
    for f in config.h Makefile; do
        diff -u "$work/with-dash/$f" "$work/with-tarn/$f" || fail "$f differs"
    done
    if grep -n -E 'command not found|bad option|parse error' "$work/with-tarn/config.log"; then
        fail "config.log shows shell errors"
    fi
    # The only message dash does not give: the script probes `set -o` for
    # another shell's option name and tries to set it.
    if grep -v -E 'set:[0-9]+: no such option: posix$' "$work/with-tarn/out" |
        diff -u "$work/with-dash/out" - >/dev/null; then :; else
        diff -u "$work/with-dash/out" "$work/with-tarn/out"
        fail "configure output differs"
    fi
    (cd "$work/with-tarn" && make -s SHELL="$tsh" >/dev/null) || { fail "make"; return; }
    local got
    got=$(printf 'one\ntwo\n' | "$work/with-tarn/tally")
    [[ $got == $'hello\n1: one\n2: two\n2 lines (long is 8 bytes)' ]] || fail "tally printed: $got"
}

run_shunit2() {
    local lib=/usr/share/shunit2/shunit2
    [[ -f $lib ]] || { echo "shunit2 not installed: skipped"; exit 77; }
    mkdir -p "$work/su/examples"
    cp "$lib" "$work/su/"
    cp /usr/share/doc/shunit2/examples/* "$work/su/examples/"
    cd "$work/su/examples" || exit 1
    local t a b
    for t in *_test.sh; do
        # The summary lines: tests run, and OK/FAILED with the counts.
        a=$(SHUNIT_COLOR=none "$dash" "./$t" 2>&1 | grep -E '^(Ran|OK|FAILED)')
        b=$(SHUNIT_COLOR=none "$tsh" "./$t" 2>&1 | grep -E '^(Ran|OK|FAILED)')
        echo "$t: $(echo $b)"
        [[ -n $a && $a == "$b" ]] || fail "$t: dash said '$(echo $a)', tarn '$(echo $b)'"
    done
}

case $part in
configure) run_configure ;;
shunit2) run_shunit2 ;;
*) echo "unknown part $part"; exit 2 ;;
esac
exit $failed
