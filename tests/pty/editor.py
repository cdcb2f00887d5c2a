#!/usr/bin/env python3
"""The line editor on a terminal, checked on a model of the screen: typing
and cursor keys, multi-line buffers, long lines, the right prompt, user
widgets, vared, the key time-out, window changes, UTF-8 text and bad
input."""

import os
import time

import ptyharness as h
from ptyharness import check, check_eq

P = h.PS1
LEFT, RIGHT, UP, DOWN = '\x1b[D', '\x1b[C', '\x1b[A', '\x1b[B'


def editor(size=(24, 80), env=None, lang='C.UTF-8', args=('-f', '-i'), **kw):
    e = {'TERM': 'xterm', 'LANG': lang, 'LC_ALL': lang}
    if env:
        e.update(env)
    return h.shell(args=list(args), env=e, screen=True, size=size, **kw)


def run(sh, cmd):
    """Type a command and Enter; wait for the prompt after it."""
    n = sh.text().count(P)
    sh.keys(cmd + '\r')
    sh.wait_screen(lambda s: s.text().count(P) > n and s.lines()[s.cursor()[0]] == P.rstrip(),
                   'the prompt after %r' % cmd)


# ---- typing and moving ----

def test_typing_and_cursor_keys():
    with editor() as sh:
        sh.keys('echo hello world')
        sh.wait_line(0, P + 'echo hello world')
        sh.keys(LEFT * 5 + 'X')
        sh.wait_line(0, P + 'echo hello Xworld')
        check_eq(sh.cursor(), (0, len(P) + 12), 'cursor')
        sh.keys('\x01')  # beginning-of-line
        sh.wait_cursor((0, len(P)))
        sh.keys('\x05\x7f\x7f')  # end-of-line, two backspaces
        sh.wait_line(0, P + 'echo hello Xwor')
        sh.keys(RIGHT + '\r')
        sh.wait_line(1, 'hello Xwor')


def test_history_up_and_down():
    with editor() as sh:
        run(sh, 'echo one')
        run(sh, 'echo two')
        sh.keys('partial' + UP)
        sh.wait_line(4, P + 'echo two')
        sh.keys(UP)
        sh.wait_line(4, P + 'echo one')
        sh.keys(DOWN + DOWN)
        # The line being typed comes back as it was left.
        sh.wait_line(4, P + 'partial')


def test_kill_and_yank():
    with editor() as sh:
        sh.keys('one two three\x17')  # backward-kill-word
        sh.wait_line(0, P + 'one two')
        sh.keys('\x01\x0b')  # kill-line from the start
        sh.wait_line(0, P)
        sh.keys('\x19')  # yank
        sh.wait_line(0, P + 'one two')
        sh.keys(' \x19\x1by')  # yank, then yank-pop to the older kill
        sh.wait_line(0, P + 'one two  three')


def test_undo_steps_back_one_widget_at_a_time():
    with editor() as sh:
        sh.keys('abc')
        sh.wait_line(0, P + 'abc')
        sh.keys('\x1f')
        sh.wait_line(0, P + 'ab')
        sh.keys('\x1f\x1f')
        sh.wait_line(0, P)


def test_typing_in_the_middle_writes_little():
    with editor() as sh:
        sh.keys('echo ' + 'a' * 60 + LEFT * 50)
        sh.wait_cursor((0, len(P) + 15))
        before = len(sh.transcript.getvalue())
        sh.keys('X')
        sh.wait_line(0, P + 'echo ' + 'a' * 10 + 'X' + 'a' * 50)
        # The rest of the line moves over on the terminal; it is not sent.
        sent = len(sh.transcript.getvalue()) - before
        check(sent < 20, 'inserting one character wrote %d bytes' % sent)
        before = len(sh.transcript.getvalue())
        sh.keys('\x7f')
        sh.wait_line(0, P + 'echo ' + 'a' * 60)
        sent = len(sh.transcript.getvalue()) - before
        check(sent < 20, 'deleting one character wrote %d bytes' % sent)


def test_multi_line_buffer():
    with editor() as sh:
        sh.keys('echo a\x1b\rprint b')  # ESC RET inserts a newline
        sh.wait_text(P + 'echo a\nprint b')
        sh.keys(UP)
        sh.wait_cursor((0, len(P) + 6))
        sh.keys('\r')
        sh.wait_screen(lambda s: s.lines()[2:4] == ['a', 'b'], 'both commands run')


def test_continuation_lines_show_the_second_prompt():
    with editor(env={'PS2': '> '}) as sh:
        sh.keys('for i in 1 2\r')
        sh.wait_line(1, '> ')
        sh.keys('do echo $i; done\r')
        sh.wait_screen(lambda s: s.lines()[2:4] == ['1', '2'], 'the loop ran')


def test_long_line_wraps_and_scrolls():
    with editor(size=(5, 20)) as sh:
        text = ''.join(chr(ord('a') + i % 26) for i in range(150))
        sh.keys(': ' + text)
        # The end of the text with the cursor stays on the screen; what is
        # above is marked.
        sh.wait_screen(lambda s: s.lines()[0].endswith('>....'), 'the marker of hidden text')
        sh.keys('\x01')
        sh.wait_screen(lambda s: s.lines()[0].startswith(P + ': ab') and s.lines()[-1].endswith(' <....'),
                       'the start, and the marker of text below')


def test_line_exactly_as_wide_as_the_screen():
    with editor(size=(10, 20)) as sh:
        sh.keys('x' * (20 - len(P)))
        sh.wait_cursor((1, 0))
        sh.keys('y')
        sh.wait_line(1, 'y')


def test_right_prompt_comes_and_goes():
    with editor(env={'RPS1': '[r]'}, size=(24, 30)) as sh:
        sh.wait_line(0, P + ' ' * (30 - len(P) - 4) + '[r]')
        sh.keys('x' * 20)
        # No room left: the right prompt is gone.
        sh.wait_line(0, P + 'x' * 20)
        sh.keys('\x7f' * 18)
        sh.wait_line(0, P + 'xx' + ' ' * (30 - len(P) - 6) + '[r]')


# ---- widgets and key bindings ----

def test_user_widget_reads_and_writes_the_buffer():
    with editor() as sh:
        run(sh, "w() { BUFFER=\"[$LBUFFER|$RBUFFER]\"; CURSOR=2 }; ked -N w; bindkey '^T' w")
        sh.keys('ab' + LEFT + '\x14')
        sh.wait_line(1, P + '[a|b]')
        sh.wait_cursor((1, len(P) + 2))


def test_key_timeout_runs_the_shorter_binding():
    with editor(env={'KEYTIMEOUT': '20'}) as sh:
        run(sh, "bindkey -s ab XY")
        sh.keys('a')
        # After the time-out the "a" alone is inserted.
        sh.wait_line(1, P + 'a')
        sh.keys('ab')
        sh.wait_line(1, P + 'aXY')


def test_numeric_argument_repeats():
    with editor() as sh:
        sh.keys('\x1b3x')
        sh.wait_line(0, P + 'xxx')
        sh.keys('\x1b1\x1b2\x7f')
        sh.wait_line(0, P)


def test_ctrl_d_ends_the_shell_on_an_empty_line():
    with editor() as sh:
        sh.keys('ab\x04')
        # Not empty: delete-char (nothing after the cursor) just beeps.
        sh.wait_line(0, P + 'ab')
        sh.keys('\x15\x04')
        check_eq(sh.wait_exit(), 0, 'status')


def test_ignoreeof_warns_instead():
    with editor() as sh:
        run(sh, 'setopt ignoreeof')
        sh.keys('\x04')
        sh.wait_screen(lambda s: "tarn: use 'exit' to exit." in s.text(), 'the warning')


def test_vared_edits_a_parameter():
    with editor() as sh:
        run(sh, 'x=old')
        sh.keys('vared -p "edit: " x\r')
        sh.wait_line(2, 'edit: old')
        sh.keys('\x7f\x7f\x7fnew\r')
        sh.wait_line(2, 'edit: new')
        sh.wait_line(3, P)
        run(sh, 'print -r -- "[$x]"')
        check('[new]' in sh.text(), 'the value: ' + sh.text())


def test_window_size_change_redraws_at_once():
    with editor(size=(10, 40)) as sh:
        sh.keys('echo ' + 'w' * 40)
        sh.wait_line(1, 'w' * 12)
        sh.p.setwinsize(10, 60)
        sh.screen.resize(10, 60)
        sh.wait_screen(lambda s: any(l.endswith('w' * 40) and l.startswith(P) for l in s.lines()),
                       'the line redrawn one line wide')


def test_clear_screen():
    with editor() as sh:
        run(sh, 'echo junk')
        sh.keys('abc\x0c')
        sh.wait_text(P + 'abc')


def test_named_commands_describe_key_and_where_is():
    with editor() as sh:
        sh.keys('\x1bx')
        sh.wait_screen(lambda s: 'execute: _' in s.text(), 'the named-command prompt')
        sh.keys('describe-key-b\t')
        sh.wait_screen(lambda s: 'execute: describe-key-briefly_' in s.text(), 'the completed name')
        sh.keys('\r')
        sh.wait_screen(lambda s: 'Describe key briefly: _' in s.text(), 'its status line')
        sh.keys('\x01')
        sh.wait_screen(lambda s: '^A is beginning-of-line' in s.text(), 'the description')
        sh.keys('\x1bxwhere-is\rend-of-line\r')
        sh.wait_screen(lambda s: 'end-of-line is on ^E' in s.text(), 'where it is bound')
        sh.keys('\x1bxwhere-is\rvi-join\r')
        sh.wait_screen(lambda s: 'vi-join is on ^X^J' in s.text(), 'a two-key binding')


def test_read_k_inside_a_widget_reads_the_next_key():
    with editor() as sh:
        run(sh, "w() { read -k 1 key; LBUFFER+=\"<$key>\" }; ked -N w; bindkey '^T' w")
        sh.keys('a\x14z')
        sh.wait_line(1, P + 'a<z>')


def test_a_closed_watched_descriptor_is_dropped():
    with editor() as sh:
        run(sh, "exec 7< <(sleep 0.3); h() { print -r -- \"handler $*\" >> log }; ked -F 7 h")
        time.sleep(1.5 * h.Config.factor)
        sh.keys('echo alive\r')
        sh.wait_screen(lambda s: 'alive' in s.lines()[-1] or 'alive' in s.text(), 'the shell still answering')
        sh.pump(0.3)
        with open(os.path.join(sh.home, 'log')) as f:
            calls = f.read().splitlines()
        check(1 <= len(calls) <= 3, 'the handler was called %d times' % len(calls))
        check('handler removed' in sh.text() or 'is removed' in sh.text(), 'no report of the removal')


def test_trap_output_while_editing_is_followed_by_the_line():
    with editor() as sh:
        run(sh, "trap 'print got usr1' USR1")
        sh.keys('half typed')
        sh.wait_line(1, P + 'half typed')
        os.kill(sh.pid, 10)
        sh.wait_screen(lambda s: 'got usr1' in s.text() and s.lines()[s.cursor()[0]] == P + 'half typed',
                       'the line drawn again after the output')


def test_hangup_while_editing_saves_the_history():
    # Without -f: the history is saved only where startup files may run.
    with editor(env={'HISTFILE': 'hist', 'SAVEHIST': '10'}, args=('-i',)) as sh:
        run(sh, 'echo remembered')
        sh.keys('never entered')
        sh.wait_line(2, P + 'never entered')
        os.kill(sh.pid, 1)
        sh.wait_exit()
        with open(os.path.join(sh.home, 'hist')) as f:
            check('echo remembered' in f.read(), 'the history was not saved')


def test_deleting_the_selected_keymap_inside_a_widget():
    with editor() as sh:
        run(sh, "w() { bindkey -N tmp emacs; ked -K tmp; bindkey -D tmp main }; ked -N w; bindkey '^T' w")
        sh.keys('\x14abc')
        # main is gone: the keys go to .safe, which inserts them.
        sh.wait_screen(lambda s: s.lines()[s.cursor()[0]].endswith('abc'), 'typing still works')


# ---- characters ----

def test_utf8_text_moves_and_deletes_whole_characters():
    with editor() as sh:
        sh.keys('é日本x')
        sh.wait_line(0, P + 'é日本x')
        # The wide characters take two columns each.
        sh.wait_cursor((0, len(P) + 6))
        sh.keys(LEFT + LEFT)
        sh.wait_cursor((0, len(P) + 3))
        sh.keys('\x7f')
        sh.wait_line(0, P + 'é本x')
        sh.keys('\x01\x1bf')  # forward-word: all three are letters
        sh.wait_cursor((0, len(P) + 4))


def test_utf8_invalid_bytes_are_shown_escaped():
    with editor() as sh:
        sh.keys(b'a\x16\x83b')  # quoted-insert of a lone byte
        sh.wait_line(0, P + 'a<83>b')


def test_c_locale_edits_bytes():
    with editor(lang='C') as sh:
        sh.keys('ab' + LEFT + '\x14')  # transpose-chars
        sh.wait_line(0, P + 'ba')


# ---- bad input ----

def test_lone_escape_and_nul_do_no_harm():
    with editor(env={'KEYTIMEOUT': '10'}) as sh:
        sh.keys('\x1b')
        time.sleep(0.3)
        sh.keys('\x00ab\r')
        sh.wait_screen(lambda s: 'command not found: ab' in s.text(), 'the line ran')


def test_pasted_text_is_taken_in_linear_time():
    with editor() as sh:
        n = 100000
        start = time.time()
        sh.keys(': ' + 'p' * n + '\r')
        sh.wait_screen(lambda s: s.lines()[s.cursor()[0]] == P.rstrip() and s.cursor()[0] > 0,
                       'the prompt after the paste', secs=60)
        check(time.time() - start < 30 * h.Config.factor, 'a paste of %d characters took %.1fs'
              % (n, time.time() - start))


def test_terminal_one_column_wide():
    with editor(size=(10, 1)) as sh:
        sh.keys('echo hi\r')
        sh.wait_screen(lambda s: 'h' in s.text(), 'output')


def test_unknown_terminal_still_edits():
    with editor(env={'TERM': 'no-such-terminal'}) as sh:
        sh.keys('echo ok' + LEFT + 'X\r')
        sh.wait_screen(lambda s: 'oXk' in s.text(), 'the edited line ran')


def test_prompt_with_invalid_bytes():
    with editor() as sh:
        sh.keys("PS1=$'\\x83\\x9b\\xff> '\r")
        sh.wait_screen(lambda s: s.lines()[1].endswith('> '.rstrip()), 'the new prompt')
        sh.keys('echo fine\r')
        sh.wait_screen(lambda s: 'fine' in s.lines()[2], 'the command ran')


def test_ttyctl_freezes_the_terminal_settings():
    with editor() as sh:
        probe = "stty -a | tr ' ;' '\\n\\n' | grep -cx tostop; ttyctl"
        run(sh, 'stty tostop')
        run(sh, probe)
        sh.wait_screen(lambda s: '\n1\ntty is not frozen' in s.text(), "a command's settings kept")
        run(sh, 'stty -tostop; ttyctl -f; stty tostop')
        run(sh, probe)
        sh.wait_screen(lambda s: '\n0\ntty is frozen' in s.text(), 'the settings from before')

h.main(globals())
