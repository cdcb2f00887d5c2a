"""Shared driver for the pseudo-terminal tests.

Each test file imports this module, defines functions named test_*, and ends
with `ptyharness.main(globals())`.  Every test gets a fresh shell on a fresh
pseudo-terminal, with HOME a new directory holding only an empty .tarnrc
(so no startup commands run, and the shell does not take the user for a new
one) and a prompt that is easy to find in the output.  A failing test prints the
whole terminal transcript.

Timing: nothing sleeps for a fixed time to let the shell catch up; every step
waits for the text it needs (usually the next prompt).  All waits are
multiplied by --timeout-factor, or by TARN_TEST_TIMEOUT_FACTOR from the
environment, so slow (sanitizer) builds can run the same tests.
"""

import argparse
import io
import os
import re
import shutil
import signal
import sys
import tempfile
import time
import traceback

import pexpect

try:
    import pyte
except ImportError:
    # Debian's package, when the Python in use is not the system's own.
    sys.path.append('/usr/lib/python3/dist-packages')
    try:
        import pyte
    except ImportError:
        pyte = None

PS1 = '<tarn> '
PASS_ENV = ('ASAN_OPTIONS', 'UBSAN_OPTIONS', 'LSAN_OPTIONS')


class Failure(Exception):
    pass


class Config:
    shell = None
    factor = 1.0
    base_timeout = 5.0


def timeout(seconds=None):
    return (seconds or Config.base_timeout) * Config.factor


def session_pids(sid):
    """Processes in session sid (the shell leads its own session)."""
    pids = []
    for d in os.listdir('/proc'):
        if not d.isdigit():
            continue
        try:
            with open('/proc/%s/stat' % d) as f:
                fields = f.read().rsplit(')', 1)[1].split()
        except OSError:
            continue
        # after the command name: state ppid pgrp session ...
        if int(fields[3]) == sid:
            pids.append(int(d))
    return pids


class Shell:
    """One interactive shell on a pseudo-terminal."""

    def __init__(self, args=None, env=None, argv0=None, ps1=PS1, wait_prompt=True, screen=False,
                 size=(24, 80), first_run=False):
        self.home = tempfile.mkdtemp(prefix='tarn-pty-')
        self.home = os.path.realpath(self.home)
        if not first_run:
            open(os.path.join(self.home, '.tarnrc'), 'w').close()
        self.ps1 = ps1
        e = {
            'PATH': '/usr/local/bin:/usr/bin:/bin',
            'HOME': self.home,
            'TERM': 'dumb',
            'LANG': 'C.UTF-8',
            'PS1': ps1,
        }
        for name in PASS_ENV:
            if name in os.environ:
                e[name] = os.environ[name]
        if env:
            e.update(env)
        # The line editor is not what these tests are about: the shell
        # reads plain lines, so the terminal's own echo shows the input.
        if args is None:
            args = ['-i', '+o', 'ked']
        self.transcript = io.StringIO()
        exe = Config.shell
        if argv0:
            # A symlink gives the invocation name; a leading '-' goes into
            # argv[0] through a helper shell's exec -a.
            link = os.path.join(self.home, '.bin')
            os.mkdir(link)
            base = argv0.lstrip('-')
            os.symlink(exe, os.path.join(link, base))
            # (The helper does not pass PS1 on: it is given separately.)
            e['TARN_TEST_PS1'] = ps1
            args = ['-c', 'PS1=$TARN_TEST_PS1; export PS1; unset TARN_TEST_PS1; exec -a "$0" "$@"',
                    argv0, os.path.join(link, base)] + args
            exe = '/bin/bash'
        self.p = pexpect.spawn(exe, args, env=e, cwd=self.home, encoding='utf-8',
                               codec_errors='replace', timeout=timeout(),
                               dimensions=size, echo=True)
        self.p.logfile_read = self.transcript
        self.screen = None
        if screen:
            # A terminal model follows everything the shell writes.
            if pyte is None:
                raise Failure('python3-pyte is needed for screen tests')
            self.screen = pyte.Screen(size[1], size[0])
            self.stream = pyte.Stream(self.screen)
            self.p.logfile_read = _Tee(self.transcript, self.stream)
        self.pid = self.p.pid
        if wait_prompt:
            self.prompt()

    # ---- waiting ----

    def expect(self, pattern, secs=None):
        """Wait for a regular expression (or a list of them); the index."""
        try:
            return self.p.expect(pattern, timeout=timeout(secs))
        except pexpect.TIMEOUT:
            raise Failure('timed out waiting for %r' % (pattern,))
        except pexpect.EOF:
            raise Failure('the shell ended while waiting for %r' % (pattern,))

    def expect_exact(self, text, secs=None):
        try:
            return self.p.expect_exact(text, timeout=timeout(secs))
        except pexpect.TIMEOUT:
            raise Failure('timed out waiting for %r' % (text,))
        except pexpect.EOF:
            raise Failure('the shell ended while waiting for %r' % (text,))

    def prompt(self, secs=None):
        """Wait for the next primary prompt; the text before it."""
        self.expect_exact(self.ps1, secs)
        return clean(self.p.before)

    # ---- typing ----

    def send(self, text):
        self.p.send(text)

    def line(self, text):
        """Type a line and wait for the terminal to echo it."""
        self.p.sendline(text)
        self.expect_exact(text + '\r\n')

    def run(self, cmd, secs=None):
        """Type a command line, wait for the next prompt; its output."""
        self.line(cmd)
        return self.prompt(secs)

    def ctrl(self, ch):
        self.p.sendcontrol(ch)

    def eof(self):
        self.p.sendeof()

    # ---- the screen (with screen=True) ----

    def keys(self, text):
        """Send keys as they are, without a newline (bytes go out unencoded)."""
        data = text if isinstance(text, bytes) else text.encode('utf-8')
        # In pieces, taking the output in between: a shell that echoes
        # what it reads would otherwise fill the terminal both ways.
        for i in range(0, len(data), 1024):
            os.write(self.p.child_fd, data[i:i + 1024])
            if len(data) > 1024:
                self.pump(0.001)

    def pump(self, secs=0.05):
        """Take in whatever output has arrived."""
        try:
            while True:
                self.p.read_nonblocking(size=65536, timeout=secs)
        except (pexpect.TIMEOUT, pexpect.EOF):
            pass

    def lines(self):
        """The screen's lines, trailing blanks removed."""
        return [l.rstrip() for l in self.screen.display]

    def text(self):
        lines = self.lines()
        while lines and not lines[-1]:
            lines.pop()
        return '\n'.join(lines)

    def cursor(self):
        return (self.screen.cursor.y, self.screen.cursor.x)

    def wait_screen(self, cond, what, secs=None):
        """Wait until cond(self) holds; the screen is shown on failure."""
        deadline = time.time() + timeout(secs)
        while True:
            self.pump()
            if cond(self):
                return
            if time.time() > deadline:
                raise Failure('screen never showed %s; it shows:\n%s\ncursor %r'
                              % (what, self.text(), self.cursor()))

    def wait_line(self, row, text, secs=None):
        """Wait until screen line row is text."""
        text = text.rstrip()
        self.wait_screen(lambda s: s.lines()[row] == text, 'line %d %r' % (row, text), secs)

    def wait_text(self, text, secs=None):
        """Wait until the screen's text (trailing blank lines dropped) is text."""
        self.wait_screen(lambda s: s.text() == text, repr(text), secs)

    def wait_cursor(self, pos, secs=None):
        self.wait_screen(lambda s: s.cursor() == pos, 'the cursor at %r' % (pos,), secs)

    # ---- ending ----

    def wait_exit(self, secs=None):
        """Wait for the shell to exit; its status (128+n for a signal)."""
        try:
            self.p.expect(pexpect.EOF, timeout=timeout(secs))
        except pexpect.TIMEOUT:
            raise Failure('the shell did not exit')
        deadline = time.time() + timeout(secs)
        while self.p.isalive():
            if time.time() > deadline:
                raise Failure('the shell closed the terminal but did not exit')
            time.sleep(0.01)
        if self.p.signalstatus is not None:
            return 128 + self.p.signalstatus
        return self.p.exitstatus

    def close(self):
        """Kill whatever is left of the shell and its jobs."""
        for _ in range(3):
            pids = session_pids(self.pid)
            if not pids:
                break
            for pid in pids:
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
            time.sleep(0.05)
        try:
            self.p.close(force=True)
        except Exception:
            pass
        shutil.rmtree(self.home, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


class _Tee:
    """The transcript and the terminal model both see the output."""

    def __init__(self, a, stream):
        self.a = a
        self.stream = stream

    def write(self, data):
        self.a.write(data)
        self.stream.feed(data)

    def flush(self):
        pass


def clean(text):
    """Terminal output as lines: CR LF becomes LF."""
    return text.replace('\r\n', '\n')


def check(cond, what):
    if not cond:
        raise Failure(what)


def check_eq(actual, expected, what='output'):
    if actual != expected:
        raise Failure('%s: expected %r, got %r' % (what, expected, actual))


def check_match(pattern, actual, what='output'):
    if not re.fullmatch(pattern, actual, re.S):
        raise Failure('%s: %r does not match %r' % (what, actual, pattern))


def process_state(pid):
    """The one-letter state of a process, or None once it is gone."""
    try:
        with open('/proc/%d/stat' % pid) as f:
            return f.read().rsplit(')', 1)[1].split()[0]
    except OSError:
        return None


def wait_state(pid, states, secs=None):
    """Wait until a process is in one of the given states (None: gone)."""
    deadline = time.time() + timeout(secs)
    while True:
        st = process_state(pid)
        if st in states or (st == 'Z' and None in states):
            return st
        if time.time() > deadline:
            raise Failure('process %d stayed in state %r' % (pid, st))
        time.sleep(0.02)


def main(namespace):
    ap = argparse.ArgumentParser()
    ap.add_argument('--shell', required=True)
    ap.add_argument('--timeout-factor', type=float,
                    default=float(os.environ.get('TARN_TEST_TIMEOUT_FACTOR', '1')))
    ap.add_argument('--filter', default='')
    ap.add_argument('-v', action='store_true')
    opts = ap.parse_args()
    Config.shell = os.path.abspath(opts.shell)
    Config.factor = max(opts.timeout_factor,
                        float(os.environ.get('TARN_TEST_TIMEOUT_FACTOR', '1')))
    tests = [(n, f) for n, f in namespace.items()
             if n.startswith('test_') and callable(f) and opts.filter in n]
    passed, failed = 0, []
    for name, fn in tests:
        _current.clear()
        start = time.time()
        try:
            fn()
            passed += 1
            if opts.v:
                print('ok   %s (%.1fs)' % (name, time.time() - start))
        except Exception as e:
            failed.append(name)
            print('FAIL %s: %s' % (name, e))
            if not isinstance(e, Failure):
                traceback.print_exc()
            sh = _current.get('shell')
            if sh is not None:
                print('---- terminal transcript ----')
                t = sh.transcript.getvalue().replace('\r', '')
                if len(t) > 6000:
                    t = '[... %d characters before ...]\n' % (len(t) - 6000) + t[-6000:]
                print(t)
                print('---- end of transcript ----')
        sys.stdout.flush()
    for name in failed:
        print('failed: %s' % name)
    print('%d passed, %d failed' % (passed, len(failed)))
    sys.exit(1 if failed else 0)


_current = {}


def shell(wait_prompt=True, **kw):
    """A fresh shell for one test; its transcript is shown on failure."""
    sh = Shell(wait_prompt=False, **kw)
    _current['shell'] = sh
    if wait_prompt:
        sh.prompt()
    return sh
