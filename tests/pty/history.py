#!/usr/bin/env python3
"""History on a real terminal: an expanded line is shown before its
output and the next prompt, a failed reference leaves the line unrun and
the prompt comes back, and two shells sharing one file see each other's
lines as they are entered."""

import os
import shutil
import tempfile

import ptyharness as h
from ptyharness import check, check_eq


def test_expanded_line_comes_before_its_output():
    with h.shell() as sh:
        check_eq(sh.run('echo first'), 'first\n')
        # The expansion is echoed, then the command runs, then the prompt.
        check_eq(sh.run('!!'), 'echo first\nfirst\n')
        check_eq(sh.run('^first^second'), 'echo second\nsecond\n')
        check_eq(sh.run('echo !$ again'), 'echo second again\nsecond again\n')


def test_failed_reference_runs_nothing_and_the_prompt_returns():
    with h.shell() as sh:
        sh.run('echo x')
        out = sh.run('echo !nosuch; touch made')
        check_eq(out, 'tarn: event not found: nosuch\n')
        check(not os.path.exists(os.path.join(sh.home, 'made')), 'the rest of the line ran')
        check_eq(sh.run('fc -ln'), 'echo x\n')


def test_print_p_modifier_shows_without_running():
    with h.shell() as sh:
        sh.run('echo one')
        check_eq(sh.run('!!:s/one/two/:p'), 'echo two\n')
        check_eq(sh.run('fc -ln -1'), 'echo two\n')


def test_two_shells_share_one_file():
    d = tempfile.mkdtemp(prefix='tarn-share-')
    hist = os.path.join(d, 'shared')
    env = {'HISTFILE': hist, 'SAVEHIST': '100'}
    try:
        with h.shell(env=env) as a, h.Shell(env=env) as b:
            a.run('setopt sharehistory')
            b.run('setopt sharehistory')
            a.run('echo from a')
            # Each line entered reads what the other shell wrote.
            b.run(':')
            out = b.run('fc -l')
            check('* echo from a' in out, 'shell b did not see a line of shell a: %r' % out)
            b.run('echo from b')
            a.run(':')
            out = a.run('fc -ln')
            check('echo from b' in out.splitlines(), 'shell a did not see shell b: %r' % out)
            a.eof()
            a.wait_exit()
            b.eof()
            b.wait_exit()
        # Neither shell wrote the other's lines again.
        with open(hist) as f:
            text = f.read()
        check_eq(text.count(';echo from a\n'), 1, 'copies of the line of shell a')
        check_eq(text.count(';echo from b\n'), 1, 'copies of the line of shell b')
    finally:
        shutil.rmtree(d, ignore_errors=True)


h.main(globals())
