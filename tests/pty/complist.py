#!/usr/bin/env python3
"""The completion list module on a terminal: colours from QLS_COLORS (file
types and group patterns), a long list a page at a time with LISTPROMPT,
menu selection (starting it, moving, accepting, breaking off, scrolling,
searching), matches holding escape sequences, and unloading the module."""

import os
import time

import ptyharness as h
from ptyharness import check, check_eq

P = h.PS1
TAB = '\t'
UP, DOWN, RIGHT, LEFT = '\x1b[A', '\x1b[B', '\x1b[C', '\x1b[D'


def editor(size=(24, 80), lang='C.UTF-8', env=None):
    e = {'TERM': 'xterm', 'LANG': lang, 'LC_ALL': lang}
    if env:
        e.update(env)
    sh = h.shell(args=['-f', '-i'], env=e, screen=True, size=size)
    run(sh, 'qmodload tarn/complist')
    return sh


def run(sh, cmd):
    sh.keys('\x15')
    sh.wait_screen(lambda s: s.lines()[s.cursor()[0]] == P.rstrip(), 'an empty line')
    n = sh.text().count(P)
    sh.keys(cmd + '\r')
    sh.wait_screen(lambda s: s.text().count(P) > n and s.lines()[s.cursor()[0]] == P.rstrip(),
                   'the prompt after %r' % cmd)


def shows(sh, text, secs=None):
    sh.wait_screen(lambda s: text in s.text(), repr(text), secs)


def line_is(sh, text, secs=None):
    sh.wait_screen(lambda s: s.lines()[s.cursor()[0]] == (P + text).rstrip(), 'the line %r' % text, secs)


def settle(sh, secs=0.3):
    time.sleep(secs * h.Config.factor)
    sh.pump()


def files(sh, *names):
    for n in names:
        path = os.path.join(sh.home, n)
        if n.endswith('/'):
            os.makedirs(path, exist_ok=True)
        else:
            open(path, 'w').close()


def cell(sh, row, col):
    return sh.screen.buffer[row][col]


def find(sh, text):
    """Row and column of text on the screen, the lowest line first."""
    for r, l in reversed(list(enumerate(sh.lines()))):
        c = l.find(text)
        if c >= 0:
            return r, c
    raise h.Failure('%r is not on the screen:\n%s' % (text, sh.text()))


def since(sh, mark):
    return sh.transcript.getvalue()[mark:]


# ---- colours ----

def test_directories_in_their_colour_the_rest_normal():
    for lang in ('C', 'C.UTF-8'):
        with editor(lang=lang) as sh:
            files(sh, 'adir/', 'afile', 'another')
            run(sh, "QLS_COLORS='di=01;34'")
            mark = len(sh.transcript.getvalue())
            sh.keys('ls a' + TAB)
            shows(sh, 'afile')
            out = since(sh, mark)
            check('\x1b[01;34madir' in out, 'the directory in 01;34: %r' % out)
            check('\x1b[0mafile' in out or '\x1b[0m' in out.split('adir')[1], 'then normal: %r' % out)
            r, c = find(sh, 'adir/')
            check(cell(sh, r, c).fg == 'blue' and cell(sh, r, c).bold, 'adir is bold blue')
            r, c = find(sh, 'afile')
            check(cell(sh, r, c).fg == 'default' and not cell(sh, r, c).bold, 'afile is plain')
            # A colour goes out once for a run of entries in it.
            check(out.count('\x1b[0m') <= 3, 'no repeated colour codes: %r' % out)


def test_no_colours_without_the_parameter():
    with editor() as sh:
        files(sh, 'adir/', 'afile')
        mark = len(sh.transcript.getvalue())
        sh.keys('ls a' + TAB)
        shows(sh, 'afile')
        check('\x1b[0m' not in since(sh, mark) and '\x1b[1;31m' not in since(sh, mark), 'plain list')


def test_group_pattern_and_suffix_and_pattern_entries():
    with editor() as sh:
        run(sh, "_tg() { compadd -J grp main.o util.o readme; compadd -J other x.o }; "
                "ked -C tg complete-word _tg; bindkey '^T' tg")
        run(sh, "QLS_COLORS='(grp)=*.o=31:=(#b)read(me)=33=32'")
        sh.keys('ls \x14')
        shows(sh, 'readme')
        r, c = find(sh, 'main.o')
        check(cell(sh, r, c).fg == 'red', 'main.o of grp in red')
        r, c = find(sh, 'util.o')
        check(cell(sh, r, c).fg == 'red', 'util.o of grp in red')
        r, c = find(sh, 'x.o')
        check(cell(sh, r, c).fg == 'default', 'x.o of another group is not coloured')
        r, c = find(sh, 'readme')
        check(cell(sh, r, c).fg == 'brown' and cell(sh, r, c + 4).fg == 'green',
              'the back-reference part in its own colour: %r %r' % (cell(sh, r, c), cell(sh, r, c + 4)))


def test_escapes_in_matches_are_shown_not_sent():
    for lang in ('C', 'C.UTF-8'):
        with editor(lang=lang) as sh:
            files(sh, 'x\x1b[31mred', 'xplain', 'x\xe9' if lang == 'C' else 'xplain2')
            run(sh, "QLS_COLORS='fi=0'")
            mark = len(sh.transcript.getvalue())
            sh.keys('ls x' + TAB)
            shows(sh, 'xplain')
            out = since(sh, mark)
            check('\x1b[31mred' not in out, 'the escape never goes out raw: %r' % out)
            shows(sh, 'x^[[31mred')
            for r in range(1, 4):
                for col in range(40):
                    check(cell(sh, r, col).fg != 'red', 'nothing turned red')


# ---- a page at a time ----

def test_listprompt_pages_and_a_letter_ends_it():
    with editor(size=(10, 40)) as sh:
        # Several screens: 34 rows of 6 columns.
        for i in range(200):
            files(sh, 'f%03d' % i)
        run(sh, "LISTPROMPT=''")
        sh.keys('ls f' + TAB)
        shows(sh, 'Hit TAB for more')
        check('f000' in sh.text() and 'f010' not in sh.text(), 'the first page:\n' + sh.text())
        sh.keys(TAB)
        shows(sh, 'f010')
        check('f000' not in sh.text(), 'the next page')
        sh.keys(DOWN)
        settle(sh)
        shows(sh, 'At ')
        check('f017' in sh.text(), 'one line more')
        sh.keys('q')
        line_is(sh, 'ls fq')
        check('Hit TAB' not in sh.text(), 'the prompt is gone:\n' + sh.text())
        # Return shows the rest without stopping.
        sh.keys('\x15ls f' + TAB)
        shows(sh, 'Hit TAB for more')
        sh.keys('\r')
        shows(sh, 'f199')
        line_is(sh, 'ls f')


def test_listprompt_escapes():
    with editor(size=(10, 40)) as sh:
        for i in range(100):
            files(sh, 'f%03d' % i)
        run(sh, "LISTPROMPT='lines %l matches %m at %p%%'")
        sh.keys('ls f0' + TAB)
        shows(sh, 'lines 8/17 matches 48/100 at 47%')


# ---- selection ----

def test_menuselect_threshold():
    with editor() as sh:
        files(sh, 'ab', 'ac')
        run(sh, 'MENUSELECT=3')
        sh.keys('ls a' + TAB + TAB)
        line_is(sh, 'ls ab')
        sh.keys(LEFT)  # no selection: the key is the editor's own
        settle(sh)
        check(sh.cursor()[1] == len(P + 'ls a'), 'the cursor moved')
        sh.keys('\x15')
        files(sh, 'ad')
        sh.keys('ls a' + TAB + TAB)
        line_is(sh, 'ls ab')
        r, c = find(sh, 'ab ')
        check(cell(sh, r, c).reverse, 'ab highlighted')
        sh.keys(RIGHT)
        line_is(sh, 'ls ac')


def test_moves_wrap_and_accept_line():
    with editor(size=(24, 30)) as sh:
        files(sh, 'a1', 'a2', 'a3', 'a4', 'a5', 'a6')
        run(sh, 'MENUSELECT=0')
        sh.keys('ls a' + TAB + TAB)
        line_is(sh, 'ls a1')
        # Columns first in rows of 6 columns: a1 a2 ... on one row? The
        # screen is narrow: 30 columns hold 6 entries of 4.
        r, c = find(sh, 'a1')
        sh.keys(LEFT)  # wraps to the end of the row
        line_is(sh, 'ls a6')
        sh.keys(RIGHT)
        line_is(sh, 'ls a1')
        sh.keys(DOWN)  # one row only: down comes back to it
        line_is(sh, 'ls a1')
        sh.keys('\t\t')  # completion keys step on
        line_is(sh, 'ls a3')
        r, c = find(sh, 'a3')
        check(cell(sh, r, c).reverse, 'a3 highlighted')
        check(not cell(sh, r, find(sh, 'a1')[1]).reverse, 'a1 no longer')
        sh.keys('\r')
        line_is(sh, 'ls a3 ')
        settle(sh)
        check('a5' not in sh.text(), 'the list went away')
        sh.keys('\r')
        sh.wait_screen(lambda s: s.lines()[s.cursor()[0] - 1] == 'a3', 'the output of ls')


def test_rows_move_between_groups_and_send_break_restores():
    with editor() as sh:
        run(sh, "_tg() { compadd -J one -- oa ob; compadd -J two -- oc od }; "
                "ked -C tg complete-word _tg; bindkey '^T' tg; MENUSELECT=0")
        sh.keys('echo o\x14')
        sh.keys('\x14')
        line_is(sh, 'echo oa')
        sh.keys(DOWN)
        line_is(sh, 'echo oc')
        sh.keys(DOWN)  # from the last row round to the first
        line_is(sh, 'echo oa')
        sh.keys(UP)
        line_is(sh, 'echo oc')
        sh.keys('\x1b>')  # end-of-buffer-or-history: the last match
        line_is(sh, 'echo od')
        sh.keys('\x1f')  # undo: the selection before
        line_is(sh, 'echo oc')
        sh.keys('\x07')
        line_is(sh, 'echo o')
        settle(sh)
        check(not any(sh.lines()[sh.cursor()[0] + 1:]), 'the list went away')


def test_other_key_ends_selection_keeping_the_match():
    with editor() as sh:
        files(sh, 'apple', 'apricot', 'avocado')
        run(sh, 'MENUSELECT=0')
        sh.keys('ls a' + TAB + TAB + RIGHT)
        line_is(sh, 'ls apricot')
        sh.keys('x')
        line_is(sh, 'ls apricotx')


def test_menu_select_widget_and_accept_and_hold():
    with editor() as sh:
        files(sh, 'apple', 'apricot', 'avocado')
        run(sh, "bindkey '^X^M' menu-select")
        sh.keys('ls a\x18\x0d')
        line_is(sh, 'ls apple')
        sh.keys('\x1ba')  # accept-and-hold: apple stays, the next one follows
        line_is(sh, 'ls apple apricot')
        sh.keys('\r')
        line_is(sh, 'ls apple apricot ')


def test_menuscroll_and_menuprompt():
    with editor(size=(10, 60)) as sh:
        for i in range(100):
            files(sh, 'f%03d' % i)
        # 13 rows of 8 columns; 8 rows fit under the line with the prompt.
        run(sh, 'MENUSELECT=0 MENUSCROLL=2 LISTMAX=1000')
        sh.keys('ls f0' + TAB)
        settle(sh)
        sh.keys(TAB)
        shows(sh, 'Scrolling active: current selection at Top')
        line_is(sh, 'ls f000')
        check(sh.lines()[0] == P + 'ls f000', 'the line stays at the top:\n' + sh.text())
        for _ in range(8):
            sh.keys(DOWN)
        line_is(sh, 'ls f008')
        shows(sh, 'f009')
        check('f000' not in sh.text() and 'f001' not in sh.text(), 'scrolled:\n' + sh.text())
        check('f002' in sh.text(), 'two lines at a time:\n' + sh.text())
        r, c = find(sh, 'f008')
        check(cell(sh, r, c).reverse, 'f008 highlighted')
        sh.keys('\x1b<')  # the first match
        line_is(sh, 'ls f000')
        shows(sh, 'at Top')
        sh.keys(UP)  # round to the last row
        line_is(sh, 'ls f012')
        shows(sh, 'at Bottom')
        sh.keys('\x07')
        run(sh, 'MENUPROMPT="%M sel"')
        sh.keys('ls f0' + TAB)
        settle(sh)
        sh.keys(TAB)
        shows(sh, '1/100     sel')


def test_search_in_the_menu():
    with editor() as sh:
        files(sh, 'abc', 'abd', 'xbe', 'axe')
        run(sh, "MENUSELECT=0; bindkey '^Xs' history-incremental-search-forward")
        sh.keys('ls ' + TAB + TAB)
        line_is(sh, 'ls abc')
        sh.keys('\x18s')
        shows(sh, 'isearch:')
        sh.keys('x')
        line_is(sh, 'ls axe')
        shows(sh, 'isearch: x')
        sh.keys('q')
        shows(sh, 'failed isearch: xq')
        sh.keys('\x7f')
        shows(sh, 'isearch: x')
        sh.keys('\x18s')  # the next one
        line_is(sh, 'ls xbe')
        sh.keys('\r')
        line_is(sh, 'ls xbe ')


def test_unload_and_reload():
    with editor() as sh:
        files(sh, 'adir/', 'afile')
        run(sh, 'qmodload -u tarn/complist')
        run(sh, "QLS_COLORS='di=01;34'; MENUSELECT=0")
        mark = len(sh.transcript.getvalue())
        sh.keys('ls a' + TAB)
        shows(sh, 'afile')
        check('\x1b[01;34m' not in since(sh, mark), 'the plain printer is back')
        sh.keys('\x15')
        run(sh, 'bindkey -M menuselect; echo status $?')
        shows(sh, "no such keymap")
        run(sh, 'qmodload tarn/complist')
        mark = len(sh.transcript.getvalue())
        sh.keys('ls a' + TAB)
        shows(sh, 'afile')
        check('\x1b[01;34m' in since(sh, mark), 'colours again')
        sh.keys(TAB)
        line_is(sh, 'ls adir/')
        sh.keys(RIGHT)
        line_is(sh, 'ls afile')
        sh.keys('\r')
        line_is(sh, 'ls afile ')
        run(sh, 'bindkey -D menuselect; echo status $?')
        shows(sh, 'is protected')


def test_name_clash():
    with editor() as sh:
        run(sh, 'qmodload -u tarn/complist')
        run(sh, 'w() { }; ked -N menu-select w')
        run(sh, 'qmodload tarn/complist; echo status $?')
        shows(sh, "name clash when adding KED function `menu-select'")
        shows(sh, 'status 1')


h.main(globals())
