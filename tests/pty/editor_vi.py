#!/usr/bin/env python3
"""The line editor's vi mode on a terminal: each table row types some text
in insert mode, then keys, and gives the buffer that results with the
cursor marked by a caret sign (U+2038) in front of the character it is on.
Every row starts on a fresh line (interrupted and cleared between rows),
so the rows of a table share only the named buffers, the last change and
the history."""

import os
import unicodedata

import ptyharness as h
from ptyharness import check, check_eq

P = h.PS1
ESC = '\x1b'
CUR = '\u2038'
# A newline typed in insert mode.
NL = '\x16\n'


def vi(lang='C.UTF-8', env=None, size=(24, 80)):
    e = {'TERM': 'xterm', 'LANG': lang, 'LC_ALL': lang, 'VISUAL': 'vi', 'KEYTIMEOUT': '5'}
    if env:
        e.update(env)
    return h.shell(args=['-f', '-i'], env=e, screen=True, size=size)


def width(s):
    return sum(2 if unicodedata.east_asian_width(c) in 'WF' else 0 if unicodedata.combining(c) else 1
               for c in s)


def expand(marked):
    """The buffer as the screen shows it after the prompt: tabs to the next
    multiple of 8 columns."""
    out, col = '', len(P)
    for c in marked:
        if c == '\t':
            n = 8 - col % 8
            out += ' ' * n
            col += n
        else:
            out += c
            col = 0 if c == '\n' else col + width(c) if c != CUR else col
    return out


def where(marked):
    """The screen position of the cursor mark in a buffer shown after the prompt."""
    before = expand(marked).split(CUR)[0].split('\n')
    row = len(before) - 1
    return (row, (len(P) if row == 0 else 0) + width(before[-1]))


def fresh(sh):
    """Abandon the line and start a new one at the top of the screen."""
    sh.keys('\x03')
    sh.wait_screen(lambda s: s.lines()[s.cursor()[0]] == P.rstrip() and s.cursor()[1] == len(P),
                   'a new prompt')
    sh.keys('\x0c')
    sh.wait_screen(lambda s: s.text() == P.rstrip() and s.cursor() == (0, len(P)), 'a cleared screen')


def bells(sh):
    return sh.transcript.getvalue().count('\a')


def expect(sh, keys, marked, beep=None):
    b0 = bells(sh)
    sh.keys(keys)
    want = '\n'.join(l.rstrip() for l in (P + expand(marked).replace(CUR, '')).split('\n')).rstrip('\n')
    pos = where(marked)
    sh.wait_screen(lambda s: s.text() == want and s.cursor() == pos,
                   '%r after %r (cursor at %r)' % (marked, keys, pos))
    if beep is not None:
        sh.pump(0.1)
        check_eq(bells(sh) > b0, beep, 'a beep after %r' % keys)


def table(rows, lang='C.UTF-8', setup=(), env=None):
    with vi(lang, env) as sh:
        for cmd in setup:
            run(sh, cmd)
        if setup:
            fresh(sh)
        for row in rows:
            expect(sh, *row)
            fresh(sh)


def run(sh, cmd):
    n = sh.text().count(P)
    sh.keys(cmd + '\r')
    sh.wait_screen(lambda s: s.text().count(P) > n and s.lines()[s.cursor()[0]] == P.rstrip(),
                   'the prompt after %r' % cmd)


# ---- modes ----

def test_entering_insert_mode():
    table([
        ('abc' + ESC, 'ab' + CUR + 'c'),
        ('abc' + ESC + 'iX' + ESC, 'ab' + CUR + 'Xc'),
        ('abc' + ESC + 'aX' + ESC, 'abc' + CUR + 'X'),
        ('abc' + ESC + '0aX' + ESC, 'a' + CUR + 'Xbc'),
        ('  abc' + ESC + 'IX' + ESC, '  ' + CUR + 'Xabc'),
        ('abc' + ESC + '0AX' + ESC, 'abc' + CUR + 'X'),
        ('abc' + ESC + 'oX' + ESC, 'abc\n' + CUR + 'X'),
        ('abc' + ESC + 'OX' + ESC, CUR + 'X\nabc'),
        ('abcd' + ESC + '0lRXY' + ESC, 'aX' + CUR + 'Yd'),
        ('abcd' + ESC + '0l2sX' + ESC, 'a' + CUR + 'Xd'),
        ('abcd' + ESC + '0lCX' + ESC, 'a' + CUR + 'X'),
        ('  abcd' + ESC + 'SX' + ESC, '  ' + CUR + 'X'),
        # Escape at the start of a line stays; in command mode it fails.
        ('a' + ESC + '0i' + ESC, CUR + 'a'),
        # s on an empty line fails and stays in command mode.
        (ESC + 'sx', '', True),
    ])


def test_cursor_stays_off_the_end_in_command_mode():
    table([
        ('abc' + ESC + '$', 'ab' + CUR + 'c'),
        ('abc' + ESC + '0ll l', 'ab' + CUR + 'c', True),
        ('ab' + NL + 'cd' + ESC + 'k$', 'a' + CUR + 'b\ncd'),
        ('ab' + NL + 'cd' + ESC + 'kD', CUR + 'a\ncd'),
        ('ab' + NL + NL + 'cd' + ESC + 'k', 'ab\n' + CUR + '\ncd'),
    ])


def test_insert_mode_deletion_stops_where_the_insertion_began():
    table([
        # Backspace and ^W cannot reach text that was there before.
        ('abc' + ESC + 'ade\x7f\x7f\x7f', 'abc' + CUR, True),
        ('one' + ESC + 'a two\x17\x17\x17', 'one' + CUR, True),
        ('one' + ESC + 'a two three\x15', 'one' + CUR),
        # At the start of editing every character was typed in this line.
        ('one two\x17', 'one ' + CUR),
        ('one two\x15', CUR),
        # Insert-mode erasing does not replace what was yanked.
        ('keep' + ESC + '0yw$axy\x7f\x7f' + ESC + 'p', 'keepkee' + CUR + 'p'),
        # ^V takes the next key as it is.
        ('a\x16\x01b', 'a^Ab' + CUR),
    ])


# ---- motions ----

def test_character_and_line_motions():
    table([
        ('abcdef' + ESC + '0l', 'a' + CUR + 'bcdef'),
        ('abcdef' + ESC + '0 3l', 'abcd' + CUR + 'ef'),
        ('abcdef' + ESC + '2h', 'abc' + CUR + 'def'),
        ('abcdef' + ESC + '9h', CUR + 'abcdef'),
        ('abcdef' + ESC + '0h', CUR + 'abcdef', True),
        ('  abc' + ESC + '^', '  ' + CUR + 'abc'),
        ('  abc' + ESC + '0', CUR + '  abc'),
        ('abcdef' + ESC + '0$', 'abcde' + CUR + 'f'),
        ('abcdef' + ESC + '4|', 'abc' + CUR + 'def'),
        ('abcdef' + ESC + '|', CUR + 'abcdef'),
        ('abcdef' + ESC + '20|', 'abcde' + CUR + 'f'),
        # 10| : the 0 continues the count.
        ('abcdefghijkl' + ESC + '10|', 'abcdefghi' + CUR + 'jkl'),
    ])


def test_word_motions():
    table([
        ('one two three' + ESC + '0w', 'one ' + CUR + 'two three'),
        ('one two three' + ESC + '02w', 'one two ' + CUR + 'three'),
        ('foo.bar baz' + ESC + '0w', 'foo' + CUR + '.bar baz'),
        ('foo.bar baz' + ESC + '0W', 'foo.bar ' + CUR + 'baz'),
        ('foo.bar baz' + ESC + 'b', 'foo.bar ' + CUR + 'baz'),
        ('foo.bar baz' + ESC + '2b', 'foo.' + CUR + 'bar baz'),
        ('foo.bar baz' + ESC + '2B', CUR + 'foo.bar baz'),
        ('foo.bar baz' + ESC + '0e', 'fo' + CUR + 'o.bar baz'),
        ('foo.bar baz' + ESC + '0ee', 'foo' + CUR + '.bar baz'),
        ('foo.bar baz' + ESC + '0E', 'foo.ba' + CUR + 'r baz'),
        ('a_b1 c' + ESC + '0w', 'a_b1 ' + CUR + 'c'),
        # Newlines are blanks.
        ('ab' + NL + 'cd' + ESC + '0b', CUR + 'ab\ncd'),
        ('ab' + NL + 'cd' + ESC + 'kw', 'ab\n' + CUR + 'cd'),
        ('ab' + NL + 'cd' + ESC + 'k0dw', CUR + '\ncd'),
        ('ab' + NL + 'cd' + ESC + 'k0d2w', ''),
        # The word motions fail where they cannot move.
        ('ab' + ESC + 'w', 'a' + CUR + 'b', True),
        ('ab' + ESC + '0b', CUR + 'ab', True),
    ])


def test_find_character_motions():
    table([
        ('a-b-c-d' + ESC + '0f-', 'a' + CUR + '-b-c-d'),
        ('a-b-c-d' + ESC + '02f-', 'a-b' + CUR + '-c-d'),
        ('a-b-c-d' + ESC + '0f-;', 'a-b' + CUR + '-c-d'),
        ('a-b-c-d' + ESC + '0f-;;,', 'a-b' + CUR + '-c-d'),
        ('a-b-c-d' + ESC + '0t-', CUR + 'a-b-c-d', True),
        ('a-b-c-d' + ESC + '0lt-', 'a-' + CUR + 'b-c-d'),
        # A repeated t moves on from the character it stopped beside.
        ('a-b-c-d' + ESC + '0lt-;', 'a-b-' + CUR + 'c-d'),
        ('a-b-c-d' + ESC + 'F-', 'a-b-c' + CUR + '-d'),
        ('a-b-c-d' + ESC + 'T-', 'a-b-c-' + CUR + 'd', True),
        ('a-b-c-d' + ESC + 'hT-', 'a-b-' + CUR + 'c-d'),
        ('a-b-c-d' + ESC + '0fz', CUR + 'a-b-c-d', True),
        # Escape cancels; ^V takes the next key literally.
        ('a-b' + ESC + '0f' + ESC + 'x', CUR + '-b'),
        ('a\x16\x1bb' + ESC + '0f\x16\x1bx', 'a' + CUR + 'b'),
    ])


def test_bracket_matching():
    table([
        ('x (a [b] c) y' + ESC + '0%', 'x (a [b] c' + CUR + ') y'),
        ('x (a [b] c) y' + ESC + '0%%', 'x ' + CUR + '(a [b] c) y'),
        ('x (a [b] c) y' + ESC + '05|%', 'x (a [b' + CUR + '] c) y'),
        ('x (a [b] c) y' + ESC + '0d%', CUR + ' y'),
        ('no brackets' + ESC + '0%', CUR + 'no brackets', True),
        ('(unmatched' + ESC + '0%', CUR + '(unmatched', True),
    ])


def test_marks():
    table([
        ('one two three' + ESC + '0wmaw`a', 'one ' + CUR + 'two three'),
        ('one two three' + ESC + '0wma$`a``', 'one two thre' + CUR + 'e'),
        ('one two three' + ESC + '0wma$d`a', 'one ' + CUR + 'e'),
        ('one two three' + ESC + '`q', 'one two thre' + CUR + 'e', True),
        # 'a is the marked line's first non-blank, and line-wise.
        ('  ab' + NL + 'cd' + NL + 'ef' + ESC + "kkmaj'a", '  ' + CUR + 'ab\ncd\nef'),
        ('  ab' + NL + 'cd' + NL + 'ef' + ESC + "kmakd'a", CUR + 'ef'),
    ])


# ---- operators ----

def test_delete_with_motions():
    table([
        ('one two three' + ESC + '0dw', CUR + 'two three'),
        ('one two three' + ESC + '0d2w', CUR + 'three'),
        ('one two three' + ESC + '02dw', CUR + 'three'),
        ('one two three four' + ESC + '02d2w', CUR + ''),
        # dw on the last word goes to the line end.
        ('one two' + ESC + 'bdw', 'one' + CUR + ' '),
        ('one two three' + ESC + '0de', CUR + ' two three'),
        ('one two three' + ESC + 'db', 'one two ' + CUR + 'e'),
        ('one two three' + ESC + '0dfo', CUR + ' three'),
        ('one two three' + ESC + '0dto', CUR + 'o three'),
        ('one two three' + ESC + 'dFo', 'one tw' + CUR + 'e'),
        ('one two three' + ESC + '0wd$', 'one' + CUR + ' '),
        ('one two three' + ESC + '0wd0', CUR + 'two three'),
        ('  one two' + ESC + 'd^', '  ' + CUR + 'o'),
        ('one two three' + ESC + '0wdl', 'one ' + CUR + 'wo three'),
        ('one two three' + ESC + 'dh', 'one two thr' + CUR + 'e'),
        # Motions that fail or do not move leave everything.
        ('one two' + ESC + '0dfz', CUR + 'one two', True),
        ('one two' + ESC + '0dh', CUR + 'one two', True),
        ('one two' + ESC + '0dQ', CUR + 'one two', True),
        # A motion that changes the buffer is undone and the delete fails.
        ('one two' + ESC + '0dx', CUR + 'one two', True),
        ('one two' + ESC + '0dpx', CUR + 'ne two'),
    ])


def test_line_wise_operators():
    ml = 'one' + NL + '  two' + NL + 'three'
    table([
        (ml + ESC + 'dd', 'one\n  ' + CUR + 'two'),
        (ml + ESC + 'kdd', 'one\n' + CUR + 'three'),
        (ml + ESC + 'kkdd', '  ' + CUR + 'two\nthree'),
        (ml + ESC + 'kk2dd', CUR + 'three'),
        (ml + ESC + 'kkd2d', CUR + 'three'),
        # More lines than there are: nothing happens.
        (ml + ESC + 'kk4dd', 'on' + CUR + 'e\n  two\nthree', True),
        (ml + ESC + 'kdj', CUR + 'one'),
        (ml + ESC + 'dk', CUR + 'one'),
        (ml + ESC + 'kccX' + ESC, 'one\n' + CUR + 'X\nthree'),
        (ml + ESC + 'kyyP', 'one\n  ' + CUR + 'two\n  two\nthree'),
        (ml + ESC + 'kkyyjp', 'one\n  two\n' + CUR + 'one\nthree'),
        (ml + ESC + 'kk2yyGp', 'one\n  two\nthree\n' + CUR + 'one\n  two'),
        (ml + ESC + 'kk>>', '\t' + CUR + 'one\n  two\nthree'),
        (ml + ESC + 'kk>j', '\t' + CUR + 'one\n\t  two\nthree'),
        (ml + ESC + 'kk>j<<', CUR + 'one\n\t  two\nthree'),
        (ml + ESC + 'kk>>.', '\t\t' + CUR + 'one\n  two\nthree'),
        (ml + ESC + 'kk>w', 'on' + CUR + 'e\n  two\nthree', True),
        ('a b' + ESC + 'Ydd', CUR + ''),
        ('a b' + ESC + 'ddp', '\n' + CUR + 'a b'),
    ])


def test_change_and_yank_with_motions():
    table([
        # cw stops at the end of the word, not at the next one.
        ('one two three' + ESC + '0cwX' + ESC, CUR + 'X two three'),
        ('one two three' + ESC + '0c2wX' + ESC, CUR + 'X three'),
        ('one two three' + ESC + '0lcwX' + ESC, 'o' + CUR + 'X two three'),
        ('one two three' + ESC + '0wc$X' + ESC, 'one ' + CUR + 'X'),
        ('one two three' + ESC + '0wcbX' + ESC, CUR + 'Xtwo three'),
        ('one two three' + ESC + '0ywP', 'one' + CUR + ' one two three'),
        ('one two three' + ESC + 'ybP', 'one two thr' + CUR + 'ethree'),
        ('one two three' + ESC + '0wy$$p', 'one two three' + 'two thre' + CUR + 'e'),
        # yank leaves the text; the cursor at the start of what was taken.
        ('one two three' + ESC + 'yb', 'one two ' + CUR + 'three'),
        ('one two three' + ESC + '0wyw', 'one ' + CUR + 'two three'),
    ])


def test_swap_case_operator_and_command():
    table([
        ('abc Def' + ESC + '0~', 'A' + CUR + 'bc Def'),
        ('abc Def' + ESC + '05~', 'ABC d' + CUR + 'ef'),
        ('abc Def' + ESC + '09~', 'ABC dE' + CUR + 'F'),
        ('abc Def' + ESC + '0gUw', CUR + 'ABC Def'),
        ('abc Def' + ESC + '0wgUgU', CUR + 'ABC dEF'),
        ('abc Def' + ESC + '0wgUb', CUR + 'ABC Def'),
    ], setup=["bindkey -a gU vi-oper-swap-case"])


# ---- repeating ----

def test_repeat_last_change():
    table([
        ('abcdefgh' + ESC + '0x.', CUR + 'cdefgh'),
        ('abcdefgh' + ESC + '03x.', CUR + 'gh'),
        ('abcdefgh' + ESC + '03x2.', CUR + 'fgh'),
        ('abcdefgh' + ESC + '03x2..', CUR + 'h'),
        ('a b c d e' + ESC + '0dw.', CUR + 'c d e'),
        ('a b c d e' + ESC + '02dw.', CUR + 'e'),
        ('a b c d e' + ESC + '0d2w3.', ''),
        ('a b c d e' + ESC + '0cwX' + ESC + 'w.', 'X ' + CUR + 'X c d e'),
        ('ab' + ESC + 'iXY' + ESC + '.', 'aXX' + CUR + 'YYb'),
        ('ab' + ESC + '0rx$.', 'x' + CUR + 'x'),
        ('a' + NL + 'b' + NL + 'c' + ESC + 'dd.', CUR + 'a'),
        # A change that failed does not replace the last one.
        ('abcdefgh' + ESC + '0xdfz.', CUR + 'cdefgh', True),
        # Motions and yanks are no changes.
        ('abcdefgh' + ESC + '0xyl$.', 'bcdef' + CUR + 'g'),
    ])


def test_repeat_keeps_keys_read_past_a_shorter_binding():
    # j waits for a k; the u after it is read again as part of the
    # insertion, and so repeated with it.
    table([
        ('x' + ESC + 'ajumpjk.', 'xjumpjum' + CUR + 'p'),
    ], setup=['bindkey -M viins jk vi-cmd-mode'])


def test_repeat_before_any_change_fails():
    table([('abc' + ESC + '.', 'ab' + CUR + 'c', True)])


# ---- buffers and put ----

def test_named_buffers_and_put():
    table([
        ('one two' + ESC + '0"ayw$"ap', 'one twoone' + CUR + ' '),
        ('one two' + ESC + '0"ayw"byw$"ap', 'one twoone' + CUR + ' '),
        # A capital name appends.
        ('one two' + ESC + '0"ayww"Ayw0"aP', 'one tw' + CUR + 'oone two'),
        # Line-wise: "Ayy appends the line as a new line.
        ('one' + ESC + '"ayy"Ayy"ap', 'one\n' + CUR + 'one\none'),
        # 1 holds the latest deletion, 2 the one before.
        ('a' + NL + 'b' + NL + 'c' + ESC + 'dddd"2p', 'a\n' + CUR + 'c'),
        ('a' + NL + 'b' + NL + 'c' + ESC + 'dddd"1p', 'a\n' + CUR + 'b'),
        # The named buffers are left alone by deletions.
        ('one two' + ESC + '0"ayw' + 'dw$"ap', 'twoone' + CUR + ' '),
        ('abc' + ESC + '"' + ESC + 'x', 'a' + CUR + 'b', True),
        ('abc' + ESC + '0"!x', CUR + 'bc', True),
    ])


def test_put_before_and_after():
    table([
        ('abc' + ESC + '0xp', 'b' + CUR + 'ac'),
        ('abc' + ESC + '0xP', CUR + 'abc'),
        ('abc' + ESC + '0x3p', 'baa' + CUR + 'ac'),
        ('abc' + ESC + '0dw' + 'p', 'ab' + CUR + 'c'),
        ('ab' + ESC + 'yy3p', 'ab\n' + CUR + 'ab\nab\nab'),
        # Nothing yanked in buffer z.
        ('abc' + ESC + '"zp', 'ab' + CUR + 'c', True),
        # A line-wise put after the last line of a one-line buffer.
        ('x y' + ESC + 'yyp', 'x y\n' + CUR + 'x y'),
        # Successive deletions each replace the default buffer.
        ('a' + NL + 'b' + ESC + 'kddddp', '\n' + CUR + 'b'),
    ])


def test_other_deletions_yanks_and_comments():
    table([
        ('abcd' + ESC + 'X', 'ab' + CUR + 'd'),
        ('abcd' + ESC + '2X', 'a' + CUR + 'd'),
        ('abcd' + ESC + '0X', CUR + 'abcd', True),
        ('abcd' + ESC + 'XP', 'ab' + CUR + 'cd'),
        ('one two' + ESC + '0wgy$p', 'one twotw' + CUR + 'o'),
        ('one two' + ESC + '$gy', 'one tw' + CUR + 'o'),
        ('echo x' + ESC + 'g#', '#echo ' + CUR + 'x'),
        ('echo x' + ESC + 'g#g#', 'echo ' + CUR + 'x'),
        ('a' + NL + 'b' + ESC + 'g#', 'a\n#' + CUR + 'b'),
        ('  ab' + ESC + 'g0', CUR + '  ab'),
        ('one' + NL + 'two' + NL + 'x' + ESC + 'kkd+', CUR + 'x'),
        ('a' + NL + 'b' + NL + 'c' + NL + 'd' + ESC + 'dddddd"3p', 'a\n' + CUR + 'd'),
        # A change repeated with a named buffer uses it again.
        ('one two three' + ESC + '0"adw.$"ap', 'threetwo' + CUR + ' '),
        ('one two three' + ESC + '0dw"b.$"bp', 'threetwo' + CUR + ' '),
    ], setup=['bindkey -a gy vi-yank-eol g# vi-pound-insert g0 vi-beginning-of-line'])


# ---- replacing, joining ----

def test_replace_and_join():
    table([
        ('abcd' + ESC + '0rx', CUR + 'xbcd'),
        ('abcd' + ESC + '03rx', 'xx' + CUR + 'xd'),
        ('abcd' + ESC + '05rx', CUR + 'abcd', True),
        ('abcd' + ESC + '0lr\r', 'a\n' + CUR + 'cd'),
        ('abcd' + ESC + '0l2r\r', 'a\n' + CUR + 'd'),
        ('abcd' + ESC + '0r' + ESC + 'x', CUR + 'bcd'),
        ('ab' + NL + '   cd' + ESC + 'kJ', 'ab' + CUR + ' cd'),
        ('ab ' + NL + 'cd' + ESC + 'kJ', 'ab ' + CUR + 'cd'),
        ('a' + NL + 'b' + NL + 'c' + ESC + 'kk3J', 'a b' + CUR + ' c'),
        ('a' + NL + ESC + 'kJ', CUR + 'a'),
        ('ab' + ESC + 'J', 'a' + CUR + 'b', True),
    ])


# ---- undo ----

def test_undo_change():
    table([
        ('one two' + ESC + '0dwu', CUR + 'one two'),
        # u again redoes.
        ('one two' + ESC + '0dwuu', CUR + 'two'),
        ('one two' + ESC + '0dwuuu', CUR + 'one two'),
        # An insertion and what it typed are one step.
        ('one' + ESC + 'a two three' + ESC + 'u', 'on' + CUR + 'e'),
        ('one two' + ESC + '0cwxyz' + ESC + 'u', CUR + 'one two'),
        ('one two' + ESC + '0xxu', CUR + 'ne two'),
    ])


# ---- history ----

HIST = ['echo first', 'echo second', 'print third']


def test_history_motions():
    table([
        (ESC + 'k', 'print thir' + CUR + 'd'),
        (ESC + '3k', 'echo firs' + CUR + 't'),
        (ESC + '3kj', 'echo secon' + CUR + 'd'),
        (ESC + '-', CUR + 'print third'),
        (ESC + '2-+', CUR + 'print third'),
        ('x' + ESC + '1G', 'echo firs' + CUR + 't'),
        (ESC + 'kkG', CUR),
        (ESC + '99G', '', True),
        # Edits of a visited line stay with it while this line is read.
        (ESC + 'kxkj', 'print thi' + CUR + 'r'),
        # A mark belongs to its history line.
        (ESC + 'k0wmajj`a', 'print ' + CUR + 'third'),
    ], setup=HIST)


def test_history_search():
    with vi() as sh:
        for c in HIST:
            run(sh, c)
        fresh(sh)
        sh.keys(ESC + '/ech')
        sh.wait_screen(lambda s: '/ech_' in s.text(), 'the search string on the status line')
        sh.keys('\r')
        sh.wait_screen(lambda s: s.lines()[0] == P + 'echo second', 'the newest match')
        sh.keys('n')
        sh.wait_line(0, P + 'echo first')
        sh.keys('n')
        sh.pump(0.2)
        sh.wait_line(0, P + 'echo first')
        sh.keys('N')
        sh.wait_line(0, P + 'echo second')
        fresh(sh)
        # Backspace takes a whole character off the search string.
        sh.keys(ESC + '/th\u65e5\x7fi\r')
        sh.wait_line(0, P + 'print third')
        # ^ anchors; an empty string searches for the last one again.
        b0 = bells(sh)
        sh.keys('/^o\r')
        sh.wait_screen(lambda s: bells(s) > b0, 'a beep')
        sh.wait_line(0, P + 'print third')
        sh.keys('/^ec\r')
        sh.wait_line(0, P + 'echo second')
        sh.keys('/\r')
        sh.wait_line(0, P + 'echo first')
        sh.keys('/o\x7f\x7fx')
        # Backspace past the start left the search; x deleted a character.
        sh.wait_line(0, P + 'echo firs')
        fresh(sh)
        sh.keys(ESC + '3k?sec\r')
        sh.wait_line(0, P + 'echo second')
        sh.keys('?first\r')
        sh.pump(0.2)
        sh.wait_line(0, P + 'echo second')
        fresh(sh)
        # A user widget can search with an argument.
        run(sh, "f() { ked vi-history-search-backward '^echo f' }; ked -N f; bindkey -a Q f")
        fresh(sh)
        sh.keys(ESC + 'Q')
        sh.wait_line(0, P + 'echo first')


# ---- characters ----

def test_utf8_whole_characters():
    table([
        ('aé日b' + ESC + 'h', 'aé' + CUR + '日b'),
        ('aé日b' + ESC + '0lx', 'a' + CUR + '日b'),
        ('aé日b' + ESC + '0l~', 'aÉ' + CUR + '日b'),
        ('aé日b' + ESC + '0rü', CUR + 'üé日b'),
        ('aé日b' + ESC + '0l2r日', 'a日' + CUR + '日b'),
        ('aé日b' + ESC + '0f日', 'aé' + CUR + '日b'),
        ('aé日b' + ESC + '0dt日', CUR + '日b'),
        ('été où' + ESC + '0w', 'été ' + CUR + 'où'),
        ('été où' + ESC + 'de', 'été o' + CUR + 'ù', True),
        ('été où' + ESC + 'bde', 'été' + CUR + ' '),
        ('e\u0301x' + ESC + '0x', CUR + 'x'),
        ('aé' + ESC + 'a\x7fb\x7f\x7f' + ESC, 'a' + CUR + 'é', True),
    ])


def test_c_locale_edits_bytes():
    with vi(lang='C') as sh:
        sh.keys('ab\u00e9' + ESC + 'x')
        # One byte of the two went.
        sh.wait_screen(lambda s: s.lines()[0].startswith(P + 'ab') and len(s.lines()[0]) > len(P) + 2,
                       'one byte left of the character')
        fresh(sh)
        expect(sh, 'abc' + ESC + '0~', 'A' + CUR + 'bc')


# ---- the keymaps and the panic ----

def test_bindkey_v_and_set_o_vi():
    with vi(env={'VISUAL': ''}) as sh:
        run(sh, 'bindkey -v')
        fresh(sh)
        expect(sh, 'one two' + ESC + 'bD', 'one' + CUR + ' ')
        fresh(sh)
        run(sh, 'set -o emacs')
        fresh(sh)
        expect(sh, 'ab\x02\x02X', 'X' + CUR + 'ab')
        fresh(sh)
        run(sh, 'set -o vi')
        fresh(sh)
        expect(sh, 'one two' + ESC + 'bD', 'one' + CUR + ' ')


def test_caps_lock_panic():
    with vi() as sh:
        run(sh, 'bindkey -a Z vi-caps-lock-panic')
        fresh(sh)
        sh.keys('ab' + ESC + 'Z')
        sh.wait_screen(lambda s: 'press a lowercase key to continue' in s.text(), 'the message')
        sh.keys('XY')
        sh.pump(0.2)
        check('press a lowercase key' in sh.text(), 'capitals ended it')
        sh.keys('qx')
        sh.wait_screen(lambda s: s.text() == P + 'a', 'the lower-case key ended it; x ran')
        fresh(sh)
        sh.keys('ab' + ESC + 'Z')
        sh.wait_screen(lambda s: 'press a lowercase key' in s.text(), 'the message again')
        # An interrupt ends it too (the line stays), and a hang-up ends the
        # shell.
        sh.keys('\x03')
        sh.wait_screen(lambda s: s.text() == P + 'ab', 'the message gone')
        sh.keys('Z')
        sh.wait_screen(lambda s: 'press a lowercase key' in s.text(), 'the message once more')
        os.kill(sh.pid, 1)
        sh.wait_exit()


h.main(globals())
