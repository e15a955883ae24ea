#!/usr/bin/env python3
"""Black-box tests of the built tinty, run as a user runs it.

  tinty_test.py SUITE --exe PATH [--emulator LOADER] [--windows] [--helper PATH]
                [--split PATH]

pipe        exact bytes of every case through a pipe
pty         every case on a pseudo-terminal, the escape sequences decoded back
            into (attribute word, text) pieces
faults      standard output closed, full, a reader gone, a hung-up terminal
fuzz        seeded random argument vectors (TINTY_SEED repeats a run)
terminal    what xterm draws, read off a screenshot of it under Xvfb
wine-start  starts the Wine prefix's server (Windows, before the others)
wine        the console's own saved attribute, wildcard expansion, and every
            cell that the console holds afterwards: for the case table, for
            random numbers against msvcrt.dll's own atol and strtoul, and for
            a narrow argument vector split unlike the wide one (Windows)
pty-pipe    MSYS2 and Cygwin pty pipes, through the helper (Windows)
wine-stop   ends the Wine prefix's server (Windows, after the others)
A suite whose tools are missing exits 77: skipped, never passed.
"""
import argparse
import collections
import errno
import os
import random
import struct
import subprocess
import sys
import tempfile
import time

from terminal import SKIP, decode, merge, need, run_pty, sgr_color, windows_color, writes

USAGE = (b'tinty background-color(0-16) foreground-color(0-16) "string"\r\n'
         b'tinty 1 12 "Hello"\r\n\r\n'
         b'tinty background-foreground-color(00-FF) "string"\r\n'
         b'tinty 0E "Hello"\r\n\r\n')
CHART = b''.join(b'%X' % r + b''.join(b' %X' % c for c in range(16)) + b'\r\n'
                 for r in range(16))
HELP = USAGE + CHART

# arguments, attribute set for the text (None: no colouring form), text
# written, whether the help screen follows
CASES = [
    (['1', '12', 'Hello'], 0x1C, 'Hello', False),
    (['0E', 'Hello'], 0x0E, 'Hello', False),
    (['0x1e', 'x'], 0x1E, 'x', False),
    ([' \t+0X1c', 'x'], 0x1C, 'x', False),
    (['1FF', 'x'], 0x1FF, 'x', False),
    (['12345', 'x'], 0x2345, 'x', False),
    (['ABCDEF12', 'x'], 0xEF12, 'x', False),
    (['-1', 'x'], 0xFFFF, 'x', False),
    (['-0x10', 'x'], 0xFFF0, 'x', False),
    (['FFFFFFFF', 'x'], 0xFFFF, 'x', False),
    (['100000000', 'x'], 0xFFFF, 'x', False),
    (['123456789', 'x'], 0xFFFF, 'x', False),
    (['-123456789', 'x'], 0x0001, 'x', False),
    (['3G', 'x'], 0x03, 'x', False),
    (['0x', 'x'], 0x00, 'x', False),
    (['zz', 'x'], 0x00, 'x', False),
    (['C012', 'x'], 0xC012, 'x', False),
    (['412', 'x'], 0x412, 'x', False),
    (['zz', '12', 'x'], 0x0C, 'x', False),
    (['1', 'zz', 'x'], 0x10, 'x', False),
    (['0', '16', 'x'], 0x10, 'x', False),
    (['-1', '0', 'x'], 0xFFF0, 'x', False),
    (['1', '12x', 'x'], 0x1C, 'x', False),
    (['+1', ' 12', 'x'], 0x1C, 'x', False),
    (['4095', '15', 'x'], 0xFFFF, 'x', False),
    (['2147483648', '1', 'x'], 0x0001, 'x', False),
    (['99999999999999999999', '1', 'x'], 0xFFF1, 'x', False),
    (['-99999999999999999999', '1', 'x'], 0x0011, 'x', False),
    (['1', '12', 'a', 'b', 'c'], 0x1C, 'a', False),
    # numbers at and beyond 32 and 64 bits, with and without signs
    (['FFFFFFFFFFFFFFFF', 'x'], 0xFFFF, 'x', False),
    (['10000000000000000', 'x'], 0xFFFF, 'x', False),
    (['-FFFFFFFF', 'x'], 0x0001, 'x', False),
    (['-80000000', 'x'], 0x0000, 'x', False),
    (['-100000000', 'x'], 0x0001, 'x', False),
    (['00000000000000000000001C', 'x'], 0x1C, 'x', False),
    (['2147483647', '0', 'x'], 0xFFF0, 'x', False),
    (['-2147483648', '5', 'x'], 0x0005, 'x', False),
    (['-2147483649', '5', 'x'], 0xFFF5, 'x', False),
    (['0', '4294967295', 'x'], 0xFFFF, 'x', False),
    (['0', '9223372036854775808', 'x'], 0x0000, 'x', False),
    (['0', '4294967296', 'x'], 0x0000, 'x', False),
    (['1', '-18446744073709551617', 'x'], 0x000F, 'x', False),
    (['0000000000000000000001', '2', 'x'], 0x12, 'x', False),
    # every letter case and blank the conversions treat specially
    (['fa', 'x'], 0xFA, 'x', False),
    (['\r\v\f\n1c', 'x'], 0x1C, 'x', False),
    (['+0xBd', 'x'], 0xBD, 'x', False),
    (['0xg', 'x'], 0x00, 'x', False),
    (['1a', 'b2', 'x'], 0x10, 'x', False),
    (['\r-1', '\t9', 'x'], 0xFFF9, 'x', False),
    (['+-1', '- 1', 'x'], 0x00, 'x', False),
    # characters next to a class boundary, which a random draw meets too seldom
    (['1:', 'x'], 0x01, 'x', False),
    (['1@', 'x'], 0x01, 'x', False),
    (['1`', 'x'], 0x01, 'x', False),
    (['\x0e1', 'x'], 0x00, 'x', False),
    (['\b1', ',1', 'x'], 0x00, 'x', False),
    (['FFFFFFF0', 'x'], 0xFFF0, 'x', False),
    (['-p', 'x'], 0x00, 'x', True),
    (['-p', '12', 'x'], 0x0C, 'x', True),
    (['-P'], None, '', False),
    (['-p2'], None, '', False),
    (['hello'], None, '', False),
    ([], None, '', True),
    (['-p'], None, '', True),
    (['1', '12', '100%d %s%n%%'], 0x1C, '100%d %s%n%%', False),
    (['1', '12', ''], 0x1C, '', False),
    (['0E', 'two\nlines'], 0x0E, 'two\nlines', False),
    (['0E', 'Größe €'], 0x0E, 'Größe €', False),
    (['0E', 'a\vb'], 0x0E, 'a\vb', False),
]

# Text beyond any ANSI code page: a terminal or console shows it as typed.
WIDE = 'Größe € Ωμέγα 日本 ✓'
WIDE_CASES = [
    (['0E', WIDE], 0x0E, WIDE, False),
    (['1', '14', WIDE], 0x1E, WIDE, False),
    (['0E', WIDE + '\n' + WIDE], 0x0E, WIDE + '\n' + WIDE, False),
    # Longer than one piece written, in lines shorter than the screen.
    (['0E', ('Ωμέγα ' * 10 + '\n') * 20], 0x0E, ('Ωμέγα ' * 10 + '\n') * 20, False),
]
# Characters beyond 16 bits, which UTF-16 writes as pairs: Wine's console
# shows each pair as two U+FFFD, as it does for cmd's own echo.
PAIRS = (['0E', 'x' + '\U0001F308' * 400], 0x0E, 'x' + '\U0001F308' * 400, False)


def command(opts, args):
    return opts.emulator + [opts.exe] + args


def expected_bytes(opts, text, help_due):
    """Through a pipe: UTF-8 on POSIX; on Windows the ANSI code page (1252
    under Wine) and text mode, where every LF leaves as CR LF."""
    if not opts.windows:
        return text.encode() + (HELP if help_due else b'')
    return text_mode(text.encode('cp1252') + (HELP if help_due else b''))


def text_mode(data):
    return data.replace(b'\n', b'\r\n')


# glibc's message where it asserts while Wine's process ends
LD_ASSERT = b'Inconsistency detected by ld.so'


def run(argv, to='pipe', text_due=False, **kw):
    """Runs argv, under Wine or not, with standard output to a pipe, to a fresh
    pseudo-terminal as run_pty does ('pty'), or with every stream away
    ('away'); returns (status, output, stderr).
    Now and then, mostly under load, Wine fails a run of its own accord: the
    new process cannot map Wine's shared memory and ends with status 1 before
    the program starts (WINEDEBUG=-all hides the message), glibc asserts as it
    ends (status 127), or Wine's console passes on nothing at all of a
    short-lived program.  Such a run is tried again, twice at most, and said
    so.  tinty and the helper never end with 1 or 127: one that fails alike
    fails all three."""
    for attempt in range(3):
        if to == 'pty':
            status, out, err = run_pty(argv, raw=False, **kw)
        elif to == 'away':
            status, out, err = subprocess.run(argv, timeout=300, **AWAY, **kw).returncode, b'', b''
        else:
            r = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, timeout=300,
                               **kw)
            status, out, err = r.returncode, r.stdout, r.stderr
        silent = text_due and not any(t.strip() for _, t in decode(out)[0])
        if not (silent or (status == 1 and not err) or (status == 127 and LD_ASSERT in err)):
            break
        print('note: Wine failed %.60r (status %d, %r), run %d of 3'
              % (argv[1:], status, (out + err)[:80], attempt + 1))
    return status, out, err


def expected_pieces(text, attr, help_due):
    pieces = [(attr, text.encode())] if attr is not None else []
    if help_due:
        pieces.append((7, USAGE))
        for r in range(16):
            pieces.append((7, b'%X' % r))
            pieces += [(r * 16 + c, b' %X' % c) for c in range(16)]
            pieces.append((7, b'\r\n'))
    return pieces


def through_wine(pieces):
    """What a terminal shows of pieces that Wine's console passes on: it
    sends only the nibbles that changed, a foreground of 7 as a plain reset,
    nothing for the background when the word is 7, and no change at all
    before line ends alone."""
    sent, out = 7, []
    for attr, text in pieces:
        if not text.strip(b'\r\n'):
            out.append(text)
            continue
        codes = []
        if (attr ^ sent) & 0x0F:
            codes.append(0 if attr & 0x0F == 7 else sgr_color(attr & 0xF, 30))
        if (attr ^ sent) & 0xF0 and attr != 7:
            codes.append(sgr_color(attr >> 4 & 0xF, 40))
        sent = attr
        out.append(b''.join(b'\x1b[%dm' % c if c else b'\x1b[m' for c in codes) + text)
    return decode(b''.join(out))[0]


def without_cr(pieces):
    return merge([(a, t.replace(b'\r', b'')) for a, t in pieces])


class Failures:
    def __init__(self):
        self.count, self.total = 0, 0

    def check(self, ok, what):
        self.total += 1
        if not ok:
            self.count += 1
            print('FAIL:', what)

    def quiet(self, status, stderr, what):
        """A run that ended well: status 0 and nothing on standard error."""
        self.check((status, stderr) == (0, b''), '%s: status %d, stderr %r'
                   % (what, status, stderr[:300]))

    def finish(self):
        print('%d passed, %d failed' % (self.total - self.count, self.count))
        return 1 if self.count else 0


def suite_pipe(opts, f):
    for args, attr, text, help_due in CASES:
        status, out, err = run(command(opts, args))
        f.quiet(status, err, repr(args))
        want = expected_bytes(opts, text, help_due)
        f.check(out == want, '%r: wrote %r, expected %r' % (args, out[:200], want[:200]))
    if opts.windows:
        # A file is no terminal either: the bare bytes.  NUL takes everything.
        for args, attr, text, help_due in [CASES[0], (['-p'], None, '', True)]:
            with tempfile.NamedTemporaryFile() as out:
                status, _, err = run(['bash', '-c', '"$@" > "$0"', out.name] + command(opts, args))
                got, want = out.read(), expected_bytes(opts, text, help_due)
            f.quiet(status, err, 'to a file, %r' % args)
            f.check(got == want, 'to a file, %r: wrote %r, expected %r'
                    % (args, got[:80], want[:80]))
        _, out, _ = run(opts.emulator + ['cmd', '/c', '%s 1 12 x > NUL & echo done'
                                         % windows_path(opts.exe)])
        f.check(out == b'done\r\n', 'to NUL: %r' % out)
    # A reader that goes away: no SIGPIPE, status 0.
    status, out, err = run(['bash', '-c', '"$@" -p | head -c1 >/dev/null; exit ${PIPESTATUS[0]}',
                            'bash'] + command(opts, []))
    f.check((status, out, err) == (0, b'', b''), 'reader gone: %d %r' % (status, err))


def as_terminal_shows(pieces):
    """Pieces as a terminal shows them: the flags it has no rendition for dropped."""
    return merge([(a & 0xC4FF, t) for a, t in pieces])


def check_terminal_stream(f, what, text, out):
    """The rules of every stream to a terminal: the terminal is left in its own
    colours, and tinty's own line feeds never go out on a coloured background
    (a line feed that scrolls fills the new line with it)."""
    got, final = decode(out)
    f.check(final == 7 and out.endswith(b'\x1b[0m'),
            '%s: the terminal is left in %#x (%r)' % (what, final, out[-12:]))
    if '\n' not in text:
        coloured = [(hex(a), t[:20]) for a, t in got if b'\n' in t and a & 0xF0]
        f.check(not coloured, '%s: line feeds on a background: %r' % (what, coloured))
    return got


def suite_pty(opts, f):
    rows = CASES + WIDE_CASES
    if not opts.windows:  # the Windows suites read these off the console itself
        need('strace', opts.wine, opts.helper)
        start_wine(opts, f)
        rows += [PAIRS] + msvcrt_rows(opts, f)
        suite_wine_stop(opts, f)
    for args, attr, text, help_due in rows:
        want = expected_pieces(text, attr, help_due)
        if opts.windows:  # Wine places lines with CR LF pairs and cursor moves of its own
            status, out, err = run(command(opts, args), to='pty', text_due=bool(text))
            want = without_cr(through_wine(want))
            got = without_cr(decode(out)[0])
        else:
            status, out, err = run_pty(command(opts, args), raw=True)
            got = check_terminal_stream(f, repr(args), text, out)
            want = as_terminal_shows(want)
        f.quiet(status, err, repr(args))
        f.check(got == want,
                '%r: showed %r, expected %r (%r)' % (args, got[:6], want[:6], out[:80]))
    if not opts.windows:
        # Colour and text travel together: a call, the help screen too, is one write(2).
        # (LeakSanitizer cannot run under strace's ptrace.)
        traced = dict(os.environ, ASAN_OPTIONS='detect_leaks=0')
        for args in (['1', '12', 'Hello'], ['-p']):
            count = writes(command(opts, args), True, traced)
            f.check(count == 1, '%r: %d write(2) calls on a terminal' % (args, count))


def gone_reader():
    read_end, write_end = os.pipe()
    os.close(read_end)
    return write_end


def hung_up_terminal():
    master, slave = os.openpty()
    os.close(master)
    return slave


def suite_faults(opts, f):
    """Standard output that cannot take the text: status 0, silence, no crash."""
    for args in (['1', '12', 'Hello'], ['-p']):
        r = subprocess.run(['bash', '-c', '"$@" >&-', 'bash'] + command(opts, args),
                           capture_output=True, timeout=60)
        f.quiet(r.returncode, r.stderr, 'stdout closed, %r' % args)
        for name, open_output in [('full', lambda: os.open('/dev/full', os.O_WRONLY)),
                                  ('reader gone', gone_reader),
                                  ('hung-up terminal', hung_up_terminal)]:
            output = open_output()
            r = subprocess.run(command(opts, args), stdin=subprocess.DEVNULL, stdout=output,
                               stderr=subprocess.PIPE, timeout=60, start_new_session=True)
            os.close(output)
            f.quiet(r.returncode, r.stderr, 'stdout %s, %r' % (name, args))
    # An empty argument vector counts as a call without arguments.
    spawn = ('import ctypes, os, sys\n'
             'libc = ctypes.CDLL(None, use_errno=True)\n'
             'none = (ctypes.c_char_p * 1)(None)\n'
             'libc.execve(sys.argv[1].encode(), none, none)\n'
             'sys.exit(99)\n')
    if not opts.emulator:
        r = subprocess.run([sys.executable, '-c', spawn, opts.exe], capture_output=True,
                           timeout=60)
        f.check((r.returncode, r.stdout, r.stderr) == (0, HELP, b''),
                'empty argv: status %d, wrote %r' % (r.returncode, r.stdout[:80]))


# Pieces that random arguments are made of, weighted towards the ones the
# conversions and the switch treat specially.
PIECES = (['-', '+', '0x', '0X', ' ', '\t', '\n', '\r', '\v', '\f', '-p', '-P', '%', '%s', '%n',
           '%d', '\x1b', '\x1b[31m', '\x07', '\x7f', '\x80', '\xa0', '\xff', 'x', 'g', 'G']
          + list('0123456789abcdefABCDEF'))


def random_argument(rng, size):
    out = bytearray()
    while len(out) < size:
        if rng.random() < 0.6:
            out += PIECES[rng.randrange(len(PIECES))].encode('latin-1')
        else:
            out.append(rng.randrange(1, 256))
    return bytes(out[:size])


def seeded():
    """A random generator, its seed printed so that TINTY_SEED repeats the run."""
    seed = int(os.environ.get('TINTY_SEED', random.randrange(1 << 32)))
    print('seed', seed, '(TINTY_SEED=%d repeats this run)' % seed)
    return random.Random(seed)


def suite_fuzz(opts, f):
    rng = seeded()
    vectors = []
    for _ in range(400):
        count = rng.randrange(7)
        sizes = [rng.choice([0, 1, 2, 3, 5, 8, 13, 40]) if rng.random() < 0.9
                 else rng.randrange(100_000) for _ in range(count)]
        vectors.append([random_argument(rng, n) for n in sizes])
    vectors.append([b'1', b'12', random_argument(rng, 128 * 1024 - 1)])  # the longest Linux passes
    for args in vectors:
        if rng.random() < 0.1 and args:
            args[0] = b'-p'
        r = subprocess.run(command(opts, []) + args, stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=60)
        text = args[1] if len(args) == 2 else args[2] if len(args) >= 3 else b''
        want = text + (HELP if len(args) == 0 or args[0] == b'-p' else b'')
        ok = (r.returncode, r.stderr, r.stdout) == (0, b'', want)
        f.check(ok, '%r: status %d, stderr %r' % ([a[:40] for a in args], r.returncode,
                                                  r.stderr[:300]))
        if not ok:
            break


AWAY = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def wine_server(opts, flag):
    server = os.path.join(os.path.dirname(opts.wine), 'wineserver')
    return subprocess.run([server, flag], **AWAY).returncode


# Some kernels do not execute 32-bit x86 programs at all (IA-32 emulation not
# built, or switched off, as ia32_emulation=0 does): execve fails with
# ENOEXEC, and no 32-bit Wine can run there.  That alone skips the suites of
# the 32-bit exe; any other failure of Wine fails them.
KERNEL_LIMIT = "this machine's kernel does not run 32-bit x86 programs"


def is_i386_elf(path):
    with open(path, 'rb') as f:
        header = f.read(20)
    return header[:5] == b'\x7fELF\x01' and header[18:20] == b'\x03\x00'


def i386_probe():
    """The smallest 32-bit x86 Linux program: it exits with status 42."""
    base, code = 0x08048000, b'\xbb\x2a\x00\x00\x00\xb8\x01\x00\x00\x00\xcd\x80'
    size = 52 + 32 + len(code)  # ELF header, one program header, mov ebx 42, exit
    header = struct.pack('<4s5B7xHHIIIIIHHHHHH', b'\x7fELF', 1, 1, 1, 0, 0, 2, 3, 1, base + 84,
                         52, 0, 0, 52, 32, 1, 0, 0, 0)
    return header + struct.pack('<8I', 1, 0, base, base, size, size, 5, 0x1000) + code


def kernel_refuses(argv, status):
    """Whether the kernel refuses to execute argv[0] (ENOEXEC, "Exec format
    error"); False where it runs and ends with status.  Any other outcome is
    a fault, raised."""
    try:
        got = subprocess.run(argv, timeout=60, **AWAY).returncode
    except OSError as e:
        if e.errno == errno.ENOEXEC:
            return True
        raise
    if got != status:
        raise OSError('%s ended with status %d, not %d' % (argv[0], got, status))
    return False


def write_program(path, data, mode=0o755):
    """Writes a program whole under a new name, then renames it: a suite
    running at the same time never executes a half-written file."""
    with tempfile.NamedTemporaryFile(dir=os.path.dirname(path), delete=False) as out:
        out.write(data)
    os.chmod(out.name, mode)
    os.replace(out.name, path)
    return path


def need_kernel_for(loader, folder):
    """Ends the test as skipped where loader is a 32-bit x86 program and the
    kernel refuses both it and the probe.  Where only one of them is refused,
    that one is broken: a fault."""
    if not is_i386_elf(loader):
        return
    probe = write_program(os.path.join(folder, 'i386-probe'), i386_probe())
    refused = kernel_refuses([probe], 42), kernel_refuses([loader, '--version'], 0)
    if refused == (True, True):
        print('skipped: %s (%s cannot be executed); the windows-x64 preset runs the same '
              'suites on the same sources' % (KERNEL_LIMIT, loader))
        sys.exit(SKIP)
    if refused != (False, False):
        raise OSError('the kernel refuses %s only' % (probe if refused[0] else loader))


# Stand-ins for a probe, and whether the kernel's answer to each is that
# limit (None: a fault).  Only a refusal to execute is.
PROBE_STAND_INS = [
    ('an i386 core file', b'\x7fELF\x01\x01\x01' + bytes(9) + b'\x04\x00\x03\x00' + bytes(64),
     0o755, True),
    ('a program that fails', b'#!/bin/sh\nexit 1\n', 0o755, None),
    ('a program killed by a signal', b'#!/bin/sh\nkill -SEGV $$\n', 0o755, None),
    ('a program without leave to run', i386_probe(), 0o644, None),
    ('a script whose interpreter is missing', b'#!/nonexistent/wine\n', 0o755, None),
]


def suite_wine_start(opts, f):
    """Checks the rule by which a kernel's limit skips the Wine suites, then
    starts Wine."""
    with tempfile.TemporaryDirectory(dir=os.path.dirname(os.path.abspath(opts.exe))) as folder:
        for name, data, mode, limit in PROBE_STAND_INS:
            try:
                got = kernel_refuses([write_program(os.path.join(folder, 'probe'), data, mode)], 42)
            except OSError:
                got = None
            f.check(got == limit, 'stand-in probe, %s: %r, expected %r' % (name, got, limit))
    start_wine(opts, f)


def start_wine(opts, f):
    """Starts the prefix's server and services, streams away from the tests."""
    os.makedirs(os.environ['WINEPREFIX'], exist_ok=True)  # the server runs inside it
    wine_server(opts, '-k')  # one left from a run by hand would refuse a second
    f.check(wine_server(opts, '-p') == 0, 'the Wine server did not start')
    status = run([opts.wine, 'cmd', '/c', 'exit'], to='away')[0]
    f.check(status == 0, 'Wine did not start: status %d' % status)


def suite_wine_stop(opts, f):
    """Ends the prefix's server, and with it the services, after the tests."""
    wine_server(opts, '-k')


def suite_wine(opts, f):
    # The saved attribute is the console's own: cmd's colour comes back.
    exe_dir, exe = os.path.split(os.path.abspath(opts.exe))
    script = 'color 1F & %s 2E x & echo y' % exe
    status, out, _ = run(opts.emulator + ['cmd', '/c', script], to='pty', text_due=True,
                         cwd=exe_dir)
    pieces = decode(out)[0]
    shown = {t.strip(b'\r\n '): a for a, t in pieces}
    f.check(status == 0 and shown.get(b'x') == 0x2E and shown.get(b'y') == 0x1F,
            'saved attribute: %r' % pieces)

    # Wildcards expand before the program looks at its arguments.
    for names, allowed in [(['one.txt'], [b'one.txt']),
                           (['a.txt', 'b.txt'], [b'a.txt', b'b.txt'])]:
        with tempfile.TemporaryDirectory() as folder:
            for name in names + ['other.dat']:
                open(os.path.join(folder, name), 'w').close()
            status, out, _ = run(opts.emulator + [os.path.abspath(opts.exe), '1C', '*.txt'],
                                 cwd=folder)
            f.check(status == 0 and out in allowed, '1C *.txt among %r wrote %r' % (names, out))
    # On the console the text comes from the wide command line, expanded alike.
    with tempfile.TemporaryDirectory() as folder:
        for name in ['Ωμέγα.txt', 'other.dat']:
            open(os.path.join(folder, name), 'w').close()
        status, out, _ = run(opts.emulator + [os.path.abspath(opts.exe), '1C', '*.txt'],
                             to='pty', text_due=True, cwd=folder)
        shown = b''.join(t for a, t in decode(out)[0] if a == 0x1C)
        f.check(status == 0 and shown == 'Ωμέγα.txt'.encode(), '1C *.txt on the console showed %r'
                % shown)
    check_console_cells(opts, f)


def windows_path(path):
    """A host path as Wine's Z: drive shows it."""
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


# The helper clears the console to FILL in SAVED before each run: colours and
# flags that a restore to 7, or to the low byte alone, would lose.
SAVED, FILL = 0x841F, '\u2591'
CONSOLE_BITS = 0xDFFF  # the console host refuses bit 13


def console_runs(opts, program, calls, env=None):
    """Runs program on Wine's console once for each argument list, through
    the helper; returns (status, attribute in force afterwards, screen width,
    [(attribute, character)] of every cell up to the cursor) for each."""
    with tempfile.TemporaryDirectory() as tmp:
        cases, report = os.path.join(tmp, 'cases'), os.path.join(tmp, 'report')
        with open(cases, 'w') as listing:
            listing.write(''.join(' '.join('=' + a.encode().hex() for a in args) + '\n'
                                  for args in calls))
        _, _, err = run([opts.wine, opts.helper, 'cells', '%X' % SAVED, windows_path(program),
                         windows_path(cases), windows_path(report)], to='pty', env=env)
        print(err.decode(errors='replace'), end='')
        with open(report, 'a+') as lines:  # a+: there is none where the helper failed
            lines.seek(0)
            report = lines.read()
    runs = []
    for line in report.splitlines():
        fields = line.split()
        cells = [(int(a, 16), chr(int(c, 16))) for a, c in (cell.split(':') for cell in fields[3:])]
        runs.append((int(fields[0]), int(fields[1], 16), int(fields[2]), cells))
    return runs if len(runs) == len(calls) else [(99, 0, 80, [])] * len(calls)


def console_cells(pieces, width):
    """The cells a console holds once pieces are written from its top left,
    up to the cursor; a line feed also returns the cursor to column 0."""
    cells, x, y = {}, 0, 0
    for attr, text in pieces:
        for ch in text.decode():
            if ch in '\r\n':
                x, y = 0, y + (ch == '\n')
            else:
                cells[y, x] = (attr & CONSOLE_BITS, ch)
                x, y = (x + 1) % width, y + (x + 1 == width)
    return [cells.get(divmod(i, width), (SAVED, FILL)) for i in range(y * width + x)]


def msvcrt_numbers(opts, strings):
    """{string: (atol, strtoul base 16)} from msvcrt.dll itself."""
    with tempfile.TemporaryDirectory() as tmp:
        listing = os.path.join(tmp, 'strings')
        with open(listing, 'w') as out:
            out.write(''.join(text.encode().hex() + '\n' for text in strings))
        lines = run([opts.wine, opts.helper, 'numbers', windows_path(listing)])[1].splitlines()
    return dict(zip(strings, [tuple(int(v, 16) for v in line.split()) for line in lines]))


def msvcrt_word(numbers, args):
    """The word msvcrt's conversions give for the arguments of a colouring form."""
    if len(args) == 2:
        return numbers[args[0]][1] & 0xFFFF
    return (numbers[args[0]][0] * 16 + numbers[args[1]][0]) & 0xFFFF


HEX_DIGITS = '0123456789abcdefABCDEF'
BLANKS = [' ', '\t', '\n', '\v', '\f', '\r']
# Next to a blank, a sign, the 0x prefix, or a range of digits or letters: a
# conversion that misplaces a class boundary by one reads one of these.
NEIGHBOURS = ['\b', '\x0e', '\x1f', '!', '*', ',', '.', '/', ':', '@', 'G', '[', '`', 'g', '{',
              '\x7f', 'w', 'y', 'W', 'Y']
NUMBER_PIECES = (BLANKS + ['+', '-', '0x', '0X', 'x', 'X', 'z', 'Z'] + NEIGHBOURS
                 + list(HEX_DIGITS * 2))
LEADS = BLANKS + ['+', '-', '0x', '0X'] + NEIGHBOURS[:6]
# Values at which a conversion changes its rule: strtoul saturates once the
# value before a digit passes 2^28, so beyond 2^32; atol wraps at 2^32 and
# turns negative at 2^31.
EDGES = {16: [1 << 28, 1 << 32], 10: [1 << 31, 1 << 32]}


def random_number(rng, base):
    """Pieces at random; or blanks, signs and prefixes, then digits at or next
    to an edge, or a run of them, then perhaps a neighbour."""
    roll = rng.random()
    if roll < 0.2:
        return ''.join(rng.choice(NUMBER_PIECES) for _ in range(rng.randrange(12)))
    lead = ''.join(rng.choice(LEADS) for _ in range(rng.randrange(3)))
    if roll < 0.6:
        digits = ('%x' if base == 16 else '%d') % (rng.choice(EDGES[base]) + rng.randrange(-17, 17))
    else:
        length = rng.choice([rng.randrange(1, 8), rng.randrange(8, 24)])
        digits = ''.join(rng.choice(HEX_DIGITS if base == 16 else '0123456789')
                         for _ in range(length))
    digits = '0' * rng.randrange(3) + ''.join(rng.choice([c.lower(), c.upper()]) for c in digits)
    return lead + digits + ''.join(rng.choice(NEIGHBOURS) for _ in range(rng.randrange(2)))


# Calls whose narrow vector the harness splits unlike the wide one.  They
# stay short: Wine (10) puts small blocks into groups of its low-fragmentation
# heap once 16 of a size are in use, tail checking or not, and validates such a
# group only as a whole; Windows keeps that heap off while heap checks are on.
SPLIT_CASES = [(['0E', 'Ωμέγα'], 0x0E, 'Ωμέγα'), (['1', '14', 'Ωμέγα'], 0x1E, 'Ωμέγα'),
               (['Ω', '0E', 'x'], 0x00, 'x'), (['1F', '日本 ✓'], 0x1F, '日本 ✓')]


def msvcrt_rows(opts, f):
    """Random colouring calls, each with the word that msvcrt.dll's own atol
    and strtoul give; the case table is checked against msvcrt on the way."""
    rng = seeded()
    calls = [[random_number(rng, 16), 'x'] if rng.random() < 0.5
             else [random_number(rng, 10), random_number(rng, 10), 'x'] for _ in range(150)]
    table = [row for row in CASES + WIDE_CASES if row[1] is not None]
    strings = sorted({a for args in calls + [row[0] for row in table] for a in args[:-1]})
    numbers = msvcrt_numbers(opts, strings)
    f.check(len(numbers) == len(strings) and numbers.get('4294967296') == (0, 0xFFFFFFFF),
            'msvcrt probe: %d of %d strings' % (len(numbers), len(strings)))
    if len(numbers) != len(strings):
        return []
    for args, attr, _, _ in table:
        f.check(msvcrt_word(numbers, args) == attr, '%r: the table says %#x, msvcrt %#x'
                % (args, attr, msvcrt_word(numbers, args)))
    return [(args, msvcrt_word(numbers, args), 'x', False) for args in calls]


# Where Windows keeps each program's debugging settings (gflags /i writes there).
IFEO = r'HKLM\Software\Microsoft\Windows NT\CurrentVersion\Image File Execution Options'


def check_console_cells(opts, f):
    """Every cell the console holds after each call, read back from it: the
    case table, random numbers against msvcrt.dll, the split vectors."""
    rows = CASES + WIDE_CASES + msvcrt_rows(opts, f)
    runs = console_runs(opts, opts.exe, [r[0] for r in rows])
    for (args, attr, text, help_due), outcome in zip(rows, runs):
        check_console(f, repr(args), outcome, expected_pieces(text, attr, help_due))
    # The harness checks its heaps after tinty's main, block tails included:
    # tail checking on for it, as gflags /i split_argv.exe +htc sets it.
    status = run([opts.wine, 'reg', 'add', IFEO + '\\' + os.path.basename(opts.split), '/v',
                  'GlobalFlag', '/t', 'REG_DWORD', '/d', '0x10', '/f'], to='away')[0]
    f.check(status == 0, 'tail checking for the harness: reg add ended with %d' % status)
    for split in ('more', 'fewer'):
        env = dict(os.environ, TINTY_SPLIT=split)
        runs = console_runs(opts, opts.split, [args for args, _, _ in SPLIT_CASES], env)
        for (args, attr, text), outcome in zip(SPLIT_CASES, runs):
            check_console(f, 'split %s: %r' % (split, args), outcome, [(attr, text.encode())])


def check_console(f, what, outcome, pieces):
    status, after, width, cells = outcome
    want = console_cells(pieces, width)
    f.check(status == 0 and after == SAVED, '%s: status %d, %#x in force afterwards'
            % (what, status, after))
    wrong = [i for i, (got, expected) in enumerate(zip(cells, want)) if got != expected]
    f.check(len(cells) == len(want) and not wrong, '%s: %d cells, %d expected, first wrong %r'
            % (what, len(cells), len(want), [(cells[i], want[i]) for i in wrong[:3]]))


# Pipe names the helper offers as standard output, and whether tinty takes
# each for an MSYS2 or Cygwin terminal.
PIPE_NAMES = [
    ('msys-0123456789abcdef-pty0-to-master', True),
    ('cygwin-FEDCBA9876543210-pty12-to-master', True),
    ('msys-0123456789abcdef-pty3-to-master-nat', True),
    ('cygwin-FEDCBA9876543210-pty123456789-to-master-nat', True),
    ('msys-0123456789abcdef-pty0-from-master', False),
    ('cygwin-FEDCBA9876543210-pty0-from-master-nat', False),
    ('msys-0123456789abcde-pty0-to-master', False),
    ('msys-0123456789abcdef0-pty0-to-master', False),
    ('msys-0123456789abcdef-pty-to-master', False),
    ('msys-0123456789abcdef-pty1234567890-to-master', False),
    ('msys-0123456789abcdef-pty1a-to-master', False),
    ('msys-0123456789abcdef-pty0-to-master-nat2', False),
    ('msys-0123456789abcdef-pty0-to-master-', False),
    ('tinty-plain-pipe', False),
]


def without_helper_notes(err):
    """Standard error with the helper's own lines printed and taken out."""
    lines = err.splitlines(True)
    print(b''.join(l for l in lines if l.startswith(b'wine_helper: ')).decode(errors='replace'),
          end='')
    return b''.join(l for l in lines if not l.startswith(b'wine_helper: '))


# A word of the case table for each set of bits 10, 14 and 15, the flags a
# terminal shows, among the words beyond the low byte.
FLAG_CASES = list({row[1] & 0xC400: row for row in reversed(CASES)
                   if row[1] is not None and row[1] > 0xFF}.values())


def suite_pty_pipe(opts, f):
    """MSYS2 and Cygwin terminals hand a program a named pipe: through it go
    the SGR sequences of a POSIX terminal and the text in UTF-8."""
    for name, is_pty in PIPE_NAMES:
        cases = [(['1', '12', 'Hello'], 0x1C, 'Hello', False), (['-p'], None, '', True)]
        cases += WIDE_CASES + [PAIRS] + FLAG_CASES if is_pty else [
            (['0E', 'Größe €'], 0x0E, 'Größe €', False)]
        for args, attr, text, help_due in cases:
            status, out, err = run([opts.wine, opts.helper, 'pipe', name, windows_path(opts.exe)]
                                   + args)
            what = '%s %r' % (name, args)
            f.quiet(status, without_helper_notes(err), what)
            if is_pty:
                got = check_terminal_stream(f, what, text, out)
                want = as_terminal_shows(
                    [(a, text_mode(t)) for a, t in expected_pieces(text, attr, help_due)])
            else:
                got, want = out, expected_bytes(opts, text, help_due)
            f.check(got == want, '%s: got %r, expected %r' % (what, got[:6], want[:6]))


# The terminal suite reads what xterm draws.  Its colours are given to it
# here: ANSI colours 0-15, and the default colours of two themes.
PALETTE = ['#000000', '#cd0000', '#00cd00', '#cdcd00', '#0000ee', '#cd00cd', '#00cdcd', '#e5e5e5',
           '#7f7f7f', '#ff0000', '#00ff00', '#ffff00', '#5c5cff', '#ff00ff', '#00ffff', '#ffffff']
THEMES = {'dark': ('#1c1c1c', '#d0d0d0'), 'light': ('#ffffff', '#000000')}
COLUMNS, ROWS, CELL_W, CELL_H = 80, 30, 6, 13  # the 6x13 bitmap font


def rgb(colour):
    return bytes.fromhex(colour[1:])


def drawn_colours(attr, theme):
    """(background, foreground) that xterm should draw for an attribute word:
    background 0 and foreground 7 are the theme's own."""
    background, foreground = THEMES[theme]
    bg, fg = attr >> 4 & 15, attr & 15
    ansi = lambda n: PALETTE[windows_color(n & 7) + (8 if n & 8 else 0)]
    return rgb(background if bg == 0 else ansi(bg)), rgb(foreground if fg == 7 else ansi(fg))


class Xvfb:
    """A virtual X display for the life of the suite."""
    def __init__(self):
        read_end, write_end = os.pipe()
        self.proc = subprocess.Popen(
            ['Xvfb', '-displayfd', str(write_end), '-nolisten', 'tcp', '-screen', '0',
             '%dx%dx24' % (COLUMNS * CELL_W, ROWS * CELL_H)],
            pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as display:
            self.display = ':' + display.readline().strip()

    def screen(self):
        """The screen as rows of cells, each the Counter of its pixel colours."""
        data = subprocess.run(['import', '-display', self.display, '-window', 'root', '-depth',
                               '8', 'rgb:-'], capture_output=True, check=True).stdout
        width = COLUMNS * CELL_W
        pixel = lambda x, y: data[(y * width + x) * 3:(y * width + x) * 3 + 3]
        return [[collections.Counter(pixel(c * CELL_W + dx, r * CELL_H + dy)
                                     for dx in range(CELL_W) for dy in range(CELL_H))
                 for c in range(COLUMNS)] for r in range(ROWS)]

    def run(self, theme, commands):
        """Runs shell commands in xterm once its screen is full, so that their
        output scrolls in at the bottom; returns the screen once drawn."""
        background, foreground = THEMES[theme]
        with tempfile.TemporaryDirectory() as tmp:
            done = os.path.join(tmp, 'done')
            script = ('printf "\\033[?25l"; for i in $(seq %d); do echo; done; %s; : > %s; '
                      'exec sleep 60' % (ROWS, commands, done))
            colours = sum([['-xrm', '*color%d: %s' % (i, c)] for i, c in enumerate(PALETTE)], [])
            term = subprocess.Popen(
                ['xterm', '-display', self.display, '-geometry', '%dx%d+0+0' % (COLUMNS, ROWS),
                 '-fn', '6x13', '-b', '0', '-bw', '0', '+sb', '-bg', background, '-fg', foreground]
                + colours + ['-e', 'sh', '-c', script],
                env=dict(os.environ, LC_ALL='C'), stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL)
            try:
                deadline = time.monotonic() + 30
                while not os.path.exists(done) and time.monotonic() < deadline:
                    time.sleep(0.05)
                shots = [None, self.screen()]
                while shots[-1] != shots[-2] and time.monotonic() < deadline:
                    time.sleep(0.1)
                    shots.append(self.screen())
                return shots[-1]
            finally:
                term.kill()
                term.wait()

    def close(self):
        self.proc.kill()
        self.proc.wait()


def check_row(f, what, cells, pieces, theme):
    """A screen row shows pieces of (attribute, text) from column 0, and the
    rest of the row blank in the theme's own background."""
    want = [(a, ch) for a, text in pieces for ch in text]
    want += [(7, ' ')] * (COLUMNS - len(want))
    wrong = []
    for column, ((attr, ch), seen) in enumerate(zip(want, cells)):
        bg, fg = drawn_colours(attr, theme)
        glyph = set(seen) - {bg}
        if seen.most_common(1)[0][0] != bg or glyph - {fg} or (ch != ' ' and fg != bg) != bool(glyph):
            wrong.append(column)
    f.check(not wrong, '%s: columns %s are drawn wrong' % (what, wrong[:12]))


def suite_terminal(opts, f):
    """What a person sees: tinty's output in xterm, scrolled in at the bottom of
    a full screen, on a dark and a light theme."""
    need('Xvfb', 'xterm', 'import')
    exe = "'%s'" % os.path.abspath(opts.exe)
    usage = [line.decode() for line in USAGE.replace(b'\r', b'').split(b'\n')[:-1]]
    chart = [[(7, '%X' % r)] + [(r * 16 + c, ' %X' % c) for c in range(16)] for r in range(16)]
    help_rows = [[(7, line)] for line in usage] + chart + [[]]
    line_rows = [[(0x4F, 'Hello'), (0x2E, ' world'), (7, 'rest')], []]
    x = Xvfb()
    try:
        for theme in THEMES:
            for name, commands, rows in [
                    ('help screen', exe + ' -p', help_rows),
                    ('one line of three calls', '%s 4F Hello; %s 2E " world"; echo rest'
                     % (exe, exe), line_rows)]:
                screen = x.run(theme, commands)
                for offset, pieces in enumerate(rows):
                    row = ROWS - len(rows) + offset
                    check_row(f, '%s, %s theme, row %d' % (name, theme, row), screen[row],
                              pieces, theme)
    finally:
        x.close()


# Every suite, by the name the tests are registered under.
SUITES = {
    'pipe': suite_pipe,
    'pty': suite_pty,
    'faults': suite_faults,
    'fuzz': suite_fuzz,
    'terminal': suite_terminal,
    'wine-start': suite_wine_start,
    'wine': suite_wine,
    'pty-pipe': suite_pty_pipe,
    'wine-stop': suite_wine_stop,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('suite', choices=SUITES)
    parser.add_argument('--exe', required=True)
    parser.add_argument('--emulator', action='append', default=[])
    parser.add_argument('--windows', action='store_true')
    parser.add_argument('--helper')
    parser.add_argument('--wine', help='the loader that runs the helper')
    parser.add_argument('--split')
    opts = parser.parse_args()
    need(*opts.emulator[:1])
    if opts.emulator:
        need_kernel_for(opts.emulator[0], os.path.dirname(os.path.abspath(opts.exe)))
    f = Failures()
    SUITES[opts.suite](opts, f)
    return f.finish()


if __name__ == '__main__':
    sys.exit(main())
