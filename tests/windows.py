"""The Windows client, under Wine or on Windows itself: the console's own
saved attribute and every cell it holds, wildcards, msvcrt.dll's own numbers,
a split argument vector, and the pty pipes of MSYS2 and Cygwin terminals; and
the kernel probe by which the release exe's suites skip where no 32-bit x86
code runs."""
import errno
import os
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

try:
    import fcntl
    import termios
except ImportError:  # Windows: no terminal to suspend, and the rows that need one are left out
    pass

from cases import (AWAY, BIG, CASES, PAIRS, TERMINAL_CASES, WIDE_CASES, expected_bytes,
                   expected_pieces, run, seeded, text_mode, windows_path)
from pipe_pty import (CLOSE, as_terminal_shows, check_pty_rows, check_terminal_stream,
                      cut_part, default_signals, plain_prompt)
from terminal import SKIP, decode, need, screen


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


def suite_pty(opts, f):
    """Wine's console drawn on a pseudo-terminal: the case table as it shows,
    and cmd's colour back after a call, which is the console's own."""
    if os.name == 'nt':
        print('skipped: Wine draws its console on a POSIX pseudo-terminal, which Windows has '
              'not; the wine suite reads the console itself')
        sys.exit(SKIP)
    check_pty_rows(opts, f, CASES + WIDE_CASES)
    exe_dir, exe = os.path.split(os.path.abspath(opts.exe))
    script = 'color 1F & %s 2E x & echo y' % exe
    status, out, _ = run(opts.emulator + ['cmd', '/c', script], to='pty', text_due=True,
                         cwd=exe_dir)
    pieces = decode(out)[0]
    shown = {t.strip(b'\r\n '): a for a, t in pieces}
    f.check(status == 0 and shown.get(b'x') == 0x2E and shown.get(b'y') == 0x1F,
            'saved attribute: %r' % pieces)


# Where Wine's ucrtbase leaves the command line as typed: its
# _configure_narrow_argv and _configure_wide_argv (dlls/msvcrt/data.c) are
# stubs, which MinGW-w64's __wgetmainargs for the UCRT calls to expand them.
UCRT_UNDER_WINE = ("wildcard expansion: Wine's ucrtbase expands no wildcards "
                   "(dlls/msvcrt/data.c: _configure_wide_argv is a stub); Windows' does")


def suite_wildcards(opts, f):
    """Wildcards expand before the program looks at its arguments, in the
    narrow vector and, on the console, in the wide one."""
    if opts.crt == 'ucrt' and opts.emulator:
        print('skipped: ' + UCRT_UNDER_WINE)
        sys.exit(SKIP)
    for names, allowed in [(['one.txt'], [b'one.txt']),
                           (['a.txt', 'b.txt'], [b'a.txt', b'b.txt'])]:
        with tempfile.TemporaryDirectory() as folder:
            for name in names + ['other.dat']:
                open(os.path.join(folder, name), 'w').close()
            status, out, _ = run(opts.emulator + [os.path.abspath(opts.exe), '1C', '*.txt'],
                                 cwd=folder)
            f.check(status == 0 and out in allowed, '1C *.txt among %r wrote %r' % (names, out))
    with tempfile.TemporaryDirectory() as folder:
        for name in ['Ωμέγα.txt', 'other.dat']:
            open(os.path.join(folder, name), 'w').close()
        outcome = console_runs(opts, opts.exe, [['1C', '*.txt']], cwd=folder)[0]
        check_console(f, '1C *.txt on the console', outcome, [(0x1C, 'Ωμέγα.txt'.encode())])


def suite_wine(opts, f):
    check_console_cells(opts, f)


# The helper clears the console to FILL in SAVED before each run: colours and
# flags that a restore to 7, or to the low byte alone, would lose.  After the
# run it writes MARK, in the colour then in force.
SAVED, FILL, MARK = 0x841F, '\u2591', '\u2592'
CONSOLE_BITS = 0xDFFF  # the console host refuses bit 13


def run_interrupted(argv, token, cwd, typed):
    """Runs the helper on a pseudo-terminal, its controlling terminal, that
    is read until the program whose command line holds token has started;
    then the terminal is suspended, as Ctrl-S suspends it, so that Wine's
    console cannot draw and the program's output is held back, and Ctrl-C is
    typed on it (the kernel sends SIGINT to the helper and the program) or
    SIGINT sent to the program alone; Wine hands it to the console control
    handlers as CTRL_C_EVENT.  Then the terminal goes on.  Returns the
    helper's standard error."""
    master, slave = os.openpty()
    proc = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=subprocess.PIPE, cwd=cwd,
                            start_new_session=True,
                            preexec_fn=lambda: (default_signals(),
                                                fcntl.ioctl(0, termios.TIOCSCTTY, 0)))
    reading = threading.Event()
    reading.set()

    def pump():
        while reading.wait():
            try:
                if not os.read(master, 65536):
                    return
            except OSError:
                return
    threading.Thread(target=pump, daemon=True).start()
    pid = find_process(token, proc)
    termios.tcflow(slave, termios.TCOOFF)
    reading.clear()
    time.sleep(0.8)  # Wine's console waits on the terminal, and the program on it
    if typed:
        os.write(master, b'\x03')
    else:
        interrupt(pid)
    time.sleep(1.5)  # past the second for which the handler waits on the writer
    termios.tcflow(slave, termios.TCOON)
    reading.set()
    err = proc.communicate(timeout=300)[1]
    os.close(slave)
    os.close(master)
    return err


def find_process(token, helper):
    """The process whose command line holds token, the helper and its forks
    (which carry the helper's command line until they become the program)
    aside; None if none has started within a minute or the helper has ended."""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and helper.poll() is None:
        for p in os.listdir('/proc'):
            line = read_quietly('/proc/%s/cmdline' % p) if p.isdigit() else b''
            if token in line and b'wine_helper' not in line:
                return int(p)
    return None


def interrupt(pid):
    """SIGINT to the process, if there is one: one that Wine failed to start
    has ended, and the helper's next try is left running, to fail the row."""
    try:
        if pid is not None:
            os.kill(pid, signal.SIGINT)
    except ProcessLookupError:
        pass


def running(pid):
    """Whether the process has not ended (a zombie has)."""
    return read_quietly('/proc/%d/stat' % pid).rpartition(b')')[2][1:2] not in (b'', b'Z')


def read_quietly(path):
    try:
        with open(path, 'rb') as f:
            return f.read()
    except OSError:  # a process that has just ended
        return b''


def console_runs(opts, program, calls, env=None, cwd=None, saved=SAVED, interrupt=None,
                 typed=False, verb='cells'):
    """Runs program on a console once for each argument list, through the
    helper, in cwd (an empty folder unless told); returns (status, attribute
    in force afterwards, screen width, [(attribute, character)] of every cell
    up to the cursor) for each.  Under Wine the console is drawn on a
    pseudo-terminal; on Windows the helper uses its own."""
    with tempfile.TemporaryDirectory() as tmp:
        cases, report = os.path.join(tmp, 'cases'), os.path.join(tmp, 'report')
        with open(cases, 'w') as listing:
            listing.write(''.join(' '.join('=' + a.encode().hex() for a in args) + '\n'
                                  for args in calls))
        # Wine expands a quoted * as well, where msvcrt would not: in an empty
        # folder it matches nothing and stands as typed, as on Windows.
        empty = os.path.join(tmp, 'empty')
        os.mkdir(empty)
        argv = opts.loader + [opts.helper, verb, '%X' % saved, windows_path(program),
                              windows_path(cases), windows_path(report)]
        if interrupt:
            err = run_interrupted(argv, interrupt, cwd or empty, typed)
        else:
            err = run(argv, to='pty' if opts.emulator else 'pipe', env=env, cwd=cwd or empty)[2]
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
        lines = run(opts.loader + [opts.helper, 'numbers', windows_path(listing)])[1].splitlines()
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


def suite_msvcrt(opts, f):
    """Random numbers on a pseudo-terminal, each with the word that msvcrt.dll's
    own conversions give (a POSIX build; Wine runs the cross-built helper)."""
    need(opts.wine)
    if not os.path.exists(opts.helper):
        print('skipped: no helper: configure found no MinGW-w64 compiler '
              '(x86_64-w64-mingw32-g++-win32 or x86_64-w64-mingw32-g++)')
        sys.exit(SKIP)
    start_wine(opts, f)
    rows = msvcrt_rows(opts, f)
    suite_wine_stop(opts, f)
    check_pty_rows(opts, f, rows)


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
    status = run(opts.loader + ['reg', 'add', IFEO + '\\' + os.path.basename(opts.split), '/v',
                                'GlobalFlag', '/t', 'REG_DWORD', '/d', '0x10', '/f'], to='away')[0]
    if status and not opts.emulator:  # HKLM: on Windows, an administrator's alone
        print('note: no tail checking for the harness: reg add ended with %d' % status)
    else:
        f.check(status == 0, 'tail checking for the harness: reg add ended with %d' % status)
    check_interrupted(opts, f)
    check_closed(opts, f)
    for split in ('more', 'fewer'):
        env = dict(os.environ, TINTY_SPLIT=split)
        runs = console_runs(opts, opts.split, [args for args, _, _ in SPLIT_CASES], env)
        for (args, attr, text), outcome in zip(SPLIT_CASES, runs):
            check_console(f, 'split %s: %r' % (split, args), outcome, [(attr, text.encode())])


# Texts with openers of their own, and the closing that follows them on a
# console whose virtual terminal processing is on, which acts on it: a
# closing as on a terminal.  Wine's console keeps a sequence's characters in
# its cells where Windows' acts on them, so these run under Wine alone.
CLOSED = [(['07', '\x1b[31mred\x1bPq'], '\x18\x1b\\\x1b[0m'),
          (['1C', 'a\x1b]0;t'], '\x18\x1b\\\x1b]8;;\x1b\\\x1b[0m'), (['07', 'plain'], '')]


def check_closed(opts, f):
    """A text with an opener of its own on a console that takes sequences,
    and on one that does not: the closing follows it on the first alone."""
    if not opts.emulator:
        return
    for verb in ('vt-cells', 'cells'):
        runs = console_runs(opts, opts.exe, [args for args, _ in CLOSED], verb=verb)
        for (args, closing), outcome in zip(CLOSED, runs):
            text = args[1] + (closing if verb == 'vt-cells' else '')
            check_console(f, '%s %r' % (verb, args), outcome, [(int(args[0], 16), text.encode())])


# Ctrl-C typed on the terminal, or SIGINT to tinty alone; the colour found.
INTERRUPTIONS = [(False, 0x07), (False, SAVED), (True, 0x07), (True, SAVED)]


def check_interrupted(opts, f):
    """A coloured call on Wine's console, its output held back, cut short by
    Ctrl-C: the mark the helper writes next, and the attribute read back
    after it, are in the colour found, whichever thread of tinty's came
    first; all the text shown was shown in tinty's colour, and is not finished."""
    if not opts.emulator:  # no terminal to suspend, and no SIGINT, on Windows itself
        return
    token = 'interrupted-%d ' % os.getpid()
    for typed, saved in INTERRUPTIONS:
        for attempt in range(5):  # as often as Wine fails to start the call at all
            outcome = console_runs(opts, opts.exe, [['1C', token + BIG + 'END']], saved=saved,
                                   interrupt=token.encode(), typed=typed)[0]
            if outcome[0] != 99:
                break
        status, after, _, cells = outcome
        shown = ''.join(c for _, c in cells)
        text = {a for a, c in cells if c not in (FILL, MARK)}
        f.check(after == saved and cells[-1:] == [(saved, MARK)] and not shown.endswith('END' + MARK)
                and text == {0x1C},
                '%s, %#x found: status %d, %#x in force afterwards, %d cells, ending %r'
                % ('typed Ctrl-C' if typed else 'SIGINT', saved, status, after, len(cells),
                   cells[-3:]))


def check_console(f, what, outcome, pieces):
    status, after, width, cells = outcome
    want = console_cells(pieces + [(SAVED, MARK.encode())], width)
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


# Calls that show nothing a terminal draws beyond its own colours: a lone
# argument, and words that differ from the plain one in no drawn bit.
PLAIN_CASES = [row for row in CASES if row[1] is None and not row[3] or row[1] in (7, 0x107)]


# A command line is UTF-16: no lone byte reaches a Windows program's text.
UNICODE_CASES = [row for row in TERMINAL_CASES if '\udc9b' not in row[2]]


LONG = 'y' * 30_000  # more than the 16 KiB that tinty sends at once


def suite_pty_pipe(opts, f):
    """MSYS2 and Cygwin terminals hand a program a named pipe: through it go
    the SGR sequences of a POSIX terminal and the text in UTF-8."""
    need('pyte')
    for name, is_pty in PIPE_NAMES:
        cases = [(['1', '12', 'Hello'], 0x1C, 'Hello', False), (['-p'], None, '', True)]
        cases += WIDE_CASES + [PAIRS] + FLAG_CASES + PLAIN_CASES + UNICODE_CASES if is_pty else [
            (['0E', 'Größe €'], 0x0E, 'Größe €', False)]
        for row in cases:
            check_pipe_call(opts, f, 'pipe', name, is_pty, row)
    # A pipe in no-wait mode that is full when the call starts and read half
    # a second later: every byte arrives, past the 16 KiB that leave at once.
    for name, is_pty in [PIPE_NAMES[0], PIPE_NAMES[-1]]:
        for row in [CASES[0], (['1', '12', LONG], 0x1C, LONG, False)]:
            check_pipe_call(opts, f, 'full-pipe', name, is_pty, row)
    check_held_pipe(opts, f)


# A text that is nearly all SGR sequences, which a write cut short cuts.
SEQUENCES = ''.join('\x1b[38;5;%dmx' % (i % 256) for i in range(2400))
# The pipe that holds the call back: one that takes the colour change but
# not the text, and starts to be read some seconds after the SIGINT; or one
# in no-wait mode, read a little at a time.  Whether the terminal is then
# left in its own colours.
HELD_ROWS = [('held-pipe', LONG, 0.5, True), ('held-pipe', LONG, 2.5, False)]
HELD_ROWS += [('slow-pipe', SEQUENCES, 0, True)] * 3


def check_held_pipe(opts, f):
    """A call held back by its pty pipe when SIGINT comes: it ends within
    about a second, read or not.  Read half a second later, the terminal
    shows tinty's colour and is then left in its own.  Read a little at a
    time, it shows a part of the call and then its closing alone: nothing
    that the main thread writes comes after the handler's."""
    if not opts.emulator:  # no SIGINT on Windows itself
        return
    token = 'held-%d ' % os.getpid()
    for verb, text, read_after, plain in HELD_ROWS:
        call = [PIPE_NAMES[0][0], windows_path(opts.exe), '1C', token + text]
        proc = subprocess.Popen(opts.loader + [opts.helper, verb] + call,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        pid = find_process(token.encode(), proc)
        time.sleep(0.5)  # the text waits on the pipe
        interrupt(pid)
        sent = time.monotonic()
        while running(pid or 0) and time.monotonic() < sent + read_after:
            time.sleep(0.01)
        ended = None if running(pid or 0) else time.monotonic()
        out, err = proc.communicate(b'\n', timeout=60)
        took = (ended or time.monotonic()) - sent
        what = '%s, read %.1f s after SIGINT' % (verb, read_after)
        f.check(pid is not None and not without_helper_notes(err), '%s: no call, or %r'
                % (what, err[-300:]))
        f.check(took < 1.5, '%s: ended %.2f s after it' % (what, took))
        if verb == 'held-pipe':
            pieces, final = decode(out)
            f.check(not plain or final == 7 and 0x1C in {a for a, _ in pieces},
                    '%s: %r, leaving %#x' % (what, out[-12:], final))
        else:
            whole = run(opts.loader + [opts.helper, 'pipe'] + call)[1]
            part = cut_part(out, whole, [CLOSE])
            f.check(len(out) < len(whole) and part and plain_prompt(screen(out, b'PROMPT')),
                    '%s: %d bytes of %d, the part %r, ending %r'
                    % (what, len(out), len(whole), part, out[-40:]))


def check_pipe_call(opts, f, verb, name, is_pty, row):
    """One call through the helper's pipe of that name: what arrives."""
    args, attr, text, help_due = row
    status, out, err = run(opts.loader + [opts.helper, verb, name, windows_path(opts.exe)] + args)
    out = out.lstrip(b'#') if verb == 'full-pipe' else out
    what = '%s %s %r' % (verb, name, [a[:20] for a in args])
    f.quiet(status, without_helper_notes(err), what)
    if is_pty:
        want = as_terminal_shows(
            [(a, text_mode(t)) for a, t in expected_pieces(text, attr, help_due)])
        got = check_terminal_stream(f, what, text, out, want)
    else:
        got, want = out, expected_bytes(opts, text, help_due)
    f.check(got == want, '%s: got %.200r, expected %.200r' % (what, got, want))
