#!/usr/bin/env python3
"""Before the prompt and questions on the terminal: a finished job is
reported before precmd runs; spelling correction with each answer, of
command words and (with correctall) of arguments, file names, parameter
names and the prompt; the rm * confirmation with each answer, rmstarwait
and rmstarsilent; keys typed ahead; an interrupt at a question."""

import os
import time

import ptyharness as h
from ptyharness import check, check_eq

QUERY = '[nyae]? '
RMQUERY = '[yn]? '


def touch(sh, *names):
    for n in names:
        path = os.path.join(sh.home, n)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        open(path, 'w').close()


def correcting(opt='correct', **kw):
    sh = h.shell(**kw)
    sh.run('setopt %s' % opt)
    return sh


def ask(sh, line, question):
    """Type a line and wait for the question it raises."""
    sh.line(line)
    sh.expect_exact(question)


def history(sh):
    return sh.run('fc -ln -1')


# ---- before the prompt ----

def test_job_report_comes_before_precmd():
    with h.shell() as sh:
        sh.run("precmd() { echo precmd ran }")
        sh.line('sleep 0.2 &')
        sh.expect(r'\[1\] \d+\r\n')
        # On a slow machine the job may end before the first prompt.
        out = sh.prompt() + sh.run('sleep 1')
        check('[1]  + done       sleep 0.2\nprecmd ran\n' in out, 'report, then precmd: %r' % out)


# ---- correcting command words ----

def test_yes_space_and_tab_take_the_correction():
    with correcting() as sh:
        for key in ('y', 'Y', ' ', '\t'):
            ask(sh, 'ehco hi', "tarn: correct 'ehco' to 'echo' " + QUERY)
            sh.send(key)
            out = sh.prompt()
            check(out.endswith('\nhi\n'), 'answer %r runs the correction: %r' % (key, out))
        # The history holds the line as it ran.
        check_eq(history(sh), 'echo hi\n')


def test_no_and_enter_keep_the_word():
    with correcting() as sh:
        for key in ('n', '\r'):
            ask(sh, 'ehco hi', QUERY)
            sh.send(key)
            out = sh.prompt()
            check('command not found: ehco' in out, 'answer %r keeps the word: %r' % (key, out))
        check_eq(history(sh), 'ehco hi\n')


def test_abandon_runs_nothing_of_the_line():
    with correcting() as sh:
        ask(sh, 'echo before; ehco hi; echo after', QUERY)
        sh.send('a')
        out = sh.prompt()
        check('before' not in out and 'after' not in out, 'nothing ran: %r' % out)
        check_eq(sh.run('echo next'), 'next\n')


def test_other_keys_are_rubbed_out_until_an_answer():
    with correcting() as sh:
        ask(sh, 'ehco hi', QUERY)
        sh.send('x')
        # A wrong key beeps and is rubbed out; a control key took two cells.
        sh.expect_exact('\a\b \b')
        sh.send('\x01')
        sh.expect_exact('\a\b \b\b \b')
        sh.send('y')
        check(sh.prompt().endswith('hi\n'), 'the answer after wrong keys counts')


def test_commands_functions_aliases_and_reserved_words_are_candidates():
    with correcting() as sh:
        sh.run('myfunction() { echo in function }; alias myalias="echo in alias"')
        ask(sh, 'myfnuction', "'myfnuction' to 'myfunction'")
        sh.send('y')
        check(sh.prompt().endswith('in function\n'), 'function')
        ask(sh, 'myalais', "'myalais' to 'myalias'")
        sh.send('y')
        # The corrected word is still looked up as an alias.
        check(sh.prompt().endswith('in alias\n'), 'alias')
        ask(sh, 'whiel false; do :; done; echo ok', "'whiel' to 'while'")
        sh.send('y')
        check(sh.prompt().endswith('ok\n'), 'reserved word')


def test_no_correction_for_names_arguments_or_quoted_words():
    with correcting() as sh:
        out = sh.run("echo ehco; 'ehco'; nocorrect ehco; e\\hco")
        check(QUERY not in out, 'no question: %r' % out)
        check_eq(out.count('command not found: ehco'), 3, 'the three commands ran as typed')


def test_typeahead_answers_no_without_asking():
    with correcting() as sh:
        # Both lines arrive before the first is read: the second is
        # waiting when the first would be corrected.
        sh.send('ehco hi\necho next\n')
        sh.expect_exact('echo next\r\n')
        out = sh.prompt() + sh.prompt()
        check(QUERY not in out, 'no question: %r' % out)
        check('command not found: ehco' in out, 'the word stays: %r' % out)


def test_interrupt_at_the_question_ends_the_line():
    with correcting() as sh:
        ask(sh, 'ehco hi; echo after', QUERY)
        sh.ctrl('c')
        out = sh.prompt()
        check('after' not in out, 'the line did not run: %r' % out)
        check_eq(sh.run('echo alive'), 'alive\n')


def test_sprompt_shows_word_and_correction():
    with correcting() as sh:
        sh.run("SPROMPT='fix %R -> %r? '")
        ask(sh, 'ehco hi', 'fix ehco -> echo? ')
        sh.send('y')
        check(sh.prompt().endswith('hi\n'), 'the answer counts')


def test_dvorak_changes_the_neighbouring_keys():
    with correcting() as sh:
        sh.run('qqs() { echo function qqs }')
        # s and x touch on QWERTY, s and n on Dvorak.
        ask(sh, 'qqx', "'qqx' to 'qqs'")
        sh.send('n')
        sh.prompt()
        check(QUERY not in sh.run('qqn'), 'n is far from s on QWERTY')
        sh.run('setopt dvorak')
        check(QUERY not in sh.run('qqx'), 'x is far from s on Dvorak')
        ask(sh, 'qqn', "'qqn' to 'qqs'")
        sh.send('y')
        check(sh.prompt().endswith('function qqs\n'), 'the correction ran')


# ---- correcting every argument ----

def test_correctall_corrects_file_names_component_by_component():
    with correcting('correctall') as sh:
        touch(sh, 'docs/report.txt', 'docs/notes')
        ask(sh, 'echo dcos/reprot.txt', "'dcos/reprot.txt' to 'docs/report.txt'")
        sh.send('y')
        check(sh.prompt().endswith('docs/report.txt\n'), 'the corrected path is the argument')
        check_eq(history(sh), 'echo docs/report.txt\n')
        # A component too far from every entry: no question.
        out = sh.run('echo docs/zzzzzzz')
        check_eq(out, 'docs/zzzzzzz\n')
        # Names that exist are left alone.
        check_eq(sh.run('echo docs/notes'), 'docs/notes\n')


def test_correctall_parameter_names_and_home():
    with correcting('correctall') as sh:
        sh.run('myvariable=value')
        ask(sh, 'echo $myvairable', "'$myvairable' to '$myvariable'")
        sh.send('y')
        check(sh.prompt().endswith('value\n'), 'the parameter expanded')
        touch(sh, 'Documents/x')
        ask(sh, 'echo ~/Dcouments', "'~/Dcouments' to '~/Documents'")
        sh.send('y')
        check(sh.prompt().endswith(sh.home + '/Documents\n'), 'the tilde stays')


def test_correctall_non_ascii_file_names():
    for lang in ('C', 'C.UTF-8'):
        with correcting('correctall', env={'LC_ALL': lang}) as sh:
            touch(sh, 'caf\u00e9.txt')
            ask(sh, 'echo cfa\u00e9.txt', "'cfa\u00e9.txt' to 'caf\u00e9.txt'")
            sh.send('y')
            check(sh.prompt().endswith('caf\u00e9.txt\n'), 'under %s' % lang)


def test_correction_in_the_editor_and_edit_again():
    e = {'TERM': 'xterm', 'LANG': 'C.UTF-8', 'LC_ALL': 'C.UTF-8'}
    with h.shell(args=['-f', '-i'], env=e, screen=True) as sh:
        sh.keys('setopt correct\r')
        sh.wait_line(1, h.PS1)
        sh.keys('ehco one\r')
        sh.wait_screen(lambda s: QUERY.rstrip() in s.text(), 'the question')
        sh.keys('e')
        # The line comes back to be edited, as typed.
        sh.wait_line(3, h.PS1 + 'ehco one')
        sh.keys('\x01\x0b' + 'echo two\r')
        sh.wait_line(4, 'two')


# ---- rm * ----

def test_rm_star_asks_and_each_answer():
    with h.shell() as sh:
        touch(sh, 'a', 'b', 'sub/c')
        ask(sh, 'rm *', 'tarn: sure you want to delete all the files in %s %s' % (sh.home, RMQUERY))
        sh.send('n')
        out = sh.prompt()
        check_eq(sh.run('echo $?; echo *'), '1\na b sub\n')
        # Enter answers no; other keys are not answers.
        ask(sh, 'rm *', RMQUERY)
        sh.send('x\r')
        sh.prompt()
        check_eq(sh.run('echo *'), 'a b sub\n')
        ask(sh, 'rm -f sub/*', 'files in %s/sub %s' % (sh.home, RMQUERY))
        sh.send('y')
        sh.prompt()
        check_eq(sh.run('echo sub/*(N); echo *'), '\na b sub\n')
        del out


def test_rm_star_refused_keeps_other_arguments():
    with h.shell() as sh:
        touch(sh, 'a', 'keep/x', 'gone')
        ask(sh, 'rm gone keep/*', 'files in %s/keep %s' % (sh.home, RMQUERY))
        sh.send('n')
        sh.prompt()
        check_eq(sh.run('echo *(N) keep/*'), 'a keep keep/x\n')
        # An absolute directory is shown as it is.
        ask(sh, 'rm %s/keep/*' % sh.home, 'files in %s/keep %s' % (sh.home, RMQUERY))
        sh.send('n')
        sh.prompt()


def test_rm_star_in_the_root_directory_asks_too():
    with h.shell() as sh:
        # The check is made on the word rm, whatever runs it: a function
        # stands in for the command here.
        sh.run('rm() { echo removing $# }')
        ask(sh, 'rm /*', 'delete all the files in / ' + RMQUERY)
        sh.send('n')
        check_eq(sh.prompt().lstrip('\a'), 'n\n')
        ask(sh, 'rm /*', RMQUERY)
        sh.send('y')
        check(sh.prompt().lstrip('\a').startswith('y\nremoving '), 'the function ran')


def test_rm_star_silent_and_not_for_other_patterns():
    with h.shell() as sh:
        touch(sh, 'a.c', 'b.c', 'c')
        out = sh.run('rm *.c; echo *')
        check_eq(out, 'c\n')
        sh.run('setopt rmstarsilent')
        check_eq(sh.run('rm *; echo *(N)'), '\n')


def test_rm_star_typeahead_answers_no():
    with h.shell() as sh:
        touch(sh, 'a')
        sh.send('rm *\necho next\n')
        # The question answers itself (after its beep).
        sh.expect(r'\[yn\]\? \a?n\r\n')
        sh.prompt()
        check(os.path.exists(os.path.join(sh.home, 'a')), 'nothing removed')


def test_rmstarwait_discards_keys_typed_during_the_wait():
    with h.shell() as sh:
        touch(sh, 'a')
        sh.run('setopt rmstarwait')
        start = time.time()
        ask(sh, 'rm *', '? (waiting ten seconds)')
        sh.send('y')
        sh.expect(r'\[yn\]\? \a?n\r\n', secs=20)
        check(time.time() - start >= 9.5, 'the wait lasted ten seconds')
        sh.prompt()
        check(os.path.exists(os.path.join(sh.home, 'a')), 'a key typed during the wait is no answer')


h.main(globals())
