#!/usr/bin/env python3
"""How the cost of tarn's work grows with its size, against the other shells.

Each case runs at three sizes; the table gives the time per item (the wall
time of the run divided by the size) for every shell that can run it, so a
cost that grows faster than the work shows as a per-item time that grows
along the row.

    python3 bench/scaling.py                 # build/tarn, 3 repetitions
    python3 bench/scaling.py --tarn PATH --only append,nested
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

PEERS = ["dash", "bash", "mksh", "ksh93"]
EXTENDED = ["tarn", "bash", "mksh", "ksh93"]   # += and (( ))
ASSOC = ["tarn", "bash", "ksh93"]


def nested(n):
    s = "echo x"
    for _ in range(n):
        s = f"echo $({s})"
    return s + "\n"


# name -> (shells, sizes, script for size n, fixture maker or None)
CASES = {
    "append-scalar": (EXTENDED, [10000, 100000, 1000000],
                      lambda n: f"i=0 s=\nwhile (( i++ < {n} )); do s+=x; done\n", None),
    "append-array": (["tarn", "bash", "ksh93"], [10000, 100000, 300000],
                     lambda n: f"i=0; a=()\nwhile (( i++ < {n} )); do a+=(x); done\n", None),
    "append-self": ("posix", [10000, 100000, 300000],
                    lambda n: f'i=0 s=\nwhile [ $i -lt {n} ]; do s="${{s}}x"; i=$((i+1)); done\n', None),
    "assoc-insert": (ASSOC, [10000, 100000, 300000],
                     lambda n: f"typeset -A h; i=0\nwhile (( i++ < {n} )); do h[k$i]=$i; done\n", None),
    "while-read": ("posix", [10000, 100000, 300000],
                   lambda n: f"while read -r l; do :; done < lines{n}.txt\n", "lines"),
    "replace-long": (EXTENDED, [10000, 100000, 1000000],
                     lambda n: f"s=$(printf '%0{n}d' 0); s=${{s//0/ab}}; s=${{s//a/c}}\n", None),
    "glob-files": ("posix", [1000, 10000, 100000],
                   lambda n: f"cd g{n}; set -- *; cd ..\n", "glob"),
    "recursion": ("posix", [200, 500, 900],
                  lambda n: f"f() {{ if [ $1 -gt 0 ]; then f $(( $1 - 1 )); fi; }}\nf {n}\n", None),
    "nested-subst": ("posix", [100, 200, 400], nested, None),
}


def fixtures(d, kind, n):
    if kind == "lines":
        p = os.path.join(d, f"lines{n}.txt")
        if not os.path.exists(p):
            with open(p, "w") as f:
                for i in range(n):
                    f.write(f"line {i} with some words\n")
    elif kind == "glob":
        g = os.path.join(d, f"g{n}")
        if not os.path.exists(g):
            os.mkdir(g)
            for i in range(n):
                open(os.path.join(g, f"f{i}"), "w").close()


def find(name):
    for c in {"ksh93": ["ksh93", "ksh"]}.get(name, [name]):
        p = shutil.which(c)
        if p:
            return p
    return None


LIMIT = 60  # seconds; a run past this is shown as "slow"


def run(argv, cwd):
    start = time.perf_counter()
    try:
        r = subprocess.run(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=LIMIT)
    except subprocess.TimeoutExpired:
        return float("inf")
    if r.returncode != 0:
        return None
    return time.perf_counter() - start


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--tarn", default="build/tarn")
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--only", default="")
    args = ap.parse_args()
    tarn = os.path.abspath(args.tarn)
    peers = {p: find(p) for p in PEERS}
    peers = {p: v for p, v in peers.items() if v}
    only = [o for o in args.only.split(",") if o]
    with tempfile.TemporaryDirectory() as d:
        sh = os.path.join(d, "sh")
        os.symlink(tarn, sh)
        print(f"{'case':<16}{'shell':<8}{'time per item (size)':>66}")
        for name, (shells, sizes, script, fx) in CASES.items():
            if only and not any(name.startswith(o) for o in only):
                continue
            if shells == "posix":
                run_on = [("tarn", sh)] + list(peers.items())
            else:
                run_on = [("tarn", tarn)] + [(p, peers[p]) for p in shells if p in peers]
            cells = {s: [] for s, _ in run_on}
            for n in sizes:
                if fx:
                    fixtures(d, fx, n)
                path = os.path.join(d, f"{name}-{n}.sh")
                with open(path, "w") as f:
                    f.write(script(n))
                for s, exe in run_on:
                    times = [run([exe, path], d) for _ in range(args.reps)]
                    times = [t for t in times if t is not None]
                    if not times:
                        cells[s].append("failed")
                    elif min(times) == float("inf"):
                        cells[s].append(f">{LIMIT}s")
                    else:
                        cells[s].append(f"{statistics.median(times) / n * 1e6:.2f} us")
            print(f"{name:<16}", end="")
            first = True
            for s, _ in run_on:
                lead = "" if first else " " * 16
                first = False
                sizes_txt = "".join(f"{c + ' (' + str(n) + ')':>22}" for c, n in zip(cells[s], sizes))
                print(f"{lead}{s:<8}{sizes_txt}")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
