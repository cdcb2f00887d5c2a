#!/usr/bin/env python3
"""The line editor against bash with readline, in the same run.

  start     an interactive shell on a terminal starting, drawing its first
            prompt, reading "exit" and leaving (the editor is loaded);
            also `-i -c exit` as the issue's plain start-up case
  latency   200 keys typed one at a time on a pseudo-terminal, each waited
            for until its echo comes back: the median and total
  typing    the same 200 keys sent one by one into a tmux pane, timed until
            the pane shows the whole line
  paste     100 000 characters pasted into a tmux pane as one command line,
            timed until the command after it has printed

Neither shell reads a startup file; both get the same prompt.

    python3 bench/editor.py [--tarn build/tarn] [--reps 5] [--paste 100000]
"""
import argparse
import os
import pty
import select
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

PROMPT = 'P> '


def shells(tarn):
    env = dict(os.environ, TERM='xterm', PS1=PROMPT, LC_ALL='C.UTF-8', LANG='C.UTF-8')
    env.pop('PROMPT_COMMAND', None)
    return [('tarn', [tarn, '-f', '-i'], env),
            ('bash', ['bash', '--norc', '--noprofile', '-i'], env)]


def read_until(fd, want, deadline):
    buf = b''
    while want not in buf:
        left = deadline - time.perf_counter()
        if left <= 0:
            raise RuntimeError('timed out waiting for %r; got %r' % (want, buf[-200:]))
        r, _, _ = select.select([fd], [], [], left)
        if r:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                break
            if not chunk:
                break
            buf += chunk
    return buf


def spawn(argv, env, home):
    pid, fd = pty.fork()
    if pid == 0:
        os.chdir(home)
        env = dict(env, HOME=home)
        os.execvpe(argv[0], argv, env)
    return pid, fd


def finish(pid, fd):
    try:
        os.close(fd)
    except OSError:
        pass
    os.waitpid(pid, 0)


def start_time(argv, env, home, reps):
    ts = []
    for _ in range(reps):
        t0 = time.perf_counter()
        pid, fd = spawn(argv, env, home)
        read_until(fd, PROMPT.encode(), t0 + 20)
        os.write(fd, b'exit\r')
        try:
            read_until(fd, b'\0never', time.perf_counter() + 20)
        except RuntimeError:
            pass
        os.waitpid(pid, 0)
        ts.append(time.perf_counter() - t0)
        os.close(fd)
    return statistics.median(ts)


def start_c_time(argv, env, home, reps):
    ts = []
    for _ in range(reps):
        t0 = time.perf_counter()
        pid, fd = spawn(argv + ['-c', 'exit'], env, home)
        try:
            read_until(fd, b'\0never', time.perf_counter() + 20)
        except RuntimeError:
            pass
        os.waitpid(pid, 0)
        ts.append(time.perf_counter() - t0)
        os.close(fd)
    return statistics.median(ts)


def latency(argv, env, home, nkeys=200):
    pid, fd = spawn(argv, env, home)
    read_until(fd, PROMPT.encode(), time.perf_counter() + 20)
    time.sleep(0.2)
    read_until(fd, b'', time.perf_counter() + 1)
    keys = ('abcdefghij' * (nkeys // 10 + 1))[:nkeys]
    lat = []
    t_all = time.perf_counter()
    for c in keys:
        t0 = time.perf_counter()
        os.write(fd, c.encode())
        read_until(fd, c.encode(), t0 + 10)
        lat.append(time.perf_counter() - t0)
    total = time.perf_counter() - t_all
    os.write(fd, b'\x15exit\r')
    finish(pid, fd)
    return statistics.median(lat), total


class Tmux:
    n = 0

    def __init__(self, argv, env, home):
        # A fresh socket each time: a server being killed may still hold the old one.
        Tmux.n += 1
        self.sock = os.path.join(home, 'tmux%d.sock' % Tmux.n)
        self.env = dict(env, HOME=home)
        cmd = ' '.join("'%s'" % a for a in argv)
        self.tm('new-session', '-d', '-x', '200', '-y', '50', 'env', 'PS1=' + PROMPT, 'HOME=' + home,
                'sh', '-c', 'cd ~ && exec ' + cmd)
        self.wait(lambda t: PROMPT.rstrip() in t, 20)

    def tm(self, *args, capture=False):
        r = subprocess.run(['tmux', '-S', self.sock, '-f', '/dev/null'] + list(args), env=self.env,
                           stdout=subprocess.PIPE if capture else subprocess.DEVNULL, check=True)
        return r.stdout.decode('utf-8', 'replace') if capture else None

    def text(self):
        return self.tm('capture-pane', '-p', '-J', '-S', '-', capture=True)

    def wait(self, cond, secs):
        deadline = time.perf_counter() + secs
        while True:
            t = self.text()
            if cond(t):
                return
            if time.perf_counter() > deadline:
                raise RuntimeError('tmux pane never got there:\n' + t[-500:])
            time.sleep(0.005)

    def close(self):
        subprocess.run(['tmux', '-S', self.sock, 'kill-server'], env=self.env,
                       stderr=subprocess.DEVNULL, stdout=subprocess.DEVNULL)


def typing(argv, env, home, nkeys=200):
    t = Tmux(argv, env, home)
    try:
        keys = ('klmnopqrst' * (nkeys // 10 + 1))[:nkeys]
        t0 = time.perf_counter()
        # One client call carrying 200 separate key commands: the pane
        # gets the keys one at a time without a tmux start-up between them.
        cmds = []
        for c in keys:
            cmds += ['send-keys', '-l', c, ';']
        t.tm(*cmds[:-1])
        t.wait(lambda s: keys in s.replace('\n', ''), 30)
        return time.perf_counter() - t0
    finally:
        t.close()


def paste(argv, env, home, n):
    t = Tmux(argv, env, home)
    try:
        path = os.path.join(home, 'paste.txt')
        with open(path, 'w') as f:
            f.write(': ' + 'p' * n + '\recho DO""NE\r')
        t.tm('load-buffer', path)
        t0 = time.perf_counter()
        t.tm('paste-buffer')
        t.wait(lambda s: '\nDONE' in s, 600)
        return time.perf_counter() - t0
    finally:
        t.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--tarn', default=os.path.join(os.path.dirname(__file__), '..', 'build', 'tarn'))
    ap.add_argument('--reps', type=int, default=5)
    ap.add_argument('--paste', type=int, default=100000)
    args = ap.parse_args()
    tarn = os.path.abspath(args.tarn)
    if not shutil.which('tmux'):
        sys.exit('tmux is needed')
    results = {}
    for name, argv, env in shells(tarn):
        home = tempfile.mkdtemp(prefix='bench-ked-')
        try:
            r = {}
            r['start (prompt, exit)'] = start_time(argv, env, home, args.reps * 4)
            r['start -i -c exit'] = start_c_time(argv, env, home, args.reps * 4)
            lat = [latency(argv, env, home) for _ in range(args.reps)]
            r['key latency (median)'] = statistics.median(l[0] for l in lat)
            r['200 keys, pty'] = statistics.median(l[1] for l in lat)
            r['200 keys, tmux'] = statistics.median(typing(argv, env, home) for _ in range(args.reps))
            r['paste %d' % args.paste] = statistics.median(
                paste(argv, env, home, args.paste) for _ in range(max(1, args.reps // 2)))
            results[name] = r
        finally:
            shutil.rmtree(home, ignore_errors=True)
    print('| case | tarn | bash | tarn/bash |')
    print('| --- | --- | --- | --- |')
    for case in results['tarn']:
        a, b = results['tarn'][case], results['bash'][case]
        print('| %s | %.2f ms | %.2f ms | %.2f |' % (case, a * 1000, b * 1000, a / b))


if __name__ == '__main__':
    main()
