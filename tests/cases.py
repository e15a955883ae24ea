"""The case table, the outputs it expects and the one runner, shared by every
client's suites (pipe_pty.py, windows.py, xterm.py)."""
import ctypes
import os
import random
import subprocess

from terminal import decode, run_pty

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
    (['07', 'plain'], 0x07, 'plain', False),
    (['107', 'x'], 0x107, 'x', False),
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
    ([''], None, '', False),
    ([], None, '', True),
    (['-p'], None, '', True),
    (['1', '12', '100%d %s%n%%'], 0x1C, '100%d %s%n%%', False),
    (['1', '12', ''], 0x1C, '', False),
    (['0E', 'two\nlines'], 0x0E, 'two\nlines', False),
    (['0E', 'Größe €'], 0x0E, 'Größe €', False),
    (['0E', 'a\vb'], 0x0E, 'a\vb', False),
]

# No two pieces alike, so that a byte lost, sent twice or out of order shows.
BIG = ''.join('%05d ' % i for i in range(4_000))

# Texts with escape sequences of their own, in plain and coloured words, and
# empty texts: what a terminal shows of them (pty, pty-pipe).
TERMINAL_CASES = [
    (['07', '\x1b[31mred'], 0x07, '\x1b[31mred', False),
    (['1C', 'x\x1b[32;44my'], 0x1C, 'x\x1b[32;44my', False),
    (['1', '12', '\x1b[0mx'], 0x1C, '\x1b[0mx', False),
    (['07', 'a\x1b[7mb\x1b[0mc'], 0x07, 'a\x1b[7mb\x1b[0mc', False),
    (['-p', '\x1b[42m'], 0x00, '\x1b[42m', True),
    (['0E', ''], 0x0E, '', False),
    (['-p', ''], 0x00, '', True),
    (['4000', ''], 0x4000, '', False),
    # CSI as UTF-8 writes it, and as a byte that is no part of a character
    # (a lone 0x9B, given as Python's stand-in for it); a 0x9B inside a
    # letter (Л is D0 9B) is text.
    (['1C', 'a\u009b31mb'], 0x1C, 'a\u009b31mb', False),
    (['07', 'a\udc9b31mb'], 0x07, 'a\udc9b31mb', False),
    (['07', 'Люди'], 0x07, 'Люди', False),
    # A text that does not fit beside the colour held before it, and one
    # longer than all that is held, with the help screen after it.
    (['1C', BIG[:16_380]], 0x1C, BIG[:16_380], False),
    (['-p', '1', BIG], 0x01, BIG, True),
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


def holds_sequence(text):
    """Whether a text holds an escape sequence of its own: ESC, or CSI as
    U+009B or as a lone byte."""
    return any(c in text for c in '\x1b\x9b\udc9b')


def command(opts, args):
    return opts.emulator + [opts.exe] + args


# The ANSI code page of the Windows builds: 1252 under Wine, the system's on Windows.
ANSI = 'cp%d' % ctypes.windll.kernel32.GetACP() if os.name == 'nt' else 'cp1252'


def expected_bytes(opts, text, help_due):
    """Through a pipe: UTF-8 on POSIX; on Windows the ANSI code page and
    text mode, where every LF leaves as CR LF."""
    if not opts.windows:
        return os.fsencode(text) + (HELP if help_due else b'')
    return text_mode(text.encode(ANSI) + (HELP if help_due else b''))


def text_mode(data):
    return data.replace(b'\n', b'\r\n')


def windows_path(path):
    """A host path as Wine's Z: drive shows it (on Windows, the path itself)."""
    if os.name == 'nt':
        return os.path.abspath(path)
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


# glibc's message where it asserts while Wine's process ends
LD_ASSERT = b'Inconsistency detected by ld.so'
AWAY = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


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
    pieces = [(attr, os.fsencode(text))] if attr is not None else []
    if help_due:
        pieces.append((7, USAGE))
        for r in range(16):
            pieces.append((7, b'%X' % r))
            pieces += [(r * 16 + c, b' %X' % c) for c in range(16)]
            pieces.append((7, b'\r\n'))
    return pieces


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


def seeded():
    """A random generator, its seed printed so that TINTY_SEED repeats the run."""
    seed = int(os.environ.get('TINTY_SEED', random.randrange(1 << 32)))
    print('seed', seed, '(TINTY_SEED=%d repeats this run)' % seed)
    return random.Random(seed)
