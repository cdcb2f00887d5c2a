#!/usr/bin/env python3
"""Speed of tarn against the other shells on this machine.

Every case runs for tarn (native, and as `sh` for the POSIX cases) and for
each peer shell in the same run, interleaved, several repetitions.  Prints
the median wall time per case and shell (or, with --stat min, the least:
steadier when other work shares the machine), the ratio of tarn to the
fastest peer, and the peak memory of the start-up case.

    python3 bench/run.py                  # build/tarn, 5 repetitions
    python3 bench/run.py --tarn PATH --reps 9 --only arith,funcs
    python3 bench/run.py --stat min --reps 15

Peers missing from the machine are installed from Debian when possible
(dash, bash, mksh, ksh); a peer that cannot be had is left out of the table.
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
PACKAGES = {"dash": "dash", "bash": "bash", "mksh": "mksh", "ksh93": "ksh", "time": "time"}

# Each case: name -> (shells it runs on, script text, files it needs).
# "posix" means every shell, tarn also as sh; otherwise a list of shell
# names (tarn is always native there).  A script may be a dict giving a
# variant per shell name, with "*" for the rest.
N = {"arith": 300000, "str": 30000, "funcs": 100000, "ext": 1000,
     "subst": 1000, "pipes": 1000, "lines": 100000, "globfiles": 10000,
     "treefiles": 20000, "parsefuncs": 20000, "arr": 100000, "here": 10000}


def cases():
    c = {}
    c["arith-posix"] = ("posix", f"""
i=0
while [ $i -lt {N['arith']} ]; do i=$((i + 1)); done
""")
    c["arith-dparen"] = (["tarn", "bash", "mksh", "ksh93"], f"""
i=0
while (( i < {N['arith']} )); do (( i++ )); done
""")
    c["string-ops"] = ("posix", f"""
x=abcdefghij s=
i=0
while [ $i -lt {N['str']} ]; do
  y=${{x#?}} z=${{x%?}} s=$s.
  i=$((i + 1))
done
""")
    c["string-replace"] = (["tarn", "bash", "mksh", "ksh93"], f"""
x=abcabcabca
i=0
while (( i < {N['str']} )); do y=${{x/a/b}} z=${{x//a/b}}; (( i++ )); done
""")
    c["funcs"] = ("posix", f"""
f() {{ :; }}
i=0
while [ $i -lt {N['funcs']} ]; do f a b; i=$((i + 1)); done
""")
    c["external"] = ("posix", f"""
i=0
while [ $i -lt {N['ext']} ]; do /bin/true; i=$((i + 1)); done
""")
    c["cmd-subst"] = ("posix", f"""
i=0
while [ $i -lt {N['subst']} ]; do x=$(echo hi); i=$((i + 1)); done
""")
    c["subst-func"] = ("posix", f"""
f() {{ printf '%s\\n' "$1"; }}
i=0
while [ $i -lt {N['subst']} ]; do x=$(f $i); i=$((i + 1)); done
""")
    c["subst-external"] = ("posix", f"""
i=0
while [ $i -lt {N['subst']} ]; do x=$(/bin/echo hi); i=$((i + 1)); done
""")
    c["pipelines"] = ("posix", f"""
i=0
while [ $i -lt {N['pipes']} ]; do echo hi | cat >/dev/null; i=$((i + 1)); done
""")
    c["read-lines"] = ("posix", """
n=0
while read -r l; do n=$((n + 1)); done < lines.txt
""")
    c["glob-10k"] = ("posix", """
cd globdir
i=0
while [ $i -lt 20 ]; do set -- *.txt; i=$((i + 1)); done
""")
    c["glob-recursive"] = (["tarn", "bash", "ksh93"], {
        "bash": "shopt -s globstar\ncd tree\nset -- **/*.c\n",
        "ksh93": "set -G\ncd tree\nset -- **/*.c\n",
        "*": "cd tree\nset -- **/*.c\n"})
    c["parse-20k"] = ("posix", "PARSE")  # the shell runs -n on parse.sh
    c["arrays"] = (["tarn", "bash", "ksh93"], f"""
a=()
i=0
while (( i < {N['arr']} )); do a+=($i); (( i++ )); done
s=0 i=0
while (( i < {N['arr']} )); do (( s += a[i] )); (( i++ )); done
""")
    c["heredocs"] = ("posix", f"""
i=0
while [ $i -lt {N['here']} ]; do
read -r x <<EOF
line $i
EOF
i=$((i + 1))
done
""")
    return c


def parse_script(nfuncs):
    body = []
    for i in range(nfuncs):
        body.append(f"""func_{i}() {{
    a=$1 b="${{2:-default}}" count=0
    if [ "$a" = "x{i}" ] && [ -n "$b" ]; then
        for item in one two three $b; do
            case $item in
                one|two) count=$((count + 1)) ;;
                *) echo "other: $item" >&2 ;;
            esac
        done
    elif [ -z "$a" ]; then
        while [ $count -lt 3 ]; do count=$((count + 1)); done
    else
        echo "$(printf '%s' "$a") `echo $b`" | tr a-z A-Z > /dev/null
    fi
    return $count
}}
""")
    return "".join(body)


def make_fixtures(d):
    with open(os.path.join(d, "lines.txt"), "w") as f:
        for i in range(N["lines"]):
            f.write(f"line {i} of the file with some words\n")
    g = os.path.join(d, "globdir")
    os.mkdir(g)
    for i in range(N["globfiles"]):
        ext = "txt" if i % 2 == 0 else "dat"
        open(os.path.join(g, f"file{i}.{ext}"), "w").close()
    t = os.path.join(d, "tree")
    made = 0
    for a in range(20):
        for b in range(25):
            sub = os.path.join(t, f"d{a}", f"e{b}")
            os.makedirs(sub)
            for k in range(N["treefiles"] // 500):
                ext = "c" if k % 2 == 0 else "h"
                open(os.path.join(sub, f"f{k}.{ext}"), "w").close()
                made += 1
    with open(os.path.join(d, "parse.sh"), "w") as f:
        f.write(parse_script(N["parsefuncs"]))


def find_peer(name):
    cands = {"ksh93": ["ksh93", "ksh"]}.get(name, [name])
    for c in cands:
        p = shutil.which(c)
        if p:
            return p
    return None


def install_missing(names):
    pkgs = [PACKAGES[n] for n in names]
    if not pkgs:
        return
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    print(f"== installing {' '.join(pkgs)}", file=sys.stderr)
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(sudo + ["apt-get", "install", "-y", "-q"] + pkgs,
                   env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def run_once(argv, cwd, env):
    """Wall seconds and peak resident KiB of one run."""
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, env, file_actions=[
        (os.POSIX_SPAWN_OPEN, 0, "/dev/null", os.O_RDONLY, 0),
        (os.POSIX_SPAWN_OPEN, 1, "/dev/null", os.O_WRONLY, 0),
        (os.POSIX_SPAWN_OPEN, 2, "/dev/null", os.O_WRONLY, 0)])
    _, status, ru = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{' '.join(argv)} exited with {status}")
    return wall, ru.ru_maxrss


def peak_kib(argv, env):
    """Peak resident KiB of one run.  A child of this process would start
    with this process's pages counted, so a small program (time) forks it."""
    timer = shutil.which("time") and "/usr/bin/time"
    if not timer or not os.access(timer, os.X_OK):
        return 0
    r = subprocess.run([timer, "-f", "%M"] + argv, env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, text=True)
    try:
        return int(r.stderr.strip().splitlines()[-1])
    except (ValueError, IndexError):
        return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--tarn", default="build/tarn")
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--only", default="", help="comma-separated case name prefixes")
    ap.add_argument("--no-install", action="store_true")
    ap.add_argument("--stat", choices=["median", "min"], default="median",
                    help="the statistic of the repetitions (min is steadier on a busy machine)")
    args = ap.parse_args()

    tarn = os.path.abspath(args.tarn)
    if not os.access(tarn, os.X_OK):
        sys.exit(f"no tarn at {tarn}: build it first")
    peers = {}
    missing = [p for p in PEERS if not find_peer(p)]
    if not os.access("/usr/bin/time", os.X_OK):
        missing.append("time")
    if missing and not args.no_install:
        install_missing(missing)
    for p in PEERS:
        path = find_peer(p)
        if path:
            peers[p] = path

    work = tempfile.mkdtemp(prefix="tarn-bench.")
    try:
        make_fixtures(work)
        # tarn invoked as sh, through a link of that name.
        shdir = os.path.join(work, "as-sh")
        os.mkdir(shdir)
        os.symlink(tarn, os.path.join(shdir, "sh"))
        shells = {"tarn": [tarn], "tarn-sh": [os.path.join(shdir, "sh")]}
        shells.update({k: [v] for k, v in peers.items()})
        env = {"PATH": "/usr/local/bin:/usr/bin:/bin", "HOME": work,
               "LANG": "C.UTF-8", "TERM": "dumb"}

        allc = cases()
        wanted = [x for x in args.only.split(",") if x]
        names = [n for n in allc if not wanted or any(n.startswith(w) for w in wanted)]
        names = ["startup"] + names if not wanted or any("startup".startswith(w) for w in wanted) else names
        plan = {}
        for n in names:
            if n == "startup":
                who = list(shells)
            else:
                who, _ = allc[n]
                who = list(shells) if who == "posix" else [w for w in who if w in shells]
            plan[n] = who
        scripts = {}
        for n in names:
            if n == "startup":
                continue
            _, text = allc[n]
            for w in plan[n]:
                t = text if isinstance(text, str) else text.get(w, text["*"])
                if t == "PARSE":
                    scripts[(n, w)] = None
                    continue
                path = os.path.join(work, f"{n}.{w}.sh")
                with open(path, "w") as f:
                    f.write(t)
                scripts[(n, w)] = path

        times = {(n, w): [] for n in names for w in plan[n]}
        mem = {w: 0 for w in shells}
        for rep in range(args.reps):
            for n in names:
                # The order of the shells turns with each repetition, so
                # that no shell always runs first after another case (the
                # first run after a case that walked other files is slower).
                who = plan[n][rep % len(plan[n]):] + plan[n][:rep % len(plan[n])]
                for w in who:
                    if n == "startup":
                        argv = shells[w] + ["-c", ":"]
                        total = 0.0
                        for _ in range(200):
                            total += run_once(argv, work, env)[0]
                        times[(n, w)].append(total)
                        mem[w] = max(mem[w], peak_kib(argv, env))
                        continue
                    path = scripts[(n, w)]
                    argv = shells[w] + (["-n", os.path.join(work, "parse.sh")]
                                        if path is None else [path])
                    os.chdir(work)
                    t, _ = run_once(argv, work, env)
                    times[(n, w)].append(t)
            print(f"== repetition {rep + 1}/{args.reps} done", file=sys.stderr)

        cols = list(shells)
        pick = statistics.median if args.stat == "median" else min
        print(f"{args.stat}s of {args.reps} runs, seconds; ratio = tarn / fastest peer "
              "(tarn-sh counted as tarn)")
        print(f"{'case':16}" + "".join(f"{c:>9}" for c in cols) + f"{'ratio':>8}  best peer")
        for n in names:
            row = f"{n:16}"
            med = {}
            for c in cols:
                if (n, c) in times:
                    med[c] = pick(times[(n, c)])
                    row += f"{med[c]:9.3f}"
                else:
                    row += f"{'-':>9}"
            ours = min(v for k, v in med.items() if k.startswith("tarn"))
            theirs = {k: v for k, v in med.items() if not k.startswith("tarn")}
            if theirs:
                best = min(theirs, key=theirs.get)
                row += f"{ours / theirs[best]:8.2f}  {best}"
            print(row)
        peercols = [c for c in cols if not c.startswith("tarn")]
        print()
        print("ratio tarn / each peer (tarn-sh counted as tarn)")
        print(f"{'case':16}" + "".join(f"{c:>9}" for c in peercols))
        for n in names:
            med = {c: pick(times[(n, c)]) for c in cols if (n, c) in times}
            ours = min(v for k, v in med.items() if k.startswith("tarn"))
            print(f"{n:16}" + "".join(f"{ours / med[c]:9.2f}" if c in med else f"{'-':>9}"
                                       for c in peercols))
        print("peak resident memory of `-c :`, KiB: " +
              ", ".join(f"{c} {mem[c]}" for c in cols if mem[c]))
        if mem.get("dash"):
            print(f"tarn / dash memory: {mem['tarn'] / mem['dash']:.2f}")
    finally:
        os.chdir("/")
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
