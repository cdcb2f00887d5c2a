#!/usr/bin/env python3
"""Write the start-up layout list the linker places first (src/core/startup.order).

A shell is started far more often than it runs long.  The code and data a
start-up touches are spread over the whole binary by default, so every
start-up faults in (and maps, by the kernel's fault-around) many windows of
text and pages of data it barely uses.  This script runs tarn under
valgrind for a few typical start-ups (`-c :`, a script file, as `sh`),
records every function and data object they touch in the order first
touched, and writes their symbol names, one per line.  The build passes the
list to the linker, which places those symbols first, side by side.

    python3 bench/startup_order.py                 # build/tarn
    python3 bench/startup_order.py --tarn PATH --out FILE

Regenerate it after changing what start-up runs; a stale list only costs
speed (names it lists that no longer exist are ignored, new code lands
where the linker puts it by default).
"""
import argparse
import bisect
import itertools
import os
import re
import shutil
import subprocess
import sys
import tempfile

# Start-ups to trace: argument lists after the shell's path, and whether
# the shell is invoked under the name sh.
SCENARIOS = [
    (["-c", ":"], False),
    (["-c", "echo hi; x=1; [ $x = 1 ] && f() { :; }; f"], False),
    (["-c", ":"], True),
    (["SCRIPT"], False),
]

SCRIPT = """\
i=0
while [ $i -lt 3 ]; do i=$((i + 1)); done
case $i in 3) echo "$i" ;; esac
"""


def symbols(binary):
    """Sorted (address, size, name, kind) of the binary's defined symbols;
    kind is 't' for code, 'd' for writable data."""
    out = subprocess.run(["nm", "-n", "-S", "--defined-only", binary],
                         capture_output=True, text=True, check=True).stdout
    syms = []
    for line in out.splitlines():
        p = line.split()
        if len(p) != 4:
            continue
        addr, size, t, name = int(p[0], 16), int(p[1], 16), p[2].lower(), p[3]
        if t in "tw":
            syms.append((addr, size, name, "t"))
        elif t in "bd":
            syms.append((addr, size, name, "d"))
    syms.sort()
    return syms


def entry(binary):
    out = subprocess.run(["readelf", "-h", binary], capture_output=True, text=True,
                         check=True).stdout
    return int(re.search(r"Entry point address:\s+(0x[0-9a-f]+)", out).group(1), 16)


def trace(binary, args, as_sh, work, login):
    """The addresses touched by one start-up, in order: ('t'|'d', addr)."""
    log = os.path.join(work, "trace.log")
    argv0 = binary
    if as_sh:
        argv0 = os.path.join(work, "sh")
        if not os.path.exists(argv0):
            os.symlink(binary, argv0)
    args = [os.path.join(work, "script.sh") if a == "SCRIPT" else a for a in args]
    # A bare environment, and what a shell started from a login session
    # inherits: the integer SHLVL, the directory variables and the user's
    # names take paths of their own through the import of the environment,
    # and their absence others (LOGNAME made from the user id).
    env = {"PATH": "/usr/bin:/bin", "HOME": work, "LANG": "C.UTF-8", "TERM": "dumb"}
    if login:
        env.update({"SHLVL": "1", "PWD": work, "OLDPWD": "/", "USER": "user", "LOGNAME": "user",
                    "SHELL": "/bin/sh", "MAIL": "/var/mail/user", "_": binary})
    subprocess.run(["valgrind", "--tool=lackey", "--vex-guest-chase=no",
                    "--trace-superblocks=yes", "--trace-mem=yes",
                    f"--log-file={log}", argv0] + args,
                   env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)
    touched = []
    with open(log) as f:
        for line in f:
            if line.startswith("SB "):
                touched.append(("t", int(line[3:], 16)))
            elif line[:3] in (" L ", " S ", " M "):
                touched.append(("d", int(line[3:].split(",")[0], 16)))
    return touched


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--tarn", default="build/tarn")
    ap.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                  "..", "src", "core", "startup.order"))
    args = ap.parse_args()
    if not shutil.which("valgrind"):
        sys.exit("valgrind is needed")
    binary = os.path.abspath(args.tarn)
    syms = symbols(binary)
    addrs = [s[0] for s in syms]
    start = entry(binary)
    order, seen = [], set()
    work = tempfile.mkdtemp(prefix="tarn-order.")
    try:
        with open(os.path.join(work, "script.sh"), "w") as f:
            f.write(SCRIPT)
        for login, (scen, as_sh) in itertools.product((False, True), SCENARIOS):
            touched = trace(binary, scen, as_sh, work, login)
            # Where valgrind loaded the binary: the first block run at the
            # entry point's offset within a page, below the loader, which
            # valgrind puts at 0x4000000.
            base = None
            for kind, a in touched:
                if kind == "t" and start <= a < 0x4000000 and (a - start) & 0xfff == 0:
                    base = a - start
                    break
            if base is None:
                sys.exit("could not find where the binary was loaded")
            for kind, a in touched:
                off = a - base
                i = bisect.bisect_right(addrs, off) - 1
                if i < 0:
                    continue
                saddr, size, name, skind = syms[i]
                if skind != kind or not (saddr <= off < saddr + max(size, 1)):
                    continue
                if name not in seen:
                    seen.add(name)
                    order.append(name)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    with open(args.out, "w") as f:
        f.write("\n".join(order) + "\n")
    print(f"{len(order)} symbols written to {os.path.relpath(args.out)}")


if __name__ == "__main__":
    main()
