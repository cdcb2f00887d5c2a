#!/usr/bin/env python3
"""A user's first interactive shell: with no per-user startup file it says
once how to get a sensible set-up, and otherwise stays quiet; nothing is
written to the home directory."""

import os
import shutil
import tempfile

import ptyharness as h
from ptyharness import check, check_eq

HINT = 'tarnrc.example'


def hints(sh):
    return sh.transcript.getvalue().count(HINT)


def test_hint_once_at_first_start():
    with h.shell(first_run=True) as sh:
        text = sh.transcript.getvalue()
        check_eq(hints(sh), 1, 'hints before the first prompt')
        line = [l for l in text.replace('\r', '').split('\n') if HINT in l][0]
        check(line.startswith('tarn: no ~/.tarnrc'), 'the hint names the file to create: %r' % line)
        check(line.endswith(' ~/.tarnrc'), 'the hint says where to copy it: %r' % line)
        check(len(line) < 100, 'one short line')
        check_eq(sh.run('print ok'), 'ok\n')
        check_eq(sh.run('false'), '')
        sh.line('exit')
        sh.wait_exit()
        check_eq(hints(sh), 1, 'hints after several prompts')
        check_eq(os.listdir(sh.home), [], 'what the shell left in the home directory')


def test_any_startup_file_silences_the_hint():
    # The harness's own empty .tarnrc.
    with h.shell() as sh:
        check_eq(sh.run('print ok'), 'ok\n')
        check_eq(hints(sh), 0, 'hints with an empty .tarnrc')
    # Any of the per-user files, in the directory QDOTDIR names.
    for name in ('.tarnenv', '.qprofile', '.qlogin', '.qlogout'):
        dot = tempfile.mkdtemp(prefix='tarn-dot-')
        try:
            open(os.path.join(dot, name), 'w').close()
            with h.shell(first_run=True, env={'QDOTDIR': dot}) as sh:
                check_eq(sh.run('print ok'), 'ok\n')
                check_eq(hints(sh), 0, 'hints with %s in QDOTDIR' % name)
        finally:
            shutil.rmtree(dot, ignore_errors=True)


def test_startup_directory_variable_is_followed():
    # HOME has the harness's .tarnrc, but QDOTDIR is where the shell looks.
    dot = tempfile.mkdtemp(prefix='tarn-dot-')
    try:
        with h.shell(env={'QDOTDIR': dot}) as sh:
            check_eq(hints(sh), 1, 'hints with an empty QDOTDIR')
            check(('no %s/.tarnrc' % dot) in sh.transcript.getvalue(), 'the hint names QDOTDIR')
    finally:
        shutil.rmtree(dot, ignore_errors=True)


def test_no_hint_for_c_f_or_sh():
    with h.shell(first_run=True, wait_prompt=False, args=['-c', 'print done-c']) as sh:
        sh.expect_exact('done-c')
        check_eq(sh.wait_exit(), 0)
        check_eq(hints(sh), 0, 'hints with -c')
    with h.shell(first_run=True, args=['-f', '-i', '+o', 'ked']) as sh:
        check_eq(sh.run('print ok'), 'ok\n')
        check_eq(hints(sh), 0, 'hints with -f')
    with h.shell(first_run=True, argv0='sh', args=['-i', '+o', 'ked']) as sh:
        check_eq(sh.run('print ok'), 'ok\n')
        check_eq(hints(sh), 0, 'hints in sh emulation')


def test_no_hint_for_an_interactive_script():
    d = tempfile.mkdtemp(prefix='tarn-script-')
    script = os.path.join(d, 's')
    with open(script, 'w') as f:
        f.write('print script-ran\n')
    try:
        with h.shell(first_run=True, wait_prompt=False, args=['-i', '+o', 'ked', script]) as sh:
            sh.expect_exact('script-ran')
            sh.wait_exit()
            check_eq(hints(sh), 0, 'hints for a script run with -i')
    finally:
        shutil.rmtree(d, ignore_errors=True)


h.main(globals())
