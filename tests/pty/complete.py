#!/usr/bin/env python3
"""Completion on a terminal, checked on a model of the screen: what Tab
does with no set-up at all, completion functions with compadd and
compset, the special parameters, matchers, menus both ways, the list and
the question before a long one, expansion, and bad input."""

import os
import time

import ptyharness as h
from ptyharness import check, check_eq

P = h.PS1
TAB = '\t'


def editor(size=(24, 80), lang='C.UTF-8', env=None):
    e = {'TERM': 'xterm', 'LANG': lang, 'LC_ALL': lang}
    if env:
        e.update(env)
    return h.shell(args=['-f', '-i'], env=e, screen=True, size=size)


def run(sh, cmd):
    # Whatever is on the line goes first, so the count of prompts tells
    # when the command has run.
    sh.keys('\x15')
    sh.wait_screen(lambda s: s.lines()[s.cursor()[0]] == P.rstrip(), 'an empty line')
    n = sh.text().count(P)
    sh.keys(cmd + '\r')
    sh.wait_screen(lambda s: s.text().count(P) > n and s.lines()[s.cursor()[0]] == P.rstrip(),
                   'the prompt after %r' % cmd)


def shows(sh, text, secs=None):
    sh.wait_screen(lambda s: text in s.text(), repr(text), secs)


def line_is(sh, text, secs=None):
    """The line the cursor is on."""
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
            os.makedirs(os.path.dirname(path), exist_ok=True)
            open(path, 'w').close()


def commands(sh, *names):
    d = os.path.join(sh.home, 'bin')
    os.makedirs(d, exist_ok=True)
    for n in names:
        p = os.path.join(d, n)
        with open(p, 'w') as f:
            f.write('#!/bin/sh\n')
        os.chmod(p, 0o755)
    run(sh, 'PATH=$HOME/bin')


def compfunc(sh, body, key='^T', name='tc'):
    run(sh, "_%s() { %s }; ked -C %s complete-word _%s; bindkey '%s' %s" % (name, body, name, name, key, name))


# ---- out of the box ----

def test_tab_completes_commands_then_lists_then_cycles():
    with editor() as sh:
        commands(sh, 'frobnicate', 'frobber', 'frobozz')
        sh.keys('fro' + TAB)
        line_is(sh, 'frob')  # the common part first
        sh.keys(TAB)
        shows(sh, 'frobber     frobnicate  frobozz')  # then the list
        sh.keys(TAB)
        line_is(sh, 'frobber')  # then a menu
        sh.keys(TAB)
        line_is(sh, 'frobnicate')
        sh.keys(TAB + TAB)
        line_is(sh, 'frobber')  # round again
        sh.keys(' ')
        line_is(sh, 'frobber ')


def test_single_command_and_builtins_functions_aliases():
    with editor() as sh:
        commands(sh, 'uniqtool')
        run(sh, 'myfunc() { : }; alias myalias=true')
        sh.keys('uniqt' + TAB)
        line_is(sh, 'uniqtool ')
        sh.keys('\x15myf' + TAB)
        line_is(sh, 'myfunc ')
        sh.keys('\x15myal' + TAB)
        line_is(sh, 'myalias ')
        sh.keys('\x15compad' + TAB)  # a builtin of a module not loaded yet
        line_is(sh, 'compadd ')
        sh.keys('\x15repea' + TAB)  # a reserved word
        line_is(sh, 'repeat ')


def test_files_directories_and_quoting():
    with editor() as sh:
        files(sh, 'src/main.c', 'src/main.h', 'my file', 'docs/', 'single')
        sh.keys('cat sr' + TAB)
        line_is(sh, 'cat src/')
        sh.keys('m' + TAB)
        line_is(sh, 'cat src/main.')
        sh.keys('\x15cat my' + TAB)
        line_is(sh, 'cat my\\ file ')
        sh.keys('\x15cat si' + TAB)
        line_is(sh, 'cat single ')
        # cd offers directories only.
        sh.keys('\x15cd ' + TAB)
        shows(sh, 'docs/  src/')
        check('single' not in sh.lines()[1], 'no plain files after cd')


def test_autoremoveslash_and_redirection():
    with editor() as sh:
        files(sh, 'dir/inner', 'out.txt')
        sh.keys('ls di' + TAB)
        line_is(sh, 'ls dir/')
        sh.keys('/')  # the slash typed again replaces the one inserted
        line_is(sh, 'ls dir/')
        sh.keys('\x15echo hi > ou' + TAB)
        line_is(sh, 'echo hi > out.txt ')


def test_parameters_users_and_tilde():
    with editor() as sh:
        run(sh, 'zzfirst=1 zzsecond=2 zzonly_one=3')
        sh.keys('echo $zzo' + TAB)
        line_is(sh, 'echo $zzonly_one ')
        sh.keys('\x15echo ${zzf' + TAB)
        line_is(sh, 'echo ${zzfirst}')
        sh.keys('\x15echo $zz' + TAB + TAB)
        shows(sh, 'zzfirst     zzonly_one  zzsecond')
        sh.keys('\x15echo ~roo' + TAB)
        line_is(sh, 'echo ~root/')
        sh.keys('\x15echo $((zzs' + TAB)
        line_is(sh, 'echo $((zzsecond')


def test_tab_at_line_start_inserts_a_tab():
    with editor() as sh:
        sh.keys(TAB + 'echo x')
        sh.wait_screen(lambda s: s.lines()[0].endswith('echo x') and s.lines()[0] != P + 'echo x', 'a tab')


def test_expand_or_complete_expands_globs_and_parameters():
    with editor() as sh:
        files(sh, 'a1', 'a2')
        run(sh, 'v=value')
        sh.keys('echo a*' + TAB)
        line_is(sh, 'echo a1 a2 ')
        sh.keys('\x15echo $v' + TAB)
        line_is(sh, 'echo value')
        sh.keys('\x15echo zz*' + TAB)  # nothing matches: the word stays
        line_is(sh, 'echo zz*')
        sh.keys('\x15echo $(echo one two)' + TAB)
        line_is(sh, 'echo one two ')
        run(sh, "bindkey '^Xg' list-expand")
        sh.keys('\x15echo a*\x18g')
        shows(sh, 'a1  a2')
        line_is(sh, 'echo a*')


def test_second_line_of_a_command_sees_the_first():
    with editor() as sh:
        files(sh, 'target.txt')
        sh.keys('for f in 1\rdo cat tar' + TAB)
        shows(sh, 'for> do cat target.txt')
        sh.wait_cursor((1, len('for> do cat target.txt ')))


# ---- completion functions ----

def test_compadd_groups_explanations_and_menu_both_ways():
    with editor() as sh:
        compfunc(sh, "compadd -J g1 -X 'first %Bgroup%b' foo bar baz; compadd -J g2 -X '%Usec%uond %n' quux")
        run(sh, "bindkey '^[[Z' reverse-menu-complete '^X^M' menu-complete")
        sh.keys('echo \x14')
        shows(sh, 'first group\nbar  baz  foo\nsecond 1\nquux')
        # The explanations' attributes reach the screen, and end where they are turned off.
        rows = sh.screen.display
        r = next(i for i, l in enumerate(rows) if l.startswith('first group'))
        buf = sh.screen.buffer
        check(buf[r][6].bold and not buf[r][0].bold and not buf[r + 1][0].bold, 'bold "group" only')
        check(buf[r + 2][0].underscore and not buf[r + 2][4].underscore, 'underlined "sec" only')
        sh.keys('\x14')
        line_is(sh, 'echo bar')
        sh.keys('\x14\x14\x14')
        line_is(sh, 'echo quux')
        sh.keys('\x14')  # wraps to the first match of the first group
        line_is(sh, 'echo bar')
        sh.keys('\x1b[Z')  # and back the other way
        line_is(sh, 'echo quux')


def test_compadd_prefixes_suffixes_and_unsorted_groups():
    with editor() as sh:
        compfunc(sh, "compadd -V u zeta alpha zeta mid")
        sh.keys('x \x14')
        shows(sh, 'zeta   alpha  mid')  # unsorted, duplicates dropped
        compfunc(sh, "compadd -V u -1 a a b a", key='^Y', name='ty')
        sh.keys('\x15x \x19')
        shows(sh, 'a  b  a')
        compfunc(sh, "compadd -P pre- -S '=post' only", key='^O', name='to')
        sh.keys('\x15x \x0f')
        line_is(sh, 'x pre-only=post')


def test_compadd_removable_suffix_and_display_strings():
    with editor() as sh:
        compfunc(sh, "compadd -q -S , item")
        sh.keys('x \x14')
        line_is(sh, 'x item,')
        sh.keys(' ')  # the suffix goes when a space is typed
        line_is(sh, 'x item ')
        compfunc(sh, "d=('one -- the first' 'two -- the second'); compadd -l -d d one two", key='^Y',
                 name='ty')
        sh.keys('\x15x \x19')
        shows(sh, 'one -- the first\ntwo -- the second')


def test_compadd_matcher_ignored_suffixes_and_arrays():
    with editor() as sh:
        compfunc(sh, "compadd -M 'm:{a-z}={A-Z}' README Makefile")
        sh.keys('x rea\x14')
        line_is(sh, 'x README ')
        compfunc(sh, "compadd -M 'r:|.=* r:|=*' alpha.beta alpha.bravo", key='^Y', name='ty')
        sh.keys('\x15x a.b\x19')
        line_is(sh, 'x alpha.b')
        compfunc(sh, "ign=(.o); compadd -F ign prog.c prog.o", key='^O', name='to')
        sh.keys('\x15x pro\x0f')
        line_is(sh, 'x prog.c ')
        compfunc(sh, "compadd -A got -O all -U zero one; print -r -- \"${got[*]}/${all[*]}\" > $HOME/arr",
                 key='^B', name='tb')
        sh.keys('\x15x o\x02')
        settle(sh)
        check_eq(open(os.path.join(sh.home, 'arr')).read(), 'zero one/zero one\n', 'the -A and -O arrays')


def test_compadd_message_when_nothing_matches_and_errors():
    with editor() as sh:
        compfunc(sh, "compadd -x 'no such thing'")
        sh.keys('x \x14')
        shows(sh, 'no such thing')
        sh.keys('\x15')
        run(sh, 'compadd foo')
        shows(sh, 'compadd: can only be called from completion function')
        compfunc(sh, "compadd -M 'x:a=b' foo 2> $HOME/err", key='^Y', name='ty')
        sh.keys('x \x19')
        settle(sh)
        check("unknown matcher character `x'" in open(os.path.join(sh.home, 'err')).read(),
              'the matcher error')


def test_special_parameters_and_compstate():
    with editor() as sh:
        compfunc(sh, "print -r -- \"$CURRENT|${words[*]}|$PREFIX|$SUFFIX|${compstate[context]}|"
                     "${compstate[insert]}\" > $HOME/p; compadd -U done")
        run(sh, 'setopt completeinword')
        sh.keys('git comm more' + '\x02' * 7 + '\x14')
        settle(sh)
        check_eq(open(os.path.join(sh.home, 'p')).read(), '2|git comm more|co|mm|command|automenu-unambiguous\n',
                 'the parameters')
        compfunc(sh, "compadd a1 a2 a3; compstate[insert]='2 '", key='^Y', name='ty')
        sh.keys('\x15x a\x19')
        line_is(sh, 'x a2 ')


def test_compset_moves_prefixes():
    with editor() as sh:
        compfunc(sh, "compset -P '*/'; print -r -- \"$IPREFIX|$PREFIX\" > $HOME/p; compadd cfile")
        sh.keys('x a/b/c\x14')
        line_is(sh, 'x a/b/cfile ')
        check_eq(open(os.path.join(sh.home, 'p')).read(), 'a/b/|c\n', 'the longest match moves')
        compfunc(sh, "compset -P 1 '*/'; print -r -- \"$IPREFIX|$PREFIX\" > $HOME/p; compadd -U x",
                 key='^Y', name='ty')
        sh.keys('\x15x a/b/c\x19')
        settle(sh)
        check_eq(open(os.path.join(sh.home, 'p')).read(), 'a/|b/c\n', 'the shortest')
        compfunc(sh, "compset -n 2; print -r -- \"$CURRENT ${words[*]}\" > $HOME/p; compadd -U x",
                 key='^O', name='to')
        sh.keys('\x15sudo ls -l\x0f')
        settle(sh)
        check_eq(open(os.path.join(sh.home, 'p')).read(), '2 ls -l\n', 'words restricted')


def test_read_of_the_line_and_restore_auto():
    with editor() as sh:
        compfunc(sh, "read -c a b; read -cA w; read -cn n; read -l l; read -ln c; "
                     "print -r -- \"$a|$b|${#w}|$n|$l|$c\" > $HOME/p; compadd -U x")
        sh.keys('ls -l fo\x14')
        settle(sh)
        check_eq(open(os.path.join(sh.home, 'p')).read(), 'ls|-l fo|3|3|ls -l fo|9\n', 'read -c and -l')
        run(sh, 'read -c x; print st=$?')
        shows(sh, 'option valid only in functions called from completion')
        # A helper's compset is undone when it returns under restore=auto,
        # and kept without it.
        compfunc(sh, "_h() { compset -P '*/' }; compstate[restore]=auto; _h; "
                     "print -r -- \"1:$PREFIX\" > $HOME/p; compstate[restore]=''; _h; "
                     "print -r -- \"2:$PREFIX\" >> $HOME/p; compadd -U x", key='^Y', name='ty')
        sh.keys('\x15x a/b\x19')
        settle(sh)
        check_eq(open(os.path.join(sh.home, 'p')).read(), '1:a/b\n2:b\n', 'restore=auto')


def test_conditions_in_and_outside_completion_functions():
    with editor() as sh:
        compfunc(sh, "if [[ -prefix -- ]]; then compadd -- --long; else compadd short; fi")
        sh.keys('x --l\x14')
        line_is(sh, 'x --long ')


# ---- the list ----

def test_long_list_asks_first():
    with editor(size=(24, 80)) as sh:
        compfunc(sh, "compadd item{001..300}")
        run(sh, 'LISTMAX=0')
        sh.keys('x it\x14\x14')
        shows(sh, 'tarn: do you wish to see all 300 possibilities (34 lines)?')
        sh.keys('n')
        sh.wait_screen(lambda s: 'possibilities' not in s.text(), 'the question gone')
        line_is(sh, 'x item')
        # A negative LISTMAX asks when the list has more lines than it says.
        run(sh, 'LISTMAX=-50')
        sh.keys('x it\x14\x14')
        shows(sh, 'item300')
        run(sh, 'LISTMAX=-5')
        sh.keys('x it\x14\x14')
        shows(sh, 'tarn: do you wish to see all 300 possibilities (34 lines)?')
        sh.keys('y')
        shows(sh, 'item300')


def test_listpacked_and_listrowsfirst():
    with editor(size=(24, 10)) as sh:
        with open(os.path.join(sh.home, 'f'), 'w') as f:
            f.write("_tc() { compadd a b c d e f g }; ked -C tc complete-word _tc; bindkey '^T' tc\n"
                    "_ty() { compadd a b c d kkkkkk }; ked -C ty complete-word _ty; bindkey '^Y' ty\n")
        run(sh, '. ~/f')
        sh.keys('x \x14')
        shows(sh, 'a  c  e  g\nb  d  f')  # down the columns
        run(sh, 'setopt listrowsfirst')
        sh.keys('x \x14')
        shows(sh, 'a  b  c  d\ne  f  g')  # along the rows
        run(sh, 'unsetopt listrowsfirst')
        sh.keys('x \x19')
        shows(sh, 'a\nb\nc\nd\nkkkkkk')  # one column as wide as the longest
        run(sh, 'setopt listpacked')
        sh.keys('x \x19')
        shows(sh, 'a  d\nb  kkkkkk\nc')  # each column its own width


def test_escapes_in_matches_are_shown_not_sent():
    with editor() as sh:
        compfunc(sh, "compadd $'bad\\e[31mred' $'nl\\nx' $'inv\\xff'")
        sh.keys('x \x14')
        shows(sh, 'bad^[[31mred')
        shows(sh, 'inv<FF>')
        shows(sh, 'nl^Jx')


# ---- bad input ----

def test_long_line_unbalanced_quotes_and_unreadable_directory():
    with editor() as sh:
        files(sh, 'locked/f')
        os.chmod(os.path.join(sh.home, 'locked'), 0)
        sh.keys('echo "unclosed (' + TAB)
        settle(sh)
        if os.geteuid() != 0:  # root reads it anyway
            sh.keys('\x15ls locked/' + TAB)
            settle(sh)
            line_is(sh, 'ls locked/')
        os.chmod(os.path.join(sh.home, 'locked'), 0o755)
        sh.keys('\x15: ' + 'x' * 100000 + ' fil' + TAB)
        sh.wait_screen(lambda s: s.lines()[s.cursor()[0]].endswith('fil'), 'the long line', secs=60)
        sh.keys('\x15echo ok\r')
        shows(sh, '\nok\n', secs=60)


def test_failing_looping_and_huge_completion_functions():
    with editor() as sh:
        compfunc(sh, "nosuchcommand_xyz; return 1")
        sh.keys('x a\x14')
        shows(sh, 'command not found: nosuchcommand_xyz')
        sh.keys('\x15echo still fine\r')
        shows(sh, '\nstill fine')
        compfunc(sh, "while :; do :; done", key='^Y', name='ty')
        sh.keys('\x19')
        settle(sh, 0.5)
        sh.keys('\x03')  # an interrupt gives the line back
        sh.wait_screen(lambda s: P.rstrip() in s.text(), 'the prompt again')
        compfunc(sh, "compadd -U -- {1..100000}", key='^O', name='to')
        start = time.time()
        sh.keys('x \x0f')
        shows(sh, 'do you wish to see all 100000 possibilities', secs=60)
        check(time.time() - start < 30 * h.Config.factor, '100000 matches took %.1fs' % (time.time() - start))
        sh.keys('n')


h.main(globals())
