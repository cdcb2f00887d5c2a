#!/usr/bin/env python3
"""Start-up and exit of an interactive shell with a big history file.

A file of 100 000 commands is loaded when the shell starts and saved when
it leaves (standard input is empty, so the shell leaves at once).  tarn
runs twice: appending (its default: nothing new to write) and rewriting
the whole file (appendhistory off, what bash does by default).  bash gets
the same file with HISTSIZE and HISTFILESIZE set to the same size.

    python3 bench/history.py [--tarn build/tarn] [--reps 7] [--entries 100000]
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def make_history(path, n):
    rnd = random.Random(1)
    words = ["ls", "cd", "git", "make", "grep", "vi", "cat", "echo", "ssh", "find", "sed", "awk"]
    args = ["-la", "src", "build", "status", "commit -m fix", "-rn TODO .", "README.md",
            "/etc/hosts", "host1", ". -name '*.c'", "s/a/b/g file", "'{print $1}' log"]
    with open(path, "w") as f:
        for i in range(n):
            f.write(f"{rnd.choice(words)} {rnd.choice(args)} {i}\n")


def run(argv, env, cwd):
    start = time.perf_counter()
    with open(os.devnull, "rb") as null_in, open(os.devnull, "wb") as null_out:
        r = subprocess.run(argv, env=env, cwd=cwd, stdin=null_in, stdout=null_out, stderr=null_out)
    if r.returncode != 0:
        raise RuntimeError(f"{argv} exited with {r.returncode}")
    return time.perf_counter() - start


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--tarn", default="build/tarn")
    ap.add_argument("--reps", type=int, default=7)
    ap.add_argument("--entries", type=int, default=100000)
    args = ap.parse_args()
    tarn = os.path.abspath(args.tarn)
    bash = shutil.which("bash")
    work = tempfile.mkdtemp(prefix="tarn-histbench.")
    try:
        master = os.path.join(work, "master")
        make_history(master, args.entries)
        n = str(args.entries)
        base = {"PATH": "/usr/local/bin:/usr/bin:/bin", "HOME": work, "TERM": "dumb",
                "LANG": "C.UTF-8", "PS1": ""}
        variants = {
            "tarn append": ([tarn, "-i"], {"HISTFILE": "h", "HISTSIZE": n, "SAVEHIST": n}),
            "tarn rewrite": ([tarn, "-i", "+o", "appendhistory"],
                             {"HISTFILE": "h", "HISTSIZE": n, "SAVEHIST": n}),
        }
        if bash:
            variants["bash"] = ([bash, "--norc", "--noprofile", "-i"],
                                {"HISTFILE": "h", "HISTSIZE": n, "HISTFILESIZE": n})
        times = {k: [] for k in variants}
        for rep in range(args.reps):
            for name, (argv, extra) in variants.items():
                shutil.copy(master, os.path.join(work, "h"))
                times[name].append(run(argv, dict(base, **extra), work))
                with open(os.path.join(work, "h")) as f:
                    lines = sum(1 for _ in f)
                if lines < args.entries:
                    raise RuntimeError(f"{name} left {lines} lines")
        med = {k: statistics.median(v) for k, v in times.items()}
        print(f"{args.entries} entries, median of {args.reps} runs (load at start-up, save at exit)")
        for k, v in med.items():
            ratio = f"  {v / med['bash']:.2f} of bash" if "bash" in med and k != "bash" else ""
            print(f"{k:14} {v * 1000:8.1f} ms{ratio}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
