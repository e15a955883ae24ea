"""The pipe and POSIX-terminal client: exact bytes through a pipe, the escape
sequences on a pseudo-terminal decoded back into attribute words, faults on
standard output, random argument vectors.  The pipe and pty suites run the
Windows builds too, under Wine."""
import os
import select
import signal
import subprocess
import sys
import tempfile
import time

try:
    import fcntl
    import termios
    import tty
except ImportError:  # Windows: the suites that need them report themselves skipped
    pass

from cases import (CASES, HELP, PAIRS, TERMINAL_CASES, WIDE_CASES, command, expected_bytes,
                   expected_pieces, holds_sequence, run, seeded, windows_path)
from terminal import (SEQUENCE, TERMINAL_ENV, decode, encode, merge, need, run_pty, sgr_color,
                      writes)


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


def suite_pipe(opts, f):
    for args, attr, text, help_due in CASES:
        status, out, err = run(command(opts, args))
        f.quiet(status, err, repr(args))
        want = expected_bytes(opts, text, help_due)
        f.check(out == want, '%r: wrote %r, expected %r' % (args, out[:200], want[:200]))
    if opts.windows:
        # A file is no terminal either: the bare bytes.  NUL takes everything.
        for args, attr, text, help_due in [CASES[0], (['-p'], None, '', True)]:
            with tempfile.TemporaryDirectory() as folder:
                name = os.path.join(folder, 'out')
                status, _, err = run(['bash', '-c', '"$@" > "$0"', name] + command(opts, args))
                with open(name, 'rb') as out:
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
    """Pieces as a terminal shows them: the flags it has no rendition for
    dropped, and the sequences that texts carry of their own applied."""
    return decode(encode(merge([(a & 0xC4FF, t) for a, t in pieces])))[0]


def check_terminal_stream(f, what, text, out, want):
    """The rules of every stream to a terminal: the terminal is left in its own
    colours, by a plain reset, straight after any text with sequences of its
    own; otherwise no sequence sets the word already in force (the terminal
    starts in its own colours), so a call that shows nothing writes nothing; and tinty's own line feeds never go out on a coloured background
    (a line feed that scrolls fills the new line with it)."""
    got, final = decode(out)
    sgr = [m for m in SEQUENCE.finditer(out) if m.group(2) == b'm']
    f.check(final == 7 and (not sgr or sgr[-1].group(0) == b'\x1b[0m'),
            '%s: the terminal is left in %#x (%r)' % (what, final, out[-12:]))
    if holds_sequence(text):
        # After a text with sequences of its own tinty cannot know what shows:
        # the plain word is always set again, straight after it.
        after = out.split(os.fsencode(text.replace('\n', '\r\n')), 1)[-1]
        f.check(after.startswith(b'\x1b[0m'), '%s: %r after the text' % (what, after[:12]))
    else:
        # The word in force after each sequence: text between them changes nothing.
        words = [7] + [decode(out[:m.end()])[1] for m in sgr]
        repeats = [m.start() for m, before, after in zip(sgr, words, words[1:]) if before == after]
        f.check(not repeats, '%s: %d sequences set the word in force, the first at byte %r of %r'
                % (what, len(repeats), repeats[:1], out[:80]))
    if not want:
        f.check(out == b'', '%s: wrote %r where nothing shows' % (what, out[:80]))
    if '\n' not in text:
        coloured = [(hex(a), t[:20]) for a, t in got if b'\n' in t and a & 0xF0]
        f.check(not coloured, '%s: line feeds on a background: %r' % (what, coloured))
    return got


def suite_pty(opts, f):
    need('strace')
    check_pty_rows(opts, f, CASES + WIDE_CASES + [PAIRS] + TERMINAL_CASES)
    # A terminal that says it is dumb, or says nothing, gets the bare text.
    for term in (None, '', 'dumb'):
        env = {k: v for k, v in TERMINAL_ENV.items() if k != 'TERM'}
        if term is not None:
            env['TERM'] = term
        for args, attr, text, help_due in [CASES[0], (['-p'], None, '', True),
                                           TERMINAL_CASES[0]]:
            status, out, err = run_pty(command(opts, args), raw=True, env=env)
            f.quiet(status, err, 'TERM=%r %r' % (term, args))
            f.check(out == expected_bytes(opts, text, help_due),
                    'TERM=%r %r: wrote %r' % (term, args, out[:80]))
    # Colour and text travel together: a call, the help screen too, is one write(2).
    # (LeakSanitizer cannot run under strace's ptrace.)
    traced = dict(TERMINAL_ENV, ASAN_OPTIONS='detect_leaks=0')
    for args in (['1', '12', 'Hello'], ['-p']):
        count = writes(command(opts, args), True, traced)
        f.check(count == 1, '%r: %d write(2) calls on a terminal' % (args, count))


def check_pty_rows(opts, f, rows):
    """Each row of a case table run on a pseudo-terminal: what it shows."""
    for args, attr, text, help_due in rows:
        want = expected_pieces(text, attr, help_due)
        if opts.windows:  # Wine places lines with CR LF pairs and cursor moves of its own
            status, out, err = run(command(opts, args), to='pty', text_due=bool(text))
            want = without_cr(through_wine(want))
            got = without_cr(decode(out)[0])
        else:
            status, out, err = run_pty(command(opts, args), raw=True)
            want = as_terminal_shows(want)
            got = check_terminal_stream(f, repr(args), text, out, want)
        f.quiet(status, err, repr(args))
        f.check(got == want,
                '%r: showed %r, expected %r (%r)' % (args, got[:6], want[:6], out[:80]))


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
    check_interrupts(opts, f)
    check_nonblocking(opts, f)
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


# More than a terminal takes while nobody reads it, and no two pieces alike:
# a byte lost, or sent twice, shows.
LONG = ''.join('%05d ' % i for i in range(20_000))
# The same, with a 0x9B inside every letter but the last (Л is D0 9B).
CYRILLIC = 'Люди ' * 12_000
def default_signals():
    """The dispositions of an interactive shell's child, whatever the test
    runs under (a shell's background job ignores SIGINT and SIGQUIT)."""
    for sig in (signal.SIGINT, signal.SIGQUIT, signal.SIGTSTP):
        signal.signal(sig, signal.SIG_DFL)


# What the caller leaves the call, before it starts.
CALLERS = {
    None: default_signals,
    'ignores SIGINT': lambda: (default_signals(), signal.signal(signal.SIGINT, signal.SIG_IGN)),
    'blocks SIGALRM': lambda: (default_signals(),
                               signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGALRM})),
}
# A call cut short while the terminal reads nothing: the signal, the caller,
# the call, whether the terminal reads again after it, and whether a colour
# was sent (so that the terminal must get its own colours back).
INTERRUPTS = [
    (signal.SIGINT, None, ['1C', LONG], True, True),
    (signal.SIGTERM, None, ['1', '12', LONG], True, True),
    (signal.SIGHUP, None, ['0E', '\x1b[31m' + LONG], True, True),
    (signal.SIGQUIT, None, ['8000', LONG], True, True),
    (signal.SIGINT, None, ['07', '\x1b[31m' + LONG], True, True),  # the text's own colour
    (signal.SIGINT, None, ['07', LONG], True, False),
    (signal.SIGINT, None, ['07', CYRILLIC], True, False),
    (signal.SIGTERM, None, ['1C', LONG], False, True),  # a terminal that never reads again
    (signal.SIGTERM, 'blocks SIGALRM', ['1C', LONG], False, True),
    (signal.SIGINT, 'ignores SIGINT', ['1C', LONG], True, True),  # the call goes on
    # Ctrl-Z: stopped in the terminal's own colours, then continued
    (signal.SIGTSTP, None, ['1C', CYRILLIC], True, True),
    (signal.SIGTSTP, None, ['1C', 'x' + CYRILLIC], True, True),  # cut at another byte
    (signal.SIGTSTP, None, ['1C', 'xy' + CYRILLIC], True, True),
    (signal.SIGTSTP, None, ['07', '\x1b[31m' + CYRILLIC], True, True),
    (signal.SIGTSTP, None, ['1', '14', '\x1b[4m' + LONG + '\x1b[0mz'], True, True),
    (signal.SIGTSTP, None, ['07', CYRILLIC], True, False),
]


def is_utf8(data):
    try:
        data.decode()
    except UnicodeDecodeError:
        return False
    return True


def read_terminal(master, proc, until_stopped=False):
    """What reaches the terminal until the call ends (EIO once every slave
    descriptor is closed) or, until_stopped, until it stops."""
    chunks = []
    while True:
        if until_stopped:
            pid, status = os.waitpid(proc.pid, os.WUNTRACED | os.WNOHANG)
            if pid and os.WIFSTOPPED(status):
                while select.select([master], [], [], 0.2)[0]:
                    chunks.append(os.read(master, 65536))
                return b''.join(chunks), os.WSTOPSIG(status)
            if not select.select([master], [], [], 0.05)[0]:
                continue
        try:
            chunk = os.read(master, 65536)
        except OSError:
            break
        if not chunk:
            break
        chunks.append(chunk)
    return b''.join(chunks), None


def check_interrupts(opts, f):
    """Each signal that cuts a call short while the terminal reads nothing: the
    terminal gets its own colours back where a colour was sent, and the call
    ends by that signal, within about a second where the terminal never reads
    again, whatever the caller's mask; a signal the caller ignores changes
    nothing; after Ctrl-Z and a continue, the call ends as if never stopped."""
    if opts.emulator:
        return
    for sig, caller, args, reads, coloured in INTERRUPTS:
        whole = run_pty(command(opts, args), raw=True)[1]  # the same call, not cut short
        master, slave = os.openpty()
        tty.setraw(slave)
        # A group of its own in this session: one of another session would be
        # orphaned, and the kernel stops no orphaned group for SIGTSTP.
        proc = subprocess.Popen(command(opts, args), stdin=slave, stdout=slave,
                                stderr=subprocess.PIPE, process_group=0, env=TERMINAL_ENV,
                                preexec_fn=CALLERS[caller])
        time.sleep(0.3)  # the terminal's buffer fills, and the call waits in write(2)
        if not reads:  # as after Ctrl-S: the terminal takes no byte more
            termios.tcflow(slave, termios.TCOOFF)
        proc.send_signal(sig)
        start = time.monotonic()
        what = '%s%s %r' % (sig.name, ', caller %s' % caller if caller else '',
                            [a[:8] for a in args])
        before = b''
        if sig == signal.SIGTSTP:
            before, stopped = read_terminal(master, proc, until_stopped=True)
            shown = b''.join(t for _, t in decode(before)[0])
            f.check(stopped == sig and decode(before)[1] == 7,
                    '%s: stopped by %r in %#x' % (what, stopped, decode(before)[1]))
            if coloured:  # no sequence or character cut in two by the reset
                f.check(before.endswith(b'\x1b[0m') and whole.startswith(before[:-4])
                        and is_utf8(shown),
                        '%s: %r before the stop' % (what, before[-16:]))
            proc.send_signal(signal.SIGCONT)
        elif not reads:
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:  # kept alive by the terminal: a fault
                proc.kill()
        os.close(slave)
        out = before + read_terminal(master, proc)[0]
        os.close(master)
        status = proc.wait(timeout=10)
        took = time.monotonic() - start
        ends = sig != signal.SIGTSTP and caller != 'ignores ' + sig.name
        f.check(status == (-sig if ends else 0) and proc.stderr.read() == b'',
                '%s: status %r' % (what, status))
        if not ends:  # as if never cut short: every byte once, in order
            f.check(decode(out) == decode(whole) and (coloured or out == whole),
                    '%s: %d bytes arrived, %d expected: %r' % (what, len(out), len(whole),
                                                              out[-12:]))
        elif reads:
            cut = out[:-4] if coloured else out
            f.check(0 < len(cut) < len(whole) and whole.startswith(cut)
                    and out.endswith(b'\x1b[0m') == coloured,
                    '%s: %d bytes arrived, ending %r' % (what, len(out), out[-12:]))
        else:
            f.check(took < 3, '%s: ended after %.1f s' % (what, took))


def check_nonblocking(opts, f):
    """Standard output left non-blocking by the caller, a pipe full at the start
    and read half a second later: every byte arrives, and the status is 0."""
    for args, text, help_due in [(['0E', 'IMPORTANT'], 'IMPORTANT', False),
                                 (['1', '12', LONG], LONG, False), (['-p'], '', True)]:
        read_end, write_end = os.pipe()
        fcntl.fcntl(write_end, fcntl.F_SETFL, fcntl.fcntl(write_end, fcntl.F_GETFL) | os.O_NONBLOCK)
        filler = 0
        try:
            while True:
                filler += os.write(write_end, b'.' * 4096)
        except BlockingIOError:
            pass
        proc = subprocess.Popen(command(opts, args), stdin=subprocess.DEVNULL, stdout=write_end,
                                stderr=subprocess.PIPE)
        os.close(write_end)
        time.sleep(0.5)
        with os.fdopen(read_end, 'rb') as pipe:
            out = pipe.read()
        status, err = proc.wait(timeout=60), proc.stderr.read()
        what = 'non-blocking full pipe, %r' % [a[:8] for a in args]
        f.quiet(status, err, what)
        want = expected_bytes(opts, text, help_due)
        f.check(out[filler:] == want, '%s: %d of %d bytes arrived'
                % (what, len(out) - filler, len(want)))


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
