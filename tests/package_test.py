#!/usr/bin/env python3
"""Checks of what a user installs: the manual, the install tree, the packages.

  package_test.py man SOURCE_DIR
  package_test.py install|deb|zip BUILD_DIR VERSION
Exits 77 (skipped) where the tool that a check needs is not installed.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

SKIP = 77


def need(*tools):
    missing = [t for t in tools if shutil.which(t) is None]
    if missing:
        print('skipped: %s not installed' % ', '.join(missing))
        sys.exit(SKIP)


def run(*argv, **kw):
    return subprocess.run(argv, capture_output=True, text=True, **kw)


def check_man(source):
    need('mandoc', 'groff')
    page = os.path.join(source, 'docs', 'tinty.1')
    problems = []
    for argv in (['mandoc', '-Tlint', page], ['groff', '-man', '-t', '-ww', '-z', page]):
        r = run(*argv)
        if r.returncode or r.stdout or r.stderr:
            problems.append('%s: %s%s' % (argv[0], r.stdout, r.stderr))
    # The synopsis has to show every form the program takes.
    text = re.sub('.\b', '', run('mandoc', '-Tascii', page).stdout)
    for form in ('attribute text', 'background foreground text', '-p', 'EXIT STATUS'):
        if form not in ' '.join(text.split()):
            problems.append('the page does not mention %r' % form)
    return problems


def package(build, generator, out):
    r = run('cpack', '-G', generator, '--config', os.path.join(build, 'CPackConfig.cmake'),
            '-B', out)
    if r.returncode:
        return None, ['cpack failed: ' + r.stdout + r.stderr]
    files = [os.path.join(out, f) for f in os.listdir(out) if f.endswith(generator.lower())]
    return (files[0] if len(files) == 1 else None), ([] if len(files) == 1 else
                                                     ['cpack made %r' % files])


def check_install(build, version):
    with tempfile.TemporaryDirectory() as prefix:
        r = run('cmake', '--install', build, '--prefix', prefix)
        if r.returncode:
            return ['install failed: ' + r.stderr]
        tree = sorted(os.path.relpath(os.path.join(d, f), prefix)
                      for d, _, files in os.walk(prefix) for f in files)
        want = ['bin/tinty', 'share/doc/tinty/LICENSE', 'share/doc/tinty/README.md',
                'share/man/man1/tinty.1']
        problems = [] if tree == want else ['installed %r, expected %r' % (tree, want)]
        r = subprocess.run([os.path.join(prefix, 'bin', 'tinty'), '1', '12', 'Hello'],
                           capture_output=True)
        if (r.returncode, r.stdout, r.stderr) != (0, b'Hello', b''):
            problems.append('the installed program wrote %r' % r.stdout)
        return problems


def check_deb(build, version):
    need('dpkg-deb', 'cpack')
    with tempfile.TemporaryDirectory() as out:
        deb, problems = package(build, 'DEB', out)
        if deb is None:
            return problems
        arch = run('dpkg', '--print-architecture').stdout.strip()
        fields = {'Package': 'tinty', 'Version': version, 'Architecture': arch}
        for field, value in fields.items():
            got = run('dpkg-deb', '--field', deb, field).stdout.strip()
            if got != value:
                problems.append('%s is %r, expected %r' % (field, got, value))
        for field in ('Maintainer', 'Description'):
            if not run('dpkg-deb', '--field', deb, field).stdout.strip():
                problems.append('no %s field' % field)
        contents = run('dpkg-deb', '--contents', deb).stdout
        for path in ('./usr/bin/tinty', './usr/share/man/man1/tinty.1'):
            if path not in contents.split():
                problems.append('the package lacks ' + path)
        if os.path.basename(deb) != 'tinty_%s_%s.deb' % (version, arch):
            problems.append('named ' + os.path.basename(deb))
        return problems


def check_zip(build, version):
    need('cpack')
    with tempfile.TemporaryDirectory() as out:
        archive, problems = package(build, 'ZIP', out)
        if archive is None:
            return problems
        names = sorted(zipfile.ZipFile(archive).namelist())
        if names != ['LICENSE', 'README.md', 'tinty.exe']:
            problems.append('the ZIP holds %r' % names)
        if not os.path.basename(archive).startswith('tinty-%s-win' % version):
            problems.append('named ' + os.path.basename(archive))
        with open(os.path.join(build, 'tinty.exe'), 'rb') as exe:
            if zipfile.ZipFile(archive).read('tinty.exe') != exe.read():
                problems.append('the ZIP holds another tinty.exe than the build')
        return problems


def main():
    what = sys.argv[1]
    problems = globals()['check_' + what](*sys.argv[2:])
    for problem in problems:
        print('FAIL:', problem)
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
