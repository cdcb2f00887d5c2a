#!/usr/bin/env python3
"""History from the line editor, on a model of the screen: incremental
search, prefix searches, inferring the next line, the last word of earlier
lines, history expansion on the line, and the widgets that run a command
about the word being typed."""

import ptyharness as h
from ptyharness import check

P = h.PS1
UP, DOWN = '\x1b[A', '\x1b[B'


def editor(env=None, lang='C.UTF-8'):
    e = {'TERM': 'xterm', 'LANG': lang, 'LC_ALL': lang}
    if env:
        e.update(env)
    return h.shell(args=['-f', '-i'], env=e, screen=True, size=(24, 80))


def run(sh, cmd):
    n = sh.text().count(P)
    sh.keys(cmd + '\r')
    sh.wait_screen(lambda s: s.text().count(P) > n and s.lines()[s.cursor()[0]] == P.rstrip(),
                   'the prompt after %r' % cmd)


def shows(sh, text):
    sh.wait_screen(lambda s: text in s.text(), repr(text))


def prompt_row(sh):
    return sh.cursor()[0]


def with_history(sh, *cmds):
    for c in cmds:
        run(sh, c)
    return prompt_row(sh)


def test_incremental_search_back_and_forth():
    with editor() as sh:
        run(sh, 'unsetopt flowcontrol')  # ^S reaches the editor
        r = with_history(sh, 'echo alpha', 'echo beta', 'echo alphabet')
        sh.keys('\x12alp')
        shows(sh, 'bck-i-search: alp_')
        sh.wait_line(r, P + 'echo alphabet')
        sh.keys('\x12')  # the next older match
        sh.wait_line(r, P + 'echo alpha')
        sh.keys('\x12')  # no more: the search fails but the match stays
        shows(sh, 'failing bck-i-search: alp_')
        sh.wait_line(r, P + 'echo alpha')
        sh.keys('\x13')  # forward again
        shows(sh, 'fwd-i-search: alp_')
        sh.wait_line(r, P + 'echo alphabet')
        sh.keys('\r')
        sh.wait_line(r + 1, 'alphabet')


def test_incremental_search_backspace_and_abort():
    with editor() as sh:
        r = with_history(sh, 'echo one', 'echo two')
        sh.keys('draft\x12on')
        sh.wait_line(r, P + 'echo one')
        sh.keys('\x7f\x7f')  # back to the state before the search string
        shows(sh, 'bck-i-search: _')
        sh.keys('tw')
        sh.wait_line(r, P + 'echo two')
        sh.keys('\x07')  # send-break leaves the line as it was
        sh.wait_line(r, P + 'draft')
        check('i-search' not in sh.text(), 'the status line went away')


def test_incremental_search_other_key_ends_search_and_acts():
    with editor() as sh:
        r = with_history(sh, 'echo first', 'echo second')
        sh.keys('\x12fir\x05 more')  # end-of-line ends the search, then typing goes on
        sh.wait_line(r, P + 'echo first more')


def test_history_search_matches_the_first_word():
    with editor() as sh:
        r = with_history(sh, 'echo a', 'print b', 'echo c', 'print d')
        sh.keys('echo x\x1bp')
        sh.wait_line(r, P + 'echo c')
        sh.keys('\x1bp')
        sh.wait_line(r, P + 'echo a')
        sh.keys('\x1bn')
        sh.wait_line(r, P + 'echo c')


def test_history_beginning_search_uses_the_text_before_the_cursor():
    with editor() as sh:
        run(sh, "bindkey '^X^P' history-beginning-search-backward "
                "'^X^O' history-beginning-search-forward")
        r = with_history(sh, 'echo abc', 'echo abd', 'echo xyz')
        sh.keys('echo ab\x18\x10')
        sh.wait_line(r, P + 'echo abd')
        # The cursor stays after the prefix, so the next search uses it too.
        sh.keys('\x18\x10')
        sh.wait_line(r, P + 'echo abc')
        sh.keys('\x18\x0f')
        sh.wait_line(r, P + 'echo abd')


def test_up_line_or_search_searches_on_a_single_line():
    with editor() as sh:
        run(sh, "bindkey '^[[A' up-line-or-search")
        r = with_history(sh, 'ls /', 'echo q', 'true')
        sh.keys('echo' + UP)
        sh.wait_line(r, P + 'echo q')


def test_infer_next_history_and_accept_and_infer():
    with editor() as sh:
        run(sh, "bindkey '^X^A' accept-and-infer-next-history")
        r = with_history(sh, 'echo step1', 'echo step2', 'echo other')
        sh.keys('echo step1\x18\x0e')  # infer-next-history: the line after the match
        sh.wait_line(r, P + 'echo step2')
        sh.keys('\x15')
        sh.keys('echo step1\x18\x01')
        sh.wait_line(r + 1, 'step1')
        sh.wait_line(r + 2, P + 'echo step2')


def test_insert_last_word_walks_back():
    with editor() as sh:
        r = with_history(sh, 'echo one two', 'echo three four')
        sh.keys('ls \x1b.')
        sh.wait_line(r, P + 'ls four')
        sh.keys('\x1b.')  # again: replaces it with the last word of the line before
        sh.wait_line(r, P + 'ls two')
        sh.keys(' \x1b_')  # a fresh insert starts from the newest line again
        sh.wait_line(r, P + 'ls two four')


def test_magic_space_and_expand_history():
    with editor() as sh:
        run(sh, "bindkey ' ' magic-space")
        r = with_history(sh, 'echo hello')
        sh.keys('!! world')
        sh.wait_line(r, P + 'echo hello world')
        sh.keys('\x15echo !echo:1\x1b!')  # expand-history without a space
        sh.wait_line(r, P + 'echo hello')
        sh.keys('\r')
        sh.wait_line(r + 1, 'hello')


def test_which_command_and_run_help_push_the_line():
    with editor() as sh:
        r = with_history(sh, 'f() { : }', 'run-help() { echo "help for $1" }')
        sh.keys('f some args\x1b?')
        sh.wait_line(r, P + 'which-command f')
        sh.wait_line(r + 1, 'f')
        # The pushed line comes back at the next prompt.
        sh.wait_screen(lambda s: (P + 'f some args') in s.text(), 'the line back again')
        sh.keys('\x15ls -l\x1bh')
        shows(sh, 'help for ls')


h.main(globals())
