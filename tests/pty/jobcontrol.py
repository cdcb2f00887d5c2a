#!/usr/bin/env python3
"""Job control on a real terminal: background jobs and their reports,
stopping and resuming foreground jobs, the terminal's process group,
interrupts, and the checks for jobs made when the shell exits."""

import os
import re
import time

import ptyharness as h
from ptyharness import check, check_eq, check_match


def bgjob(sh, cmd='sleep 100', rest=None):
    """Start cmd in the background; its job number and pid.  A job that
    changes at once may be reported before the prompt: such reports are
    appended to the list rest, and are an error without one."""
    out = sh.run(cmd + ' &')
    m = re.match(r'\[(\d+)\]((?: \d+)+)\n', out)
    check(m, 'no "[n] pid..." line for a background job: %r' % out)
    if rest is not None:
        rest.append(out[m.end():])
    else:
        check_eq(out[m.end():], '', 'output after the job line')
    return int(m.group(1)), int(m.group(2).split()[0])


def stop_foreground(sh, cmd, pid_of=None):
    """Run cmd in the foreground, stop it with Ctrl-Z; the report."""
    sh.line(cmd)
    if pid_of:
        pid_of()
    else:
        # Ctrl-Z reaches only the foreground group: wait until cmd is it.
        wait_foreground(sh)
    sh.ctrl('z')
    return sh.prompt()


def tty_foreground_group(sh):
    with open('/proc/%d/stat' % sh.pid) as f:
        return int(f.read().rsplit(')', 1)[1].split()[5])


def wait_foreground(sh):
    """Wait until a process group other than the shell's holds the terminal
    and its leader is asleep (running the command, past its start)."""
    deadline = time.time() + h.timeout()
    while time.time() < deadline:
        pg = tty_foreground_group(sh)
        if pg != sh.pid and h.process_state(pg) == 'S':
            try:
                with open('/proc/%d/cmdline' % pg, 'rb') as f:
                    if not f.read().startswith(open('/proc/%d/cmdline' % sh.pid, 'rb').read()):
                        return pg
            except OSError:
                pass
        time.sleep(0.02)
    raise h.Failure('no foreground job took the terminal')


# ---- background jobs and listings ----

def test_background_job_and_jobs_formats():
    with h.shell() as sh:
        n, pid = bgjob(sh)
        check_eq(n, 1, 'job number')
        check_eq(sh.run('jobs'), '[1]  + running    sleep 100\n')
        check_eq(sh.run('jobs -l'), '[1]  + %d running    sleep 100\n' % pid)
        check_eq(sh.run('jobs -p'), '[1]  + %d running    sleep 100\n' % pid)
        out = sh.run('sleep 200 | cat &')
        m = re.fullmatch(r'\[2\] (\d+) (\d+)\n', out)
        check(m, 'a pipeline in the background lists every pid: %r' % out)
        pid2, pid3 = int(m.group(1)), int(m.group(2))
        check_eq(sh.run('jobs'), '[1]  - running    sleep 100\n'
                                 '[2]  + running    sleep 200 | cat\n')
        out = sh.run('jobs -l %2')
        check_eq(out, '[2]  + %d running    sleep 200\n'
                      '       %d running    cat\n' % (pid2, pid3), 'jobs -l of a pipeline')
        check_eq(sh.run('jobs -r %1'), '[1]  - running    sleep 100\n')
        check_eq(sh.run('jobs -s'), '')


def test_kill_reports_before_next_prompt():
    with h.shell() as sh:
        sh.run('unsetopt notify')
        bgjob(sh)
        # The report waits for the next prompt: it comes after the output
        # of the command during which the job ended.
        out = sh.run('kill %1; sleep 0.5; echo after')
        check_eq(out, 'after\n[1]  + terminated  sleep 100\n')
        check_eq(sh.run('jobs'), '')
        # Reported once, before whichever prompt follows the job's end.
        out = []
        bgjob(sh, 'true', out)
        out.append(sh.run('sleep 0.5'))
        check_eq(''.join(out), '[1]  + done       true\n')
        out = []
        bgjob(sh, 'sh -c "exit 3"', out)
        out.append(sh.run('sleep 0.5'))
        check_eq(''.join(out), '[1]  + exit 3     sh -c "exit 3"\n')
        check_eq(sh.run('kill %1'), 'kill: %1: no such job\n')


def test_notify_reports_at_once():
    with h.shell() as sh:
        check_eq(sh.run('[[ -o notify ]] && echo on'), 'on\n')
        out = []
        bgjob(sh, 'sleep 0.5', out)
        # With notify the report appears while the shell waits for input
        # (or, on a slow machine, before the prompt).
        if not out[0]:
            sh.expect_exact('[1]  + done       sleep 0.5\r\n', 10)
        else:
            check_eq(out[0], '[1]  + done       sleep 0.5\n')
        check_eq(sh.run('jobs'), '')


def test_wait_and_disown():
    with h.shell() as sh:
        sh.run('unsetopt notify')
        bgjob(sh, 'sleep 1')
        bgjob(sh, 'sh -c "sleep 0.5; exit 4"', [])
        out = sh.run('wait %2; echo st=$?')
        check('st=4\n' in out, 'status of wait %%2: %r' % out)
        out = sh.run('wait; echo all=$?')
        check(out.startswith('all=0\n'), 'status of wait: %r' % out)
        check_eq(sh.run('jobs'), '')
        n, pid = bgjob(sh)
        check_eq(sh.run('disown %1'), '')
        check_eq(sh.run('jobs'), '')
        check(h.process_state(pid) in ('S', 'R'), 'a disowned job keeps running')
        # Nothing left to warn about at exit, and no hang-up for it.
        sh.line('exit')
        check_eq(sh.wait_exit(), 0, 'exit status')
        check(h.process_state(pid) in ('S', 'R'), 'a disowned job is not sent SIGHUP')
        os.kill(pid, 9)


def test_disown_stopped_job_warns():
    with h.shell() as sh:
        out = stop_foreground(sh, 'sleep 100')
        check_eq(out, '^Z\ntarn: suspended  sleep 100\n')
        out = sh.run('disown')
        pgrp = re.search(r'kill -CONT -(\d+)', out)
        check(pgrp, 'no process group in the warning: %r' % out)
        check_eq(out, "disown: warning: job is suspended, use `kill -CONT -%s' to resume\n"
                 % pgrp.group(1))
        check_eq(sh.run('jobs'), '')
        os.kill(int(pgrp.group(1)), 9)


# ---- stopping and resuming ----

def test_ctrl_z_bg_fg():
    with h.shell() as sh:
        out = stop_foreground(sh, 'sleep 100')
        check_eq(out, '^Z\ntarn: suspended  sleep 100\n')
        check_eq(sh.run('echo $?'), '148\n', 'status of a stopped job')
        check_eq(sh.run('jobs'), '[1]  + suspended  sleep 100\n')
        out = sh.run('bg')
        check_eq(out, '[1]    continued  sleep 100\n')
        # bg left no current job; jobs makes the only one current again.
        check_eq(sh.run('jobs'), '[1]  + running    sleep 100\n')
        check_eq(sh.run('bg %1'), 'bg: job already in background\n')
        sh.line('fg')
        sh.expect_exact('[1]  + running    sleep 100\r\n')
        wait_foreground(sh)
        sh.ctrl('z')
        check_eq(sh.prompt(), '^Z\ntarn: suspended  sleep 100\n')
        sh.line('fg %sleep')
        sh.expect_exact('continued  sleep 100\r\n')
        wait_foreground(sh)
        sh.ctrl('c')
        check_eq(sh.prompt(), '^C\n')
        check_eq(sh.run('echo $?; jobs'), '130\n')


def test_terminal_handed_to_foreground_job():
    with h.shell() as sh:
        # A job that reads the terminal gets it, and the shell gets it back.
        sh.line('read -r x </dev/tty; echo "got $x"')
        sh.line('typed')
        check_eq(sh.prompt(), 'got typed\n')
        sh.line('cat')
        wait_foreground(sh)
        sh.line('to cat')
        sh.expect_exact('to cat\r\n')
        sh.eof()
        check_eq(sh.prompt(), '')
        # An external command sees its own group in the foreground.
        out = sh.run('sh -c \'[ "$(ps -o tpgid= -p $$)" -eq "$(ps -o pgid= -p $$)" ] && echo fg\'')
        check_eq(out, 'fg\n')
        # Terminal settings changed by a foreground job stay.
        sh.run('stty -echo')
        sh.p.sendline('echo hidden')
        check_eq(sh.prompt(), 'hidden\n')
        sh.p.sendline('stty echo')
        sh.prompt()
        check_eq(sh.run('echo shown'), 'shown\n')
        check_eq(tty_foreground_group(sh), sh.pid, 'the shell holds the terminal')


def test_background_job_reading_terminal_stops():
    with h.shell() as sh:
        sh.run('unsetopt notify')
        out = []
        n, pid = bgjob(sh, 'cat', out)
        h.wait_state(pid, ('T',))
        # Without notify the stop is reported before the next prompt.
        out.append(sh.run('true'))
        check_eq(''.join(out), '[1]  + suspended (tty input)  cat\n')
        check_eq(sh.run('jobs'), '[1]  + suspended (tty input)  cat\n')
        sh.line('fg')
        sh.expect_exact('continued')
        wait_foreground(sh)
        sh.line('line for cat')
        sh.expect_exact('line for cat\r\n')
        sh.eof()
        check_eq(sh.prompt(), '')
        check_eq(sh.run('jobs'), '')


def test_ctrl_c_interrupts_foreground_loop():
    with h.shell() as sh:
        sh.line('while true; do sleep 1; done; echo not reached')
        wait_foreground(sh)
        sh.ctrl('c')
        out = sh.prompt()
        check('not reached' not in out, 'the list went on after the interrupt')
        check_eq(sh.run('echo alive'), 'alive\n')
        # A loop of builtins, with no job to receive the signal.
        sh.line('i=0; while true; do i=$((i+1)); done')
        # Nothing to wait for but time: let the loop run a little.
        time.sleep(0.3)
        sh.ctrl('c')
        sh.prompt()
        check_eq(sh.run('(( i > 0 )) && echo counted'), 'counted\n')


def test_suspended_pipeline_with_shell_tail():
    tail = 'while read x; do :; done'
    # The job text of a construct writes each new line as "; ".
    text = 'sleep 100 | while read x; do; :; done'
    with h.shell() as sh:
        sh.line('sleep 100 | %s; echo tail ended' % tail)
        wait_foreground(sh)
        sh.ctrl('z')
        check_eq(sh.prompt(), '^Z\ntarn: suspended  %s\n' % text, 'one report for the whole pipeline')
        check_eq(sh.run('jobs'), '[1]  + suspended  %s\n' % text)
        # Both parts resume as one job in the foreground; an interrupt
        # then ends both and the shell carries on.
        sh.line('fg')
        sh.expect_exact('[1]  + continued  %s\r\n' % text)
        wait_foreground(sh)
        sh.ctrl('c')
        out = sh.prompt()
        check('tail ended' not in out, 'the rest of the list ran after the interrupt: %r' % out)
        check_eq(sh.run('jobs; echo ok'), 'ok\n')
        # Resumed in the background, and killed from there.
        sh.run('unsetopt notify')
        sh.line('sleep 100 | %s' % tail)
        wait_foreground(sh)
        sh.ctrl('z')
        sh.prompt()
        check_eq(sh.run('bg'), '[1]    continued  %s\n' % text)
        out = sh.run('kill %1; sleep 0.5')
        # The copy of the shell running the loop is in the job's group.
        check_eq(out, '[1]    terminated  %s\n' % text)
        check_eq(sh.run('jobs; echo none'), 'none\n')
        check_eq(h.session_pids(sh.pid), [sh.pid], 'processes left over')
        # Stopped again and killed while stopped: the kill is followed by
        # a continue, so both parts end.
        sh.line('sleep 100 | %s' % tail)
        wait_foreground(sh)
        sh.ctrl('z')
        sh.prompt()
        check_eq(sh.run('kill %1; sleep 0.5'), '[1]  + terminated  %s\n' % text)
        check_eq(h.session_pids(sh.pid), [sh.pid], 'processes left over')


def test_resumed_pipeline_tail_reads_on():
    with h.shell() as sh:
        # The loop was waiting in read when the job stopped; after fg it
        # still gets every line the other side writes.
        sh.line("sh -c 'sleep 1; echo x; echo y' | while read l; do echo got $l; done")
        wait_foreground(sh)
        sh.ctrl('z')
        sh.prompt()
        sh.line('fg')
        sh.expect_exact('continued')
        out = sh.prompt()
        check(out.endswith('got x\ngot y\n'), 'the resumed loop lost input: %r' % out)
        check_eq(sh.run('jobs; echo none'), 'none\n')


def test_many_jobs_with_monitor():
    with h.shell() as sh:
        # Every job gets its own process group and a report; none is lost
        # and the table never fills up.
        sh.line('i=0; while (( i < 1000 )); do true & i=$((i+1)); done 2>/dev/null; wait; echo "all $i"')
        sh.expect_exact('all 1000\r\n', 60)
        out = sh.prompt()
        check('job table full' not in sh.transcript.getvalue(), 'the job table filled up')
        check_eq(sh.run('jobs; echo none'), 'none\n')
        check_eq(h.session_pids(sh.pid), [sh.pid], 'processes left over')


# ---- leaving the shell ----

def test_exit_with_stopped_jobs():
    with h.shell() as sh:
        stop_foreground(sh, 'sleep 100')
        check_eq(sh.run('exit'), 'tarn: you have suspended jobs.\n')
        # A command in between resets the warning.
        sh.run('true')
        check_eq(sh.run('exit'), 'tarn: you have suspended jobs.\n')
        sh.line('exit')
        check_eq(sh.wait_exit(), 0, 'second exit')


def test_jobs_then_exit_does_not_warn():
    with h.shell() as sh:
        stop_foreground(sh, 'sleep 100')
        sh.run('jobs')
        sh.line('exit')
        check_eq(sh.wait_exit(), 0, 'exit after jobs')


def test_checkjobs_and_hup():
    with h.shell() as sh:
        n, pid = bgjob(sh)
        # Running jobs are not checked unless checkjobs is set.
        sh.run('setopt checkjobs')
        check_eq(sh.run('exit'), 'tarn: you have running jobs.\n')
        sh.line('exit')
        sh.expect_exact('tarn: warning: 1 jobs SIGHUPed')
        check_eq(sh.wait_exit(), 0)
        h.wait_state(pid, (None,))


def test_nohup_leaves_jobs_running():
    with h.shell() as sh:
        n, pid = bgjob(sh)
        sh.run('unsetopt hup')
        check_eq(sh.run('exit'), 'tarn: you have running jobs.\n')
        sh.line('exit')
        check_eq(sh.wait_exit(), 0)
        check(h.process_state(pid) in ('S', 'R'), 'job killed without hup')
        os.kill(pid, 9)


if __name__ == '__main__':
    h.main(globals())
