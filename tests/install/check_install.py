#!/usr/bin/env python3
"""Checks of what `cmake --install` and `cpack` produce.

  layout BUILD     install into a staging directory; every file is there,
                   every directory of the installed shell's default fpath
                   exists in the tree, and the installed shell autoloads a
                   function from it
  manpages SRC SH  every page renders without warnings, and the pages name
                   every shell option, builtin and widget the shell has
  package BUILD    build the Debian package and list it
  startup SH LIST [relr]
                   the release binary SH has its start-up code and data
                   laid out by the start-up list LIST: the functions a
                   start-up runs sit in the section made for them, most
                   names the list gives still exist (else the list wants
                   recording again with bench/startup_order.py) and, with
                   relr, its relative relocations are packed

Exit 77 (skipped) when a tool the check needs is missing.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

PAGES = ['tarn.1', 'tarn-ked.1', 'tarn-completion.1', 'tarn-modules.1']
failures = []


def fail(what):
    failures.append(what)
    print('FAIL', what)


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, **kw)


def cache_value(build, name):
    with open(os.path.join(build, 'CMakeCache.txt')) as f:
        for line in f:
            m = re.match(r'%s:[A-Z]+=(.*)' % re.escape(name), line)
            if m:
                return m.group(1)
    return None


def tarn_lines(shell, script):
    r = run([shell, '-fc', script])
    if r.returncode != 0:
        fail('%r failed: %s' % (script, r.stderr))
    return r.stdout.split()


def layout(build):
    prefix = cache_value(build, 'CMAKE_INSTALL_PREFIX')
    stage = tempfile.mkdtemp(prefix='tarn-install-')
    try:
        env = dict(os.environ, DESTDIR=stage)
        r = run(['cmake', '--install', build], env=env)
        if r.returncode != 0:
            fail('cmake --install: ' + r.stdout + r.stderr)
            return
        root = stage + prefix
        for rel in ['bin/tarn', 'share/tarn/tarnrc.example'] + ['share/man/man1/' + p for p in PAGES]:
            if not os.path.isfile(os.path.join(root, rel)):
                fail('not installed: ' + rel)
        shell = os.path.join(root, 'bin/tarn')
        if not os.access(shell, os.X_OK):
            fail('the installed shell is not executable')
            return
        fpath = tarn_lines(shell, 'print -l $fpath')
        if len(fpath) != 2:
            fail('default fpath: %r' % fpath)
        for d in fpath:
            if not d.startswith(prefix + '/'):
                fail('fpath entry %s is outside the prefix %s' % (d, prefix))
            if not os.path.isdir(stage + d):
                fail('fpath names %s, which the install did not make' % d)
        # The hint names the example where it was installed.
        with open(os.path.join(root, 'share/tarn/tarnrc.example')) as f:
            example = f.read()
        # The example itself runs cleanly in the installed shell.
        home = tempfile.mkdtemp(prefix='tarn-home-', dir=stage)
        r = run([shell, '-fc', 'source $1 && print ok', 'tarn', os.path.join(root, 'share/tarn/tarnrc.example')],
                env=dict(os.environ, HOME=home))
        if r.stdout != 'ok\n' or r.stderr:
            fail('the example startup file: %r %r' % (r.stdout, r.stderr))
        if 'HISTFILE' not in example or 'bindkey -e' not in example:
            fail('the example startup file lost its history or key set-up')
        # A function dropped into the site directory is found through the
        # installed fpath, re-rooted at the staging directory.
        site = stage + fpath[0]
        with open(os.path.join(site, 'tarn_install_probe'), 'w') as f:
            f.write('print -r -- "probe:$1:${#fpath}"\n')
        script = os.path.join(stage, 'probe.tarn')
        with open(script, 'w') as f:
            f.write('fpath=(%s$^fpath)\nautoload -U tarn_install_probe\ntarn_install_probe loaded\n' % stage)
        r = run([shell, '-f', script])
        if r.stdout != 'probe:loaded:2\n' or r.returncode != 0:
            fail('autoload from the installed fpath: %r %r' % (r.stdout, r.stderr))
    finally:
        shutil.rmtree(stage, ignore_errors=True)


def manpages(src, shell):
    mandir = os.path.join(src, 'docs/man')
    text = {}
    for p in PAGES:
        with open(os.path.join(mandir, p)) as f:
            text[p] = f.read()
    if shutil.which('man'):
        for p in PAGES:
            r = run(['man', '--warnings', '-l', os.path.join(mandir, p)],
                    env=dict(os.environ, MANWIDTH='80', MANPAGER='cat', PAGER='cat'))
            if r.returncode != 0 or r.stderr.strip():
                fail('%s does not render cleanly: %s' % (p, r.stderr.strip()))
    else:
        print('man not found: rendering not checked')

    def esc(name):
        return name.replace('\\', '\\e').replace('-', '\\-')

    # Every option has its own entry in the option list of tarn(1).
    names = set(tarn_lines(shell, 'qmodload tarn/parameter; print -l ${(k)options}'))
    listed = tarn_lines(shell, 'set -o | while read n v; do print $n; done')
    options = [n[2:] if n.startswith('no') and n[2:] in names else n for n in listed]
    if len(options) < 100:
        fail('only %d options listed' % len(options))
    for o in options:
        if '\n.B %s\n' % o not in text['tarn.1']:
            fail('tarn.1 has no entry for the option %s' % o)
    # Every builtin, core or module, has an entry in tarn(1).
    builtins = tarn_lines(shell, 'qmodload tarn/parameter; for b in ${(k)builtins}; do print -r -- x$b; done')
    builtins = [b[1:] for b in builtins]
    if len(builtins) < 60:
        fail('only %d builtins listed' % len(builtins))
    for b in builtins:
        if '\n\\fB%s\\fP' % esc(b) not in text['tarn.1']:
            fail('tarn.1 has no entry for the builtin %s' % b)
    # Every built-in widget is named in tarn-ked(1).
    widgets = tarn_lines(shell, 'qmodload tarn/kedparameter; print -l ${(k)widgets}')
    widgets = [w for w in widgets if not w.startswith('.')]
    if len(widgets) < 100:
        fail('only %d widgets listed' % len(widgets))
    for w in widgets:
        if '\n.B %s' % esc(w) not in text['tarn-ked.1']:
            fail('tarn-ked.1 does not name the widget %s' % w)
    # Every module the shell registers is described in tarn-modules(1).
    mods = set(re.findall(r'\btarn/[a-z]+', run([shell, '-fc', 'qmodload tarn/parameter; print -l ${(k)modules}']).stdout))
    for m in sorted(mods):
        if m not in text['tarn-modules.1']:
            fail('tarn-modules.1 does not describe %s' % m)


def package(build):
    for tool in ('cpack', 'dpkg-deb'):
        if not shutil.which(tool):
            print('%s not found: skipped' % tool)
            sys.exit(77)
    out = tempfile.mkdtemp(prefix='tarn-deb-')
    try:
        r = run(['cpack', '-G', 'DEB', '-B', out, '--config', os.path.join(build, 'CPackConfig.cmake')])
        if r.returncode != 0:
            fail('cpack: ' + r.stdout + r.stderr)
            return
        debs = [f for f in os.listdir(out) if f.endswith('.deb')]
        if len(debs) != 1:
            fail('cpack made %r' % debs)
            return
        deb = os.path.join(out, debs[0])
        prefix = cache_value(build, 'CMAKE_INSTALL_PREFIX')
        listing = run(['dpkg-deb', '-c', deb]).stdout
        files = set(l.split()[-1].lstrip('.') for l in listing.splitlines() if l.strip())
        for rel in ['bin/tarn', 'share/tarn/tarnrc.example', 'share/tarn/site-functions/',
                    'share/man/man1/tarn.1']:
            p = prefix + '/' + rel
            if p not in files and p.rstrip('/') not in files:
                fail('the package lacks %s' % p)
        info = run(['dpkg-deb', '-f', deb, 'Package', 'Version', 'Section']).stdout
        if 'Package: tarn' not in info or 'Section: shells' not in info:
            fail('package control fields: %r' % info)
        ctl = os.path.join(out, 'control')
        run(['dpkg-deb', '-e', deb, ctl])
        with open(os.path.join(ctl, 'postinst')) as f:
            postinst = f.read()
        if 'add-shell %s/bin/tarn' % prefix not in postinst or 'add-shell /bin/tarn' not in postinst:
            fail('postinst does not list the shell in /etc/shells: %r' % postinst)
        if not os.access(os.path.join(ctl, 'postinst'), os.X_OK):
            fail('postinst is not executable')
        with open(os.path.join(ctl, 'postrm')) as f:
            if 'remove-shell' not in f.read():
                fail('postrm does not take the shell out of /etc/shells')
        r = run(['sh', '-n', os.path.join(ctl, 'postinst')])
        if r.returncode != 0:
            fail('postinst: ' + r.stderr)
    finally:
        shutil.rmtree(out, ignore_errors=True)


def startup(shell, order, relr):
    if not shutil.which('readelf') or not shutil.which('nm'):
        sys.exit(77)
    sections = run(['readelf', '-SW', shell]).stdout
    for name in ['.text.tarnstart', '.data.tarnstart', '.bss.tarnstart'] + (['.relr.dyn'] if relr else []):
        if name not in sections:
            fail('no section %s in %s' % (name, shell))
    # Where each defined function lies, by section index.
    syms = run(['readelf', '-sW', shell]).stdout
    index = {}
    for line in sections.splitlines():
        m = re.match(r'\s*\[\s*(\d+)\]\s+(\S+)', line)
        if m:
            index[m.group(1)] = m.group(2)
    where = {}
    for line in syms.splitlines():
        p = line.split()
        if len(p) >= 8 and p[3] == 'FUNC':
            where[p[7]] = index.get(p[6], p[6])
    for fn in ['main', '_Z9tarn_mainiPPc', '_Z9setupvalsv', '_Z16createparamtablev', '_Z6qallocm']:
        if where.get(fn) != '.text.tarnstart':
            fail('%s lies in %s, not with the start-up code' % (fn, where.get(fn)))
    defined = set(run(['nm', '--defined-only', shell]).stdout.split())
    with open(order) as f:
        names = [l.strip() for l in f if l.strip()]
    missing = [n for n in names if n not in defined]
    if len(missing) * 10 > len(names):
        fail('%d of the %d names in %s are gone (%s ...): record it again with bench/startup_order.py'
             % (len(missing), len(names), order, ' '.join(missing[:5])))


def main():
    mode = sys.argv[1]
    if mode == 'layout':
        layout(sys.argv[2])
    elif mode == 'manpages':
        manpages(sys.argv[2], sys.argv[3])
    elif mode == 'package':
        package(sys.argv[2])
    elif mode == 'startup':
        startup(sys.argv[2], sys.argv[3], sys.argv[4:] == ['relr'])
    else:
        sys.exit('unknown check ' + mode)
    print('%s: %d failures' % (mode, len(failures)))
    sys.exit(1 if failures else 0)


main()
