#!/usr/bin/env python3
"""Black-box tests of the built tinty, run as a user runs it.

  tinty_test.py SUITE --exe PATH [--emulator LOADER] [--windows]

pipe    exact bytes of every case through a pipe
pty     every case on a pseudo-terminal, the escape sequences decoded back
        into (attribute word, text) pieces
faults  standard output closed, full, a reader gone, a hung-up terminal
fuzz    seeded random argument vectors (TINTY_SEED repeats a run)
wine    the console's own saved attribute and wildcard expansion (Windows)
"""
import argparse
import os
import random
import re
import subprocess
import sys
import tempfile
import tty

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
    (['-123456789', 'x'], 0xFFFF, 'x', False),
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
    (['2147483648', '1', 'x'], 0xFFF1, 'x', False),
    (['99999999999999999999', '1', 'x'], 0xFFF1, 'x', False),
    (['-99999999999999999999', '1', 'x'], 0x0001, 'x', False),
    (['1', '12', 'a', 'b', 'c'], 0x1C, 'a', False),
    # numbers at and beyond 32 and 64 bits, with and without signs
    (['FFFFFFFFFFFFFFFF', 'x'], 0xFFFF, 'x', False),
    (['10000000000000000', 'x'], 0xFFFF, 'x', False),
    (['-FFFFFFFF', 'x'], 0x0001, 'x', False),
    (['-80000000', 'x'], 0x0000, 'x', False),
    (['-100000000', 'x'], 0xFFFF, 'x', False),
    (['00000000000000000000001C', 'x'], 0x1C, 'x', False),
    (['2147483647', '0', 'x'], 0xFFF0, 'x', False),
    (['-2147483648', '5', 'x'], 0x0005, 'x', False),
    (['-2147483649', '5', 'x'], 0x0005, 'x', False),
    (['0', '4294967295', 'x'], 0xFFFF, 'x', False),
    (['0', '9223372036854775808', 'x'], 0xFFFF, 'x', False),
    (['1', '-18446744073709551617', 'x'], 0x0010, 'x', False),
    (['0000000000000000000001', '2', 'x'], 0x12, 'x', False),
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
]


def command(opts, args):
    return opts.emulator + [opts.exe] + args


def expected_bytes(opts, text, help_due):
    out = text.encode() + (HELP if help_due else b'')
    if opts.windows:  # text mode: every LF leaves as CR LF
        out = out.replace(b'\n', b'\r\n')
    return out


def run_pipe(opts, args):
    return subprocess.run(command(opts, args), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=60)


def run_pty(argv, raw, cwd=None):
    """Runs argv on a fresh pseudo-terminal, raw (the bytes exactly as written)
    or with the terminal's own line handling; returns (status, output, stderr)."""
    master, slave = os.openpty()
    if raw:
        tty.setraw(slave)
    proc = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=subprocess.PIPE,
                            start_new_session=True, cwd=cwd)
    os.close(slave)
    chunks = []
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # EIO: every slave descriptor is closed
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(master)
    err = proc.stderr.read()
    return proc.wait(timeout=60), b''.join(chunks), err


# Windows colour bits (blue, green, red) from an ANSI colour index and back.
def windows_color(ansi):
    return ((ansi & 1) << 2) | (ansi & 2) | ((ansi & 4) >> 2)


def sgr_color(nibble, base):
    """The SGR code of a colour nibble: base 30 for a foreground, 40 for a
    background, 60 more where the intensity bit is set."""
    return base + windows_color(nibble & 7) + (60 if nibble & 8 else 0)


def nibble_of(code, base):
    """The colour nibble that an SGR code from sgr_color(..., base) stands for."""
    return windows_color(code % 10) | (8 if code >= base + 60 else 0)


FLAGS = {7: 0x4000, 4: 0x8000, 53: 0x0400}
SEQUENCE = re.compile(rb'\x1b\[([0-9;?]*)([A-Za-z])|\x1b\][^\x07]*\x07')


def decode(data):
    """Terminal output as [(attribute, text)] pieces, plus the attribute in
    force after the last byte."""
    pieces, attr, pos = [], 7, 0
    for m in SEQUENCE.finditer(data):
        pieces.append((attr, data[pos:m.start()]))
        pos = m.end()
        params, final = m.group(1) or b'', m.group(2)
        if final == b'C':  # cursor forward: blanks in the current colour
            pieces.append((attr, b' ' * int(params or b'1')))
        if final != b'm' or params.startswith(b'?'):
            continue
        for code in [int(p or b'0') for p in params.split(b';')]:
            if code == 0:
                attr = 7
            elif 30 <= code <= 37 or 90 <= code <= 97:
                attr = (attr & ~0xF) | nibble_of(code, 30)
            elif 40 <= code <= 47 or 100 <= code <= 107:
                attr = (attr & ~0xF0) | nibble_of(code, 40) << 4
            elif code in FLAGS:
                attr |= FLAGS[code]
            else:
                raise AssertionError('unexpected SGR code %d' % code)
    pieces.append((attr, data[pos:]))
    return merge(pieces), attr


def merge(pieces):
    out = []
    for attr, text in pieces:
        if not text:
            continue
        if out and out[-1][0] == attr:
            out[-1] = (attr, out[-1][1] + text)
        else:
            out.append((attr, text))
    return out


def expected_pieces(text, attr, help_due):
    pieces = [(attr, text.encode())] if attr is not None else []
    if help_due:
        pieces.append((7, USAGE))
        for r in range(16):
            pieces.append((7, b'%X' % r))
            pieces += [(r * 16 + c, b' %X' % c) for c in range(16)]
            pieces.append((r * 16 + 15, b'\r\n'))
    return pieces


def through_wine(pieces):
    """What a terminal shows of pieces that Wine's console passes on: it
    sends only the nibbles that changed, a foreground of 7 as a plain reset,
    and nothing for the background when the word is 7."""
    sent, out = 7, []
    for attr, text in merge(pieces):
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
        r = run_pipe(opts, args)
        f.quiet(r.returncode, r.stderr, repr(args))
        want = expected_bytes(opts, text, help_due)
        f.check(r.stdout == want, '%r: wrote %r, expected %r' % (args, r.stdout[:200], want[:200]))
    # A reader that goes away: no SIGPIPE, status 0.
    r = subprocess.run(['bash', '-c', '"$@" -p | head -c1 >/dev/null; echo ${PIPESTATUS[0]}',
                        'bash'] + command(opts, []), capture_output=True, timeout=60)
    f.check(r.stdout == b'0\n' and r.stderr == b'', 'reader gone: %r %r' % (r.stdout, r.stderr))


def suite_pty(opts, f):
    for args, attr, text, help_due in CASES:
        status, out, err = run_pty(command(opts, args), raw=not opts.windows)
        f.quiet(status, err, repr(args))
        want = expected_pieces(text, attr, help_due)
        if opts.windows:  # Wine places lines with CR LF pairs and cursor moves of its own
            want = without_cr(through_wine(want))
            got = without_cr(decode(out)[0])
        else:
            got, final = decode(out)
            want = merge([(a & 0xC4FF, t) for a, t in want])
            f.check(final == 7 and out.endswith(b'\x1b[0m'),
                    '%r: the terminal is left in %#x (%r)' % (args, final, out[-12:]))
        f.check(got == want, '%r: showed %r, expected %r' % (args, got[:6], want[:6]))


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


def suite_fuzz(opts, f):
    seed = int(os.environ.get('TINTY_SEED', random.randrange(1 << 32)))
    rng = random.Random(seed)
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
        f.check(ok, 'seed %d: %r: status %d, stderr %r' % (seed, [a[:40] for a in args],
                                                           r.returncode, r.stderr[:300]))
        if not ok:
            break
    print('seed', seed, '(TINTY_SEED=%d repeats this run)' % seed)


def suite_libs(opts, f):
    out = subprocess.run(['readelf', '-d', opts.exe], capture_output=True, check=True).stdout
    needed = re.findall(rb'\(NEEDED\)\s+Shared library: \[([^\]]+)\]', out)
    f.check(needed == [b'libc.so.6'], 'links against %r' % needed)


def suite_pe(opts, f):
    headers = subprocess.run([opts.objdump, '-p', opts.exe], capture_output=True,
                             check=True).stdout
    fmt = {'x86': b'pei-i386', 'AMD64': b'pei-x86-64'}[opts.machine]
    f.check(b'file format ' + fmt in headers, 'not a %s file' % fmt.decode())
    f.check(re.search(rb'Subsystem\s+0+3\b', headers) is not None, 'not a console program')
    dlls = sorted(re.findall(rb'DLL Name: (\S+)', headers))
    f.check(dlls == [b'KERNEL32.dll', b'msvcrt.dll'], 'imports %r' % dlls)
    size = os.path.getsize(opts.exe)
    f.check(size <= 48 * 1024, 'the exe takes %d bytes, more than 48 KiB' % size)


AWAY = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def wine_server(opts, flag):
    server = os.path.join(os.path.dirname(opts.emulator[0]), 'wineserver')
    return subprocess.run([server, flag], **AWAY).returncode


def suite_wine_start(opts, f):
    """Starts the prefix's server and services, streams away from the tests."""
    os.makedirs(os.environ['WINEPREFIX'], exist_ok=True)  # the server runs inside it
    f.check(wine_server(opts, '-p') == 0, 'the Wine server did not start')
    r = subprocess.run(opts.emulator + ['cmd', '/c', 'exit'], timeout=300, **AWAY)
    f.check(r.returncode == 0, 'Wine did not start: status %d' % r.returncode)


def suite_wine_stop(opts, f):
    """Ends the prefix's server, and with it the services, after the tests."""
    wine_server(opts, '-k')


def suite_wine(opts, f):
    # The saved attribute is the console's own: cmd's colour comes back.
    exe_dir, exe = os.path.split(os.path.abspath(opts.exe))
    status, out, _ = run_pty(opts.emulator + ['cmd', '/c', 'color 1F & %s 2E x & echo y' % exe],
                             raw=False, cwd=exe_dir)
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
            r = subprocess.run(opts.emulator + [os.path.abspath(opts.exe), '1C', '*.txt'],
                               cwd=folder, stdin=subprocess.DEVNULL, capture_output=True,
                               timeout=60)
            f.check(r.returncode == 0 and r.stdout in allowed, '1C *.txt among %r wrote %r'
                    % (names, r.stdout))


def main():
    parser = argparse.ArgumentParser()
    suites = [name[6:].replace('_', '-') for name in globals() if name.startswith('suite_')]
    parser.add_argument('suite', choices=suites)
    parser.add_argument('--exe', required=True)
    parser.add_argument('--emulator', action='append', default=[])
    parser.add_argument('--windows', action='store_true')
    parser.add_argument('--objdump')
    parser.add_argument('--machine')
    opts = parser.parse_args()
    f = Failures()
    globals()['suite_' + opts.suite.replace('-', '_')](opts, f)
    return f.finish()


if __name__ == '__main__':
    sys.exit(main())
