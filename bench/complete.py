#!/usr/bin/env python3
"""Completion against bash's default completion (no completion package), in
the same run, on a pseudo-terminal.

  file      a file name in a directory of N entries (one match), Tab to
            the inserted rest of the name on the screen
  command   a command name with M commands in a PATH directory (one match)
  list      the list of all N entries of that directory in columns, from
            Tab after their common part to the prompt coming back under
            the list; also at N/10 and N*3 entries so growth shows

Neither shell reads a startup file; both get the same prompt.  Both list
at the first Tab without a question: tarn with autolist and a LISTMAX
above the count, bash with an inputrc that shows all matches when
ambiguous, asks for none and turns its pager off.

    python3 bench/complete.py [--tarn build/tarn] [--reps 7] [--files 10000]
"""
import argparse
import os
import pty
import select
import shutil
import statistics
import sys
import tempfile
import time
import fcntl
import termios
import struct

PROMPT = 'P> '


def read_until(fd, want, deadline):
    buf = b''
    while want not in buf:
        left = deadline - time.perf_counter()
        if left <= 0:
            raise RuntimeError('timed out waiting for %r; got %r' % (want, buf[-300:]))
        r, _, _ = select.select([fd], [], [], left)
        if r:
            try:
                chunk = os.read(fd, 1 << 20)
            except OSError:
                break
            if not chunk:
                break
            buf += chunk
    return buf


def drain(fd, quiet=0.15):
    while True:
        r, _, _ = select.select([fd], [], [], quiet)
        if not r:
            return
        try:
            if not os.read(fd, 1 << 20):
                return
        except OSError:
            return


class Shell:
    def __init__(self, argv, env, cwd):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.chdir(cwd)
            os.execvpe(argv[0], argv, env)
        fcntl.ioctl(self.fd, termios.TIOCSWINSZ, struct.pack('HHHH', 50, 160, 0, 0))
        read_until(self.fd, PROMPT.encode(), time.perf_counter() + 20)
        drain(self.fd)

    def tab_to(self, typed, want):
        """Type the text, then time Tab until `want` shows; clear the line."""
        os.write(self.fd, typed.encode())
        read_until(self.fd, typed[-1].encode(), time.perf_counter() + 10)
        drain(self.fd, 0.05)
        t0 = time.perf_counter()
        os.write(self.fd, b'\t')
        read_until(self.fd, want.encode(), t0 + 60)
        t = time.perf_counter() - t0
        os.write(self.fd, b'\x15')
        drain(self.fd)
        return t

    def list_all(self, typed):
        """Time from Tab to the prompt coming back under the whole list."""
        os.write(self.fd, typed.encode())
        drain(self.fd, 0.05)
        t0 = time.perf_counter()
        os.write(self.fd, b'\t')
        read_until(self.fd, (PROMPT + typed).encode(), t0 + 120)
        t = time.perf_counter() - t0
        os.write(self.fd, b'\x15')
        drain(self.fd)
        return t

    def close(self):
        os.write(self.fd, b'\x15exit\r')
        try:
            read_until(self.fd, b'\0never', time.perf_counter() + 5)
        except RuntimeError:
            pass
        os.close(self.fd)
        os.waitpid(self.pid, 0)


def make_dir(path, n):
    os.makedirs(path)
    for i in range(n):
        open(os.path.join(path, 'a%06d_name' % i), 'w').close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--tarn', default=os.path.join(os.path.dirname(__file__), '..', 'build', 'tarn'))
    ap.add_argument('--reps', type=int, default=7)
    ap.add_argument('--files', type=int, default=10000)
    ap.add_argument('--commands', type=int, default=3000)
    args = ap.parse_args()
    tarn = os.path.abspath(args.tarn)
    top = tempfile.mkdtemp(prefix='bench-comp-')
    try:
        sizes = [args.files // 10, args.files, args.files * 3]
        for n in sizes:
            make_dir(os.path.join(top, 'd%d' % n), n)
        bindir = os.path.join(top, 'bin')
        os.makedirs(bindir)
        for i in range(args.commands):
            p = os.path.join(bindir, 'cmd%05d_x' % i)
            with open(p, 'w') as f:
                f.write('#!/bin/sh\n')
            os.chmod(p, 0o755)
        inputrc = os.path.join(top, 'inputrc')
        with open(inputrc, 'w') as f:
            f.write('set page-completions off\nset completion-query-items 100000000\n'
                    'set show-all-if-ambiguous on\n')
        env = dict(os.environ, TERM='xterm', PS1=PROMPT, LC_ALL='C.UTF-8', LANG='C.UTF-8',
                   HOME=top, INPUTRC=inputrc, PATH=bindir + ':/usr/bin:/bin', LISTMAX='100000000')
        env.pop('PROMPT_COMMAND', None)
        shells = [('tarn', [tarn, '-f', '-o', 'autolist', '-i']), ('bash', ['bash', '--norc', '--noprofile', '-i'])]
        results = {}
        for name, argv in shells:
            r = {}
            d = os.path.join(top, 'd%d' % args.files)
            sh = Shell(argv, env, d)
            try:
                mid = args.files // 2
                r['file, %d entries' % args.files] = statistics.median(
                    sh.tab_to('cat a%06d' % (mid + k), '_name') for k in range(args.reps))
                r['command, %d in PATH' % args.commands] = statistics.median(
                    sh.tab_to('cmd%05d' % (k * 7), '_x') for k in range(args.reps))
            finally:
                sh.close()
            for n in sizes:
                sh = Shell(argv, env, os.path.join(top, 'd%d' % n))
                try:
                    common = os.path.commonprefix(['a%06d' % 0, 'a%06d' % (n - 1)])
                    r['list %d' % n] = statistics.median(
                        sh.list_all('cat ' + common) for _ in range(max(1, args.reps // 2)))
                finally:
                    sh.close()
            results[name] = r
        print('| case | tarn | bash | tarn/bash |')
        print('| --- | --- | --- | --- |')
        for case in results['tarn']:
            a, b = results['tarn'][case], results['bash'][case]
            print('| %s | %.2f ms | %.2f ms | %.2f |' % (case, a * 1000, b * 1000, a / b))
    finally:
        shutil.rmtree(top, ignore_errors=True)


if __name__ == '__main__':
    main()
