#!/usr/bin/env python3
"""Checks of what a user installs: the built files, the manual, the install
tree and the packages.

  package_test.py link EXE LIBC              the Linux binary's libraries
  package_test.py pe EXE OBJDUMP MACHINE VERSION   the Windows exe's headers
  package_test.py docs SOURCE_DIR VERSION    the manual, and the version the docs name
  package_test.py install|deb|lintian|tgz|zip BUILD_DIR VERSION
  package_test.py reproducible SOURCE_DIR CMAKE_ARGS...   two builds, the same bytes
Exits 77 (skipped) where the tool that a check needs is not installed.
"""
import glob
import gzip
import hashlib
import os
import re
import subprocess
import sys
import tarfile
import tempfile
import time
import zipfile

from terminal import need


def run(*argv, **kw):
    return subprocess.run(argv, capture_output=True, text=True, **kw)


def check_link(exe, libc):
    need('readelf')
    dynamic = run('readelf', '-d', exe).stdout
    needed = re.findall(r'\(NEEDED\)\s+Shared library: \[([^\]]+)\]', dynamic)
    interpreter = 'INTERP' in run('readelf', '-l', exe).stdout
    if libc == 'musl':
        return [] if (needed, interpreter) == ([], False) else [
            'not static: needs %r, interpreter %s' % (needed, interpreter)]
    return [] if needed == ['libc.so.6'] else ['links against %r' % needed]


# What the manifest says of Windows 7, 8, 8.1 and 10/11.
SUPPORTED_OS = ['35138b9a-5d96-4fbd-8e2d-a2440225f93a', '4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38',
                '1f676c76-80e1-4239-95bb-83d0f6d0da78', '8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a']


def version_string(data, key):
    """A value of the version resource's string table (UTF-16LE, key, padding, value)."""
    m = re.search(re.escape(key.encode('utf-16le')) + rb'(?:\x00\x00)+((?:[^\x00].)+?)\x00\x00',
                  data, re.S)
    return m.group(1).decode('utf-16le') if m else None


# The DLLs an exe may import, by the C runtime it links.
RUNTIMES = {'msvcrt': r'msvcrt\.dll', 'ucrt': r'api-ms-win-crt-[a-z]+-l1-1-0\.dll'}
# Its size limit in KiB, by processor: the 32-bit release exe's, and the
# x86-64 one's, whose code and tables are larger.
LIMITS = {'x86': 20, 'AMD64': 24}


def check_pe(exe, objdump, machine, version, crt):
    headers = run(objdump, '-p', exe).stdout
    fmt = {'x86': 'pei-i386', 'AMD64': 'pei-x86-64'}[machine]
    problems = [] if 'file format ' + fmt in headers else ['not a %s file' % fmt]
    if re.search(r'Subsystem\s+0+3\b', headers) is None:
        problems.append('not a console program')
    runtime, limit = RUNTIMES[crt], LIMITS[machine]
    dlls = re.findall(r'DLL Name: (\S+)', headers)
    if 'KERNEL32.dll' not in dlls or not [d for d in dlls if re.fullmatch(runtime, d)] or [
            d for d in dlls if d != 'KERNEL32.dll' and not re.fullmatch(runtime, d)]:
        problems.append('imports %r, not KERNEL32.dll and %s alone' % (dlls, crt))
    if re.search(r'Time/Date\s+Thu Jan  1 00:00:00 1970', headers) is None:
        problems.append('the exe carries a link time stamp')
    size = os.path.getsize(exe)
    print('the exe takes %d bytes' % size)
    if size > limit * 1024:
        problems.append('the exe takes %d bytes, more than %d KiB' % (size, limit))

    with open(exe, 'rb') as f:
        data = f.read()
    four = '.'.join((version.split('.') + ['0'] * 4)[:4])
    want = {'FileVersion': four, 'ProductVersion': four, 'ProductName': 'tinty',
            'OriginalFilename': 'tinty.exe', 'InternalName': 'tinty',
            'LegalCopyright': 'Copyright (c) 2026 The tinty developers'}
    for key, value in want.items():
        if version_string(data, key) != value:
            problems.append('%s is %r, expected %r' % (key, version_string(data, key), value))
    if not version_string(data, 'FileDescription'):
        problems.append('no FileDescription')
    numbers = [int(n) for n in four.split('.')]
    fixed = b'\xbd\x04\xef\xfe' + b'\x00\x00\x01\x00' + bytes(
        sum([[n & 0xFF, n >> 8] for n in (numbers[1], numbers[0], numbers[3], numbers[2])], []))
    if fixed not in data:
        problems.append('no fixed file information for version %s' % four)
    manifest = re.search(rb'<assembly.*?</assembly>', data, re.S)
    text = manifest.group(0).decode() if manifest else ''
    if 'level="asInvoker"' not in text:
        problems.append('no manifest that asks for asInvoker')
    for os_id in SUPPORTED_OS:
        if '{%s}' % os_id not in text:
            problems.append('the manifest does not name the system {%s}' % os_id)
    return problems


def check_docs(source, version):
    need('mandoc', 'groff', 'nroff')
    page = os.path.join(source, 'docs', 'tinty.1')
    problems = []
    with open(page) as f, open(os.path.join(source, 'README.md')) as readme:
        named = set(re.findall(r'^\.TH TINTY 1 \S+ "tinty (\S+)"', f.read(), re.M))
        named |= set(re.findall(r'tinty[_-](\d+\.\d+\.\d+)', readme.read()))
    if named != {version}:
        problems.append('the manual and the README name version %r, not %s' % (named, version))
    # nroff as man runs it, at 80 columns, as well as troff.
    for argv in (['mandoc', '-Tlint', page], ['groff', '-man', '-t', '-ww', '-z', page],
                 ['nroff', '-man', '-t', '-rLL=80n', page]):
        r = run(*argv)
        if r.returncode or (r.stdout and argv[0] != 'nroff') or r.stderr:
            problems.append('%s: %s%s' % (argv[0], r.stdout, r.stderr))
    # The synopsis has to show every form the program takes.
    text = re.sub('.\b', '', run('mandoc', '-Tascii', page).stdout)
    for form in ('attribute text', 'background foreground text', '-p', 'EXIT STATUS'):
        if form not in ' '.join(text.split()):
            problems.append('the page does not mention %r' % form)
    return problems


def with_package(generator, *tools):
    """Runs the check on one package that cpack makes in a temporary folder:
    check(build, version, package_path, folder)."""
    def wrap(check):
        def run_check(build, version):
            need('cpack', *tools)
            with tempfile.TemporaryDirectory() as out:
                r = run('cpack', '-G', generator, '--config',
                        os.path.join(build, 'CPackConfig.cmake'), '-B', out)
                if r.returncode:
                    return ['cpack failed: ' + r.stdout + r.stderr]
                suffix = {'DEB': '.deb', 'TGZ': '.tar.gz', 'ZIP': '.zip'}[generator]
                files = glob.glob(os.path.join(out, '*' + suffix))
                if len(files) != 1:
                    return ['cpack made %r' % files]
                return check(build, version, files[0], out)
        return run_check
    return wrap


def static_build(build):
    """Whether the build in that folder is the static one, against musl."""
    with open(os.path.join(build, 'CMakeCache.txt')) as cache:
        return 'TINTY_LIBC:STRING=musl\n' in cache.read()


def tree(build, deb=False):
    """The installed tree below its prefix, the same in every Linux package
    but for the Debian file that says why the .deb of the static build is
    static."""
    files = ['bin/tinty', 'share/doc/tinty/README.md', 'share/doc/tinty/changelog.gz',
             'share/doc/tinty/copyright', 'share/man/man1/tinty.1.gz']
    if deb and static_build(build):
        files.append('share/lintian/overrides/tinty')
    return sorted(files)


def check_installed_program(path):
    r = subprocess.run([path, '1', '12', 'Hello'], capture_output=True)
    ok = (r.returncode, r.stdout, r.stderr) == (0, b'Hello', b'')
    return [] if ok else ['the installed program wrote %r' % r.stdout]


def check_install(build, version):
    with tempfile.TemporaryDirectory() as prefix:
        r = run('cmake', '--install', build, '--prefix', prefix)
        if r.returncode:
            return ['install failed: ' + r.stderr]
        installed = sorted(os.path.relpath(os.path.join(d, f), prefix)
                           for d, _, files in os.walk(prefix) for f in files)
        want = tree(build)
        problems = [] if installed == want else ['installed %r, expected %r' % (installed, want)]
        with gzip.open(os.path.join(prefix, 'share/doc/tinty/changelog.gz'), 'rt') as f:
            if not f.readline().startswith('tinty (%s) ' % version):
                problems.append('the changelog does not start with version ' + version)
        page = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), 'docs',
                            'tinty.1')
        with gzip.open(os.path.join(prefix, 'share/man/man1/tinty.1.gz'), 'rb') as f, \
                open(page, 'rb') as source:
            if f.read() != source.read():
                problems.append('the installed manual page is not the manual page')
        return problems + check_installed_program(os.path.join(prefix, 'bin', 'tinty'))


@with_package('DEB', 'dpkg-deb')
def check_deb(build, version, deb, out):
    problems = []
    arch = run('dpkg', '--print-architecture').stdout.strip()
    fields = {'Package': 'tinty', 'Version': version, 'Architecture': arch}
    for field, value in fields.items():
        got = run('dpkg-deb', '--field', deb, field).stdout.strip()
        if got != value:
            problems.append('%s is %r, expected %r' % (field, got, value))
    depends = run('dpkg-deb', '--field', deb, 'Depends').stdout.strip()
    if static_build(build) != (depends == ''):
        problems.append('the package depends on %r' % depends)
    maintainer = run('dpkg-deb', '--field', deb, 'Maintainer').stdout
    if 'example' in maintainer or '@' not in maintainer:
        problems.append('the maintainer is %r' % maintainer)
    contents = run('dpkg-deb', '--contents', deb).stdout.split()
    for path in tree(build, deb=True):
        if './usr/' + path not in contents:
            problems.append('the package lacks /usr/' + path)
    if os.path.basename(deb) != 'tinty_%s_%s.deb' % (version, arch):
        problems.append('named ' + os.path.basename(deb))
    run('dpkg-deb', '--extract', deb, out)
    return problems + check_installed_program(os.path.join(out, 'usr', 'bin', 'tinty'))


@with_package('DEB', 'lintian')
def check_lintian(build, version, deb, out):
    r = run('lintian', '--allow-root', '--display-info', '--pedantic', deb)
    print(r.stdout + r.stderr)
    tags = re.findall(r'^([EW]): (.*)$', r.stdout, re.M)
    failed = ['lintian ended with status %d' % r.returncode] if r.returncode else []
    return failed + ['lintian: %s: %s' % tag for tag in tags]


@with_package('TGZ')
def check_tgz(build, version, archive, out):
    problems = []
    top = 'tinty-%s-linux-x86_64' % version
    if os.path.basename(archive) != top + '.tar.gz':
        problems.append('named ' + os.path.basename(archive))
    with tarfile.open(archive) as tar:
        files = sorted(m.name for m in tar.getmembers() if m.isfile())
        owners = {(m.uid, m.gid) for m in tar.getmembers()}
        tar.extractall(out)
    if files != [top + '/' + path for path in tree(build)]:
        problems.append('the archive holds %r' % files)
    if owners != {(0, 0)}:
        problems.append('the archive has owners %r' % owners)
    return problems + check_installed_program(os.path.join(out, top, 'bin', 'tinty'))


@with_package('ZIP')
def check_zip(build, version, archive, out):
    problems = []
    with zipfile.ZipFile(archive) as z, open(os.path.join(build, 'tinty.exe'), 'rb') as exe:
        names = sorted(z.namelist())
        if names != ['LICENSE', 'README.md', 'tinty.exe']:
            problems.append('the ZIP holds %r' % names)
        elif z.read('tinty.exe') != exe.read():
            problems.append('the ZIP holds another tinty.exe than the build')
    if not os.path.basename(archive).startswith('tinty-%s-win' % version):
        problems.append('named ' + os.path.basename(archive))
    return problems


def digests(build):
    """SHA-256 of the built program and of every package cpack makes."""
    r = run('cpack', '--config', os.path.join(build, 'CPackConfig.cmake'), '-B',
            os.path.join(build, 'packages'))
    if r.returncode:
        return {'cpack failed': r.stdout + r.stderr}
    paths = [os.path.join(build, n) for n in ('tinty', 'tinty.exe')]
    paths += glob.glob(os.path.join(build, 'packages', '*.*'))
    out = {}
    for path in sorted(p for p in paths if os.path.isfile(p)):
        with open(path, 'rb') as f:
            out[os.path.basename(path)] = hashlib.sha256(f.read()).hexdigest()
    return out


def check_reproducible(source, *configuration):
    """Two builds of the same sources in two folders, a few seconds apart,
    with the same SOURCE_DATE_EPOCH: the same bytes."""
    need('cmake', 'cpack')
    env = dict(os.environ, SOURCE_DATE_EPOCH='1780000000')
    results = []
    with tempfile.TemporaryDirectory() as tmp:
        for name in ('first', 'second-build-folder'):
            build = os.path.join(tmp, name)
            for argv in (['cmake', '-S', source, '-B', build, '-DBUILD_TESTING=OFF']
                         + list(configuration),
                         ['cmake', '--build', build]):
                r = run(*argv, cwd=source, env=env)
                if r.returncode:
                    return ['%s failed: %s%s' % (' '.join(argv), r.stdout, r.stderr)]
            results.append(digests(build))
            time.sleep(2)  # file times that leak would differ
    for name, digest in sorted(results[0].items()):
        print(digest, name)
    if len(results[0]) < 2:
        return ['too little was built: %r' % results[0]]
    return [] if results[0] == results[1] else ['the builds differ: %r and %r' % tuple(results)]


CHECKS = {'link': check_link, 'pe': check_pe, 'docs': check_docs, 'install': check_install,
          'deb': check_deb, 'lintian': check_lintian, 'tgz': check_tgz, 'zip': check_zip,
          'reproducible': check_reproducible}


def main():
    if len(sys.argv) < 2 or sys.argv[1] not in CHECKS:
        sys.exit('usage: package_test.py {%s} ARGUMENTS...' % ','.join(CHECKS))
    problems = CHECKS[sys.argv[1]](*sys.argv[2:])
    for problem in problems:
        print('FAIL:', problem)
    print('%d failed' % len(problems) if problems else 'passed')
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
