#!/usr/bin/env python3
"""The interactive main loop on a real terminal: prompts with their
escapes, continuation prompts naming the open constructs, end of file with
and without ignoreeof, and printexitvalue."""

import os
import pwd
import socket
import time

import ptyharness as h
from ptyharness import check, check_eq


def user():
    return pwd.getpwuid(os.getuid()).pw_name


def host():
    return socket.gethostname().split('.')[0]


# ---- primary prompts ----

def test_prompt_escapes():
    with h.shell() as sh:
        mark = '#' if os.geteuid() == 0 else '%'
        sh.line("PS1='%n|%m|%~|%#|%(?.ok.fail)|%?|%j|%L|%%> '")
        sh.expect_exact('%s|%s|~|%s|ok|0|0|1|%%> ' % (user(), host(), mark))
        sh.line('false')
        sh.expect_exact('%s|%s|~|%s|fail|1|0|1|%%> ' % (user(), host(), mark))
        sh.line('sleep 100 &')
        # %j counts the jobs; the background job's number comes first.
        sh.expect(r'\[1\] \d+\r\n')
        sh.expect_exact('%s|%s|~|%s|ok|0|1|1|%%> ' % (user(), host(), mark))
        sh.line('mkdir -p a/b/c; cd a/b/c')
        sh.expect_exact('|~/a/b/c|')
        sh.line("PS1='%2~|%1/|%C|%(3c.deep.flat)|%5<..<%/> '")
        # The stretch runs to the end: the trailing '> ' is inside it.
        sh.expect_exact('b/c|c|c|deep|..c> ')


def test_prompt_substitution_and_truncation():
    with h.shell() as sh:
        sh.line("setopt promptsubst; x=sub; PS1='$x %B%b[%10>..>abcdefghijklmnop%>>]> '")
        # Bold needs a terminal description; on a dumb terminal it is empty.
        sh.expect_exact('sub [abcdefgh..]> ')
        sh.line("x=changed")
        sh.expect_exact('changed [')


# ---- continuation prompts ----

def cont(sh, line, prompt):
    sh.line(line)
    sh.expect_exact(prompt)


def test_continuation_prompts_name_open_constructs():
    with h.shell() as sh:
        cont(sh, "echo 'a", 'quote> ')
        sh.line("b'")
        check_eq(sh.prompt(), 'a\nb\n')
        cont(sh, 'if true', 'if> ')
        cont(sh, 'then', 'then> ')
        cont(sh, 'echo "x', 'then dquote> ')
        cont(sh, '"', 'then> ')
        sh.line('fi')
        check_eq(sh.prompt(), 'x\n\n')
        cont(sh, 'echo piped |', 'pipe> ')
        sh.line('cat')
        check_eq(sh.prompt(), 'piped\n')
        # A backslash-newline opens no construct.
        cont(sh, 'echo a \\', '> ')
        sh.line('b')
        check_eq(sh.prompt(), 'a b\n')
        cont(sh, 'for i in 1; do', 'for> ')
        cont(sh, 'while false; do', 'for while> ')
        cont(sh, '{ (', 'for while cursh subsh> ')
        cont(sh, 'true &&', 'for while cursh subsh cmdand> ')
        cont(sh, 'echo $(', 'cmdand cmdsubst> ')
        cont(sh, 'echo x)', 'for while cursh subsh> ')
        cont(sh, ') }', 'for while> ')
        cont(sh, 'done', 'for> ')
        sh.line('done; echo loops')
        check_eq(sh.prompt(), 'loops\n')
        cont(sh, 'cat <<E', 'heredoc> ')
        cont(sh, 'body', 'heredoc> ')
        sh.line('E')
        check_eq(sh.prompt(), 'body\n')


def test_ps2_is_a_prompt_too():
    with h.shell() as sh:
        sh.run("PS2='more(%_)%1(_.+.-)> '")
        cont(sh, 'case x in', 'more(case)+> ')
        sh.line('x) echo matched;; esac')
        check_eq(sh.prompt(), 'matched\n')


def test_interrupt_discards_a_continued_command():
    with h.shell() as sh:
        cont(sh, 'if true; then', 'then> ')
        cont(sh, 'echo never', 'then> ')
        sh.ctrl('c')
        sh.prompt()
        check_eq(sh.run('echo fresh'), 'fresh\n')


# ---- end of input ----

def test_eof_exits_with_last_status():
    with h.shell() as sh:
        sh.run('(exit 5)')
        sh.eof()
        check_eq(sh.wait_exit(), 5)


def test_ignoreeof():
    with h.shell() as sh:
        sh.run('setopt ignoreeof; false')
        for i in range(9):
            sh.eof()
            check_eq(sh.prompt(), "tarn: use 'exit' to exit.\n", 'EOF %d' % (i + 1))
        # Each end of file is counted once: the shell is still there.
        time.sleep(0.2 * h.Config.factor)
        check(sh.p.isalive(), 'the shell left before the tenth end of file')
        check_eq(sh.transcript.getvalue().count('to exit.'), 9, 'messages')
        sh.eof()
        check_eq(sh.wait_exit(), 1, 'status after the tenth EOF')


def test_ignoreeof_count_restarts_after_a_command():
    with h.shell() as sh:
        sh.run('setopt ignoreeof')
        for i in range(5):
            sh.eof()
            sh.prompt()
        check_eq(sh.run('echo still here'), 'still here\n')
        for i in range(9):
            sh.eof()
            check_eq(sh.prompt(), "tarn: use 'exit' to exit.\n")
        sh.line('exit 2')
        check_eq(sh.wait_exit(), 2)


def test_ignoreeof_login_shell_and_suspend():
    with h.shell(argv0='-tarn') as sh:
        check_eq(sh.run('[[ -o login ]] && echo login'), 'login\n')
        check_eq(sh.run('suspend'), "suspend: can't suspend login shell\n")
        sh.run('setopt ignoreeof')
        sh.eof()
        check_eq(sh.prompt(), "tarn: use 'logout' to logout.\n")
        sh.line('logout')
        check_eq(sh.wait_exit(), 0)


def test_printexitvalue():
    with h.shell() as sh:
        sh.run('setopt printexitvalue')
        check_eq(sh.run('false'), 'tarn: exit 1\n')
        check_eq(sh.run('sh -c "exit 3"'), 'tarn: exit 3     sh -c "exit 3"\n')
        check_eq(sh.run('true'), '')
        check_eq(sh.run('f() { return 4 }; f'), 'tarn: exit 4\n')


# ---- hostile input ----

def test_hostile_input_leaves_the_shell_usable():
    """Each of these ends in a message at worst; the next command runs."""
    with h.shell() as sh:
        alive = 'echo alive $?'
        # Nesting far past the parser's bound.
        sh.run('eval "${(l:5000::(:)}"')
        check_eq(sh.run(alive), 'alive 1\n')
        # Unbounded recursion stops at the function depth limit.
        out = sh.run('f() { f }; f', secs=60)
        check('maximum nested function level reached' in out, out)
        check_eq(sh.run(alive), 'alive 1\n')
        # Recursion through a parameter's value in arithmetic.
        out = sh.run('a=a; (( a ))')
        check('recursion' in out or 'too deep' in out, out)
        check_eq(sh.run('echo alive'), 'alive\n')
        # A 2 MB word, invalid bytes and NUL.
        check_eq(sh.run('x=${(l:2000000::a:)}; echo ${#x}'), '2000000\n')
        check_eq(sh.run("print -rn -- $'\\x80\\xff\\0z' | od -An -tx1"), ' 80 ff 00 7a\n')
        # An unterminated quote waits for more; an interrupt gives it up.
        sh.line('echo "open')
        sh.expect_exact('dquote> ')
        sh.ctrl('c')
        sh.prompt()
        # A syntax error and a bad condition are reported, not fatal.
        check('parse error' in sh.run('fi'), 'fi')
        check('unrecognized condition' in sh.run('[[ -q a ]]'), '-q')
        check_eq(sh.run(alive), 'alive 1\n')
        # Writing to a full device and to a closed pipe.
        check('no space left' in sh.run('echo x > /dev/full'), '/dev/full')
        sh.run('while :; do echo y; done | head -1')
        check_eq(sh.run('echo ${pipestatus[@]}'), '141 0\n')
        check_eq(sh.run('echo done'), 'done\n')


if __name__ == '__main__':
    h.main(globals())
