#!/usr/bin/env python3
"""Run tarn's script tests.

Each .test file holds many cases; each case runs the shell once, in a fresh
temporary directory that is also HOME, with a minimal environment, and checks
its standard output, standard error and exit status.  The file format is
described in tests/README.md.

    run_script_tests.py --shell build/tarn [--filter SUBSTR] [-j N] FILE.test...
    run_script_tests.py --compare /bin/dash FILE.test...

Only the Python standard library is used.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import dataclasses
import difflib
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

BASE_ENV = {
    "PATH": "/usr/local/bin:/usr/bin:/bin",
    "TERM": "dumb",
    "LANG": "C.UTF-8",
}
DEFAULT_TIMEOUT = 10.0

# Directives that open a block of verbatim lines, and the one-line ones.
BLOCK_DIRECTIVES = {"script", "file", "stdin", "stdout", "stdout-re",
                    "stderr", "stderr-re"}
LINE_DIRECTIVES = {"args", "args-after", "argv0", "env", "unsetenv",
                   "status", "timeout", "differs", "end"}
# At most one of each of these per case (stdout/stdout-re count as one, and
# so do stderr/stderr-re).
ONCE = {"script", "stdin", "stdout", "stderr", "argv0", "status", "timeout", "differs"}


class ParseError(Exception):
    def __init__(self, path: str, lineno: int, message: str):
        super().__init__(f"{path}:{lineno}: {message}")


@dataclasses.dataclass
class Expect:
    text: str = ""
    regex: bool = False


@dataclasses.dataclass
class Case:
    path: str
    lineno: int
    name: str
    script: str | None = None
    mode: str = "stdin"             # "stdin", "-c" or "file"
    script_name: str | None = None  # for mode "file"
    args: list[str] = dataclasses.field(default_factory=list)
    args_after: list[str] = dataclasses.field(default_factory=list)
    argv0: str | None = None
    env: dict[str, str] = dataclasses.field(default_factory=dict)
    unsetenv: list[str] = dataclasses.field(default_factory=list)
    files: list[tuple[str, str, int | None]] = dataclasses.field(default_factory=list)
    stdin: str | None = None
    stdout: Expect = dataclasses.field(default_factory=Expect)
    stderr: Expect = dataclasses.field(default_factory=Expect)
    status: int = 0
    timeout: float = DEFAULT_TIMEOUT
    differs: str | None = None

    @property
    def where(self) -> str:
        return f"{os.path.basename(self.path)}:{self.lineno}"


# ---------------------------------------------------------------- parsing

def check_relative(path: str, lineno: int, name: str) -> str:
    parts = name.split("/")
    if not name or name.startswith("/") or ".." in parts:
        raise ParseError(path, lineno,
                         f"file name must be relative and stay inside the test directory: {name!r}")
    return name


def parse_file(path: str) -> list[Case]:
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        lines = f.read().split("\n")
    # A final newline leaves an empty last piece that is not a line.
    if lines and lines[-1] == "":
        lines.pop()

    cases: list[Case] = []
    names: set[str] = set()
    case: Case | None = None
    block: dict | None = None   # {"kind", "args", "lines", "lineno"}
    seen: set[str] = set()

    def fail(lineno: int, message: str):
        raise ParseError(path, lineno, message)

    def close_block():
        nonlocal block
        if block is None:
            return
        text = "".join(line + "\n" for line in block["lines"])
        if block["noeol"]:
            if not text:
                fail(block["lineno"], "noeol on an empty block")
            text = text[:-1]
        kind, lineno, words = block["kind"], block["lineno"], block["args"]
        if kind == "script":
            case.script = text
        elif kind == "file":
            name, mode = words
            case.files.append((name, text, mode))
        elif kind == "stdin":
            case.stdin = text
        else:
            regex = kind.endswith("-re")
            if regex:
                try:
                    re.compile(text, re.MULTILINE)
                except re.error as e:
                    fail(lineno, f"bad regular expression: {e}")
            setattr(case, kind.removesuffix("-re"), Expect(text, regex))
        block = None

    def finish_case():
        if case.mode == "stdin" and case.script is not None and case.stdin is not None:
            fail(case.lineno, "%stdin needs the script given by '%script -c' or '%script file NAME'")
        cases.append(case)

    for lineno, line in enumerate(lines, 1):
        if block is not None:
            if line.startswith("%%"):
                block["lines"].append(line[1:])
                continue
            if not line.startswith("%"):
                block["lines"].append(line)
                continue
            close_block()

        if not line.startswith("%"):
            if line.strip() == "" or line.lstrip().startswith("#"):
                continue
            if case is None:
                fail(lineno, "text outside a case (a case starts with '%case NAME')")
            fail(lineno, "text outside a block (directives start with '%')")

        word, rest_of_line = re.match(r"%(\S*)\s*(.*)", line).groups()
        rest = rest_of_line.strip()

        if word == "case":
            if case is not None:
                fail(lineno, f"'%case' before '%end' of the case at line {case.lineno}")
            if not rest:
                fail(lineno, "'%case' needs a name")
            if rest in names:
                fail(lineno, f"duplicate case name: {rest}")
            names.add(rest)
            case = Case(path, lineno, rest)
            seen = set()
            continue
        if word not in BLOCK_DIRECTIVES and word not in LINE_DIRECTIVES:
            fail(lineno, f"unknown directive '%{word}' (write '%%' for a line starting with '%')")
        if case is None:
            fail(lineno, f"'%{word}' outside a case")
        once = word.removesuffix("-re")
        if once in ONCE:
            if once in seen:
                fail(lineno, f"'%{word}' given twice in one case")
            seen.add(once)

        if word == "end":
            if rest:
                fail(lineno, "'%end' takes no argument")
            finish_case()
            case = None
            continue

        if word in BLOCK_DIRECTIVES:
            try:
                words = shlex.split(rest)
            except ValueError as e:
                fail(lineno, f"bad quoting: {e}")
            noeol = "noeol" in words
            words = [w for w in words if w != "noeol"]
            block = {"kind": word, "lineno": lineno, "lines": [], "noeol": noeol}
            if word == "script":
                if not words or words == ["stdin"]:
                    case.mode = "stdin"
                elif words == ["-c"]:
                    case.mode = "-c"
                elif len(words) == 2 and words[0] == "file":
                    case.mode = "file"
                    case.script_name = check_relative(path, lineno, words[1])
                else:
                    fail(lineno, "use '%script', '%script -c' or '%script file NAME' (optionally 'noeol')")
            elif word == "file":
                if len(words) not in (1, 2):
                    fail(lineno, "use '%file NAME [MODE] [noeol]'")
                mode = None
                if len(words) == 2:
                    if not re.fullmatch(r"[0-7]{3,4}", words[1]):
                        fail(lineno, f"file mode must be octal, like 755: {words[1]!r}")
                    mode = int(words[1], 8)
                block["args"] = (check_relative(path, lineno, words[0]), mode)
            elif words:
                fail(lineno, f"'%{word}' takes only 'noeol'")
            block.setdefault("args", ())
            continue

        if word in ("args", "args-after"):
            try:
                words = shlex.split(rest)
            except ValueError as e:
                fail(lineno, f"bad quoting: {e}")
            (case.args if word == "args" else case.args_after).extend(words)
        elif word == "argv0":
            if not rest:
                fail(lineno, "'%argv0' needs a name")
            case.argv0 = rest
        elif word == "env":
            name, eq, value = rest_of_line.partition("=")
            if not eq or not re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", name):
                fail(lineno, "use '%env NAME=VALUE'")
            case.env[name] = value
        elif word == "unsetenv":
            if not rest:
                fail(lineno, "'%unsetenv' needs a name")
            case.unsetenv.extend(rest.split())
        elif word == "status":
            try:
                case.status = int(rest)
            except ValueError:
                fail(lineno, f"'%status' needs a number: {rest!r}")
        elif word == "timeout":
            try:
                case.timeout = float(rest)
            except ValueError:
                fail(lineno, f"'%timeout' needs a number of seconds: {rest!r}")
        elif word == "differs":
            if not rest:
                fail(lineno, "'%differs' needs a reason")
            case.differs = rest

    if block is not None:
        close_block()
    if case is not None:
        fail(case.lineno, f"case '{case.name}' has no '%end'")
    if not cases:
        raise ParseError(path, 1, "no cases in file")
    return cases


# ---------------------------------------------------------------- running

@dataclasses.dataclass
class Result:
    case: Case
    ok: bool
    argv: list[str]
    executable: str
    testdir: str
    timeout: float = 0.0
    kept: bool = False
    stdout: bytes = b""
    stderr: bytes = b""
    status: int | None = None
    timed_out: bool = False
    error: str | None = None
    elapsed: float = 0.0
    bad: list[str] = dataclasses.field(default_factory=list)  # streams that differ


def substitute(text: str, values: dict[str, str]) -> str:
    for key, value in values.items():
        text = text.replace(key, value)
    return text


def expectation(expect: Expect, values: dict[str, str]) -> Expect:
    if expect.regex:
        return Expect(substitute(expect.text, {k: re.escape(v) for k, v in values.items()}), True)
    return Expect(substitute(expect.text, values), False)


def matches(expect: Expect, actual: bytes) -> bool:
    if expect.regex:
        text = actual.decode("utf-8", "surrogateescape")
        return re.fullmatch(expect.text, text, re.MULTILINE) is not None
    return expect.text.encode("utf-8", "surrogateescape") == actual


def run_case(case: Case, shell: str, opts) -> Result:
    base = os.path.realpath(tempfile.mkdtemp(prefix="tarn-test-"))
    testdir = os.path.join(base, "t")
    values = {"$SHELL_UNDER_TEST": shell, "$TESTDIR": testdir}
    result = Result(case, False, [], shell, testdir)
    try:
        os.mkdir(testdir)
        for name, content, mode in case.files:
            target = os.path.join(testdir, name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as f:
                f.write(content.encode("utf-8", "surrogateescape"))
            if mode is not None:
                os.chmod(target, mode)

        # The invocation name: a symlink in a directory of its own (so it never
        # shows up in the test directory), or argv[0] alone for a name with '/'.
        argv0 = os.path.basename(shell)
        executable = shell
        if case.argv0 is not None:
            argv0 = substitute(case.argv0, values)
            linkname = argv0.removeprefix("-")
            if "/" not in argv0 and linkname:
                bindir = os.path.join(base, "bin")
                os.mkdir(bindir)
                executable = os.path.join(bindir, linkname)
                os.symlink(shell, executable)
        result.executable = executable

        argv = [argv0] + [substitute(a, values) for a in case.args]
        stdin = case.stdin
        if case.script is not None:
            if case.mode == "-c":
                argv += ["-c", case.script]
            elif case.mode == "file":
                with open(os.path.join(testdir, case.script_name), "wb") as f:
                    f.write(case.script.encode("utf-8", "surrogateescape"))
                argv.append(case.script_name)
            else:
                stdin = case.script
        argv += [substitute(a, values) for a in case.args_after]
        result.argv = argv

        env = dict(BASE_ENV, HOME=testdir)
        for name in opts.pass_env:
            if name in os.environ:
                env[name] = os.environ[name]
        for name in case.unsetenv:
            env.pop(name, None)
        for name, value in case.env.items():
            env[name] = substitute(value, values)

        result.timeout = case.timeout * opts.timeout_factor
        start = time.monotonic()
        proc = subprocess.Popen(argv, executable=executable, cwd=testdir, env=env,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, start_new_session=True)
        data = (stdin or "").encode("utf-8", "surrogateescape")
        try:
            out, err = proc.communicate(data, timeout=result.timeout)
        except subprocess.TimeoutExpired:
            result.timed_out = True
            kill_group(proc.pid)
            out, err = proc.communicate()
        # Anything the case left running in the background goes too.
        kill_group(proc.pid)
        result.elapsed = time.monotonic() - start
        result.stdout, result.stderr, result.status = out, err, proc.returncode

        if not matches(expectation(case.stdout, values), out):
            result.bad.append("stdout")
        if not matches(expectation(case.stderr, values), err):
            result.bad.append("stderr")
        if proc.returncode != case.status:
            result.bad.append("status")
        result.ok = not result.bad and not result.timed_out
    except OSError as e:
        result.error = f"could not run the case: {e}"
    finally:
        result.kept = opts.keep and not result.ok
        if not result.kept:
            shutil.rmtree(base, ignore_errors=True)
    return result


def kill_group(pid: int):
    try:
        os.killpg(pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


# ---------------------------------------------------------------- reporting

def visible_lines(text: str) -> list[str]:
    """Lines for display: tab, carriage return and other control characters
    escaped, a missing final newline marked."""
    out = []
    for line in text.split("\n"):
        out.append("".join(c if c.isprintable() else CONTROL.get(c, "\\x%02x" % ord(c))
                           for c in line))
    if out[-1] == "":
        out.pop()
    elif out:
        out[-1] += "  \\ (no newline at end)"
    return out


CONTROL = {"\t": "\\t", "\r": "\\r", "\x1b": "\\e"}


def decode(data: bytes) -> str:
    return data.decode("utf-8", "backslashreplace")


def status_text(status: int | None) -> str:
    if status is None:
        return "none"
    if status < 0:
        try:
            name = signal.Signals(-status).name
        except ValueError:
            name = f"signal {-status}"
        return f"killed by {name}"
    return str(status)


MAX_SHOWN = 300   # lines of one listing in a report


def indent(lines: list[str], prefix: str = "    ") -> str:
    if not lines:
        return prefix + "(empty)\n"
    more = len(lines) - MAX_SHOWN
    if more > 0:
        lines = lines[:MAX_SHOWN] + [f"... {more} more lines"]
    return "".join(prefix + line + "\n" for line in lines)


def report(result: Result, shell: str, label: str) -> str:
    case = result.case
    values = {"$SHELL_UNDER_TEST": shell, "$TESTDIR": result.testdir}
    out = [f"{label} {case.where}: {case.name}\n"]
    if case.differs:
        out.append(f"  (known difference: {case.differs})\n")
    if result.error:
        out.append(f"  {result.error}\n")
        return "".join(out)
    shown = list(result.argv)
    if case.mode == "-c" and case.script is not None:
        # The script is listed below; keep the command on one line.
        shown[shown.index(case.script, 1)] = "SCRIPT"
    command = shlex.join(shown)
    if result.executable != shell:
        command += f"    (through a symlink named {os.path.basename(result.executable)})"
    out.append(f"  command: {command}\n")
    if case.env or case.unsetenv:
        changes = [f"{k}={substitute(v, values)}" for k, v in case.env.items()]
        changes += [f"-{k}" for k in case.unsetenv]
        out.append(f"  environment: {' '.join(changes)}\n")
    for name, content, mode in case.files:
        out.append(f"  file {name}{' mode %o' % mode if mode is not None else ''}:\n")
        out.append(indent(visible_lines(content), "    | "))
    if case.script is not None:
        how = {"stdin": "on standard input", "-c": "after -c",
               "file": f"in file {case.script_name}"}[case.mode]
        out.append(f"  script ({how}):\n")
        out.append(indent([f"{n:3}| {line}" for n, line in
                           enumerate(visible_lines(case.script), 1)], "  "))
    if case.stdin is not None:
        out.append("  standard input:\n")
        out.append(indent(visible_lines(case.stdin), "    | "))
    if result.timed_out:
        out.append(f"  timed out after {result.timeout:g} s\n")
    for stream in ("stdout", "stderr"):
        if stream not in result.bad:
            continue
        expect = expectation(getattr(case, stream), values)
        actual = decode(getattr(result, stream))
        if expect.regex:
            out.append(f"  {stream}: expected a match for the regular expression\n")
            out.append(indent(visible_lines(expect.text), "    | "))
            out.append(f"  {stream}: actual\n")
            out.append(indent(visible_lines(actual), "    | "))
        else:
            a, b = visible_lines(expect.text), visible_lines(actual)
            out.append(f"  {stream} differs (- expected, + actual):\n")
            diff = list(difflib.unified_diff(a, b, lineterm="", n=max(len(a), len(b))))[2:]
            out.append(indent(diff))
    if "status" in result.bad or result.timed_out:
        out.append(f"  status: expected {case.status}, actual {status_text(result.status)}\n")
    if not result.bad and not result.timed_out:
        out.append("  stdout, stderr and status as expected\n")
    if result.kept:
        out.append(f"  kept: {result.testdir}\n")
    return "".join(out)


# ---------------------------------------------------------------- main

def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description="Run tarn's script tests.")
    parser.add_argument("--shell", help="the shell under test")
    parser.add_argument("--compare", metavar="SHELL",
                        help="run the cases against another shell and list where it differs; "
                             "always exits 0 unless a file cannot be parsed")
    parser.add_argument("--filter", metavar="SUBSTR", help="run only cases whose name contains SUBSTR")
    parser.add_argument("-j", "--jobs", type=int, default=os.cpu_count() or 1,
                        help="cases run at once (default: number of CPUs)")
    parser.add_argument("-v", "--verbose", action="store_true", help="list passing cases too")
    parser.add_argument("--keep", action="store_true", help="keep the temporary directories of failed cases")
    parser.add_argument("--pass-env", action="append", default=[], metavar="NAME",
                        help="pass this variable from the runner's environment, if set (e.g. ASAN_OPTIONS)")
    parser.add_argument("--timeout-factor", type=float, default=1.0, metavar="F",
                        help="multiply every case's timeout by F (for slow builds)")
    parser.add_argument("files", nargs="+", metavar="FILE.test")
    opts = parser.parse_args(argv)

    shell = opts.compare or opts.shell
    if not shell:
        parser.error("--shell or --compare is required")
    resolved = shutil.which(shell) if "/" not in shell else shell
    if not resolved or not os.access(resolved, os.X_OK) or os.path.isdir(resolved):
        print(f"error: shell not found or not executable: {shell}")
        print("0 passed, 1 failed")
        return 2
    shell = os.path.abspath(resolved)

    cases: list[Case] = []
    parse_errors = 0
    for path in opts.files:
        try:
            cases.extend(parse_file(path))
        except ParseError as e:
            print(f"error: {e}")
            parse_errors += 1
        except OSError as e:
            print(f"error: {path}: {e.strerror}")
            parse_errors += 1
    if opts.filter:
        cases = [c for c in cases if opts.filter in c.name]

    jobs = max(1, opts.jobs)
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        results = list(pool.map(lambda c: run_case(c, shell, opts), cases))

    passed = sum(r.ok for r in results)
    failed = len(results) - passed

    if opts.compare:
        known = 0
        for r in results:
            if not r.ok:
                known += bool(r.case.differs)
                sys.stdout.write(report(r, shell, "DIFFERS"))
            elif opts.verbose:
                print(f"same    {r.case.where}: {r.case.name}")
        print(f"compare with {shell}: {passed} same, {failed} differ ({known} marked %differs)")
        return 1 if parse_errors else 0

    for r in results:
        if not r.ok:
            sys.stdout.write(report(r, shell, "FAIL"))
        elif opts.verbose:
            print(f"ok   {r.case.where}: {r.case.name} ({r.elapsed:.2f} s)")
    if failed:
        print("failed cases:")
        for r in results:
            if not r.ok:
                print(f"  {r.case.where}: {r.case.name}")
    print(f"{passed} passed, {failed + parse_errors} failed")
    return 1 if failed or parse_errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
