"""The pipe and POSIX-terminal client: exact bytes through a pipe, the escape
sequences on a pseudo-terminal decoded back into attribute words, faults on
standard output, random argument vectors.  The pipe and pty suites run the
Windows builds too, under Wine."""
import os
import re
import select
import signal
import subprocess
import sys
import tempfile
import threading
import time

try:
    import fcntl
    import termios
    import tty
except ImportError:  # Windows: the suites that need them report themselves skipped
    pass

from cases import (BIG, CASES, HELP, PAIRS, TERMINAL_CASES, WIDE_CASES, command, expected_bytes,
                   expected_pieces, holds_sequence, run, seeded, windows_path)
import tmux
from terminal import (SEQUENCE, TERMINAL_ENV, decode, encode, merge, need, run_pty, screen,
                      sgr_color, writes)


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


# What closes a text's own sequences: CAN, ST where a string may be open,
# the end of a hyperlink where an OSC went out, and a reset.
CLOSING = re.compile(rb'\x18(\x1b\\)?(\x1b\]8;;\x1b\\)?\x1b\[0m')


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
        # the closing of what it opened comes straight after it.
        after = out.split(os.fsencode(text.replace('\n', '\r\n')), 1)[-1]
        f.check(CLOSING.match(after), '%s: %r after the text' % (what, after[:20]))
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
    need('strace', 'pyte')
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
    check_opened(opts, f)
    # Colour and text travel together: a call, the help screen too, is one write(2).
    # (LeakSanitizer cannot run under strace's ptrace.)
    traced = dict(TERMINAL_ENV, ASAN_OPTIONS='detect_leaks=0')
    for args in (['1', '12', 'Hello'], ['-p']):
        count = writes(command(opts, args), True, traced)
        f.check(count == 1, '%r: %d write(2) calls on a terminal' % (args, count))


# The locale the terminal is in (its LC_ALL, LC_CTYPE and LANG), a call, and
# what it writes: a text that holds an opener gets the closing of every kind
# it holds (CAN for any, ST for a control string, the end of a hyperlink for
# an OSC, then the reset); a text that opens nothing, nothing.  In UTF-8 a
# byte inside a letter is text (Л is D0 9B); in any other encoding a byte
# from 0x80 to 0x9F is a C1 control (9B is CSI, 9D OSC).
OPENED = [
    ('LC_ALL=C.UTF-8', ['07', 'plain'], b'plain'),
    ('LC_ALL=C.UTF-8', ['07', '\x1b[31mred\x1bPq'], b'\x1b[31mred\x1bPq\x18\x1b\\\x1b[0m'),
    ('LC_ALL=C.UTF-8', ['07', 'a\u0090q'], b'a\xc2\x90q\x18\x1b\\\x1b[0m'),
    ('LC_ALL=C.UTF-8', ['07', '\x1b]0;title'], b'\x1b]0;title\x18\x1b\\\x1b]8;;\x1b\\\x1b[0m'),
    ('LC_ALL=C.UTF-8', ['07', '\x1b]8;;http://x/\x1b\\link'],
     b'\x1b]8;;http://x/\x1b\\link\x18\x1b\\\x1b]8;;\x1b\\\x1b[0m'),
    ('LC_ALL=C.UTF-8', ['07', '\x1b[31mred\x1b[3'], b'\x1b[31mred\x1b[3\x18\x1b[0m'),
    ('LC_ALL=C.UTF-8', ['1C', 'x\x1b'], b'\x1b[0;91;44mx\x1b\x18\x1b[0m'),
    # an opener whose ESC and final a C0 control or DEL stands between, and
    # ESC with an intermediate, which opens no string
    ('LC_ALL=C.UTF-8', ['07', '\x1b\x7f\n]0;t\x07'], b'\x1b\x7f\n]0;t\x07\x18\x1b\\\x1b]8;;\x1b\\\x1b[0m'),
    ('LC_ALL=C.UTF-8', ['07', '\x1b(P'], b'\x1b(P\x18\x1b[0m'),
    ('LC_ALL=C.UTF-8', ['07', 'Люди'], 'Люди'.encode()),
    ('LC_ALL=C', ['07', 'Люди'], 'Люди'.encode() + b'\x18\x1b[0m'),
    ('LC_ALL=C', ['07', 'a\udc90q'], b'a\x90q\x18\x1b\\\x1b[0m'),
    ('LC_ALL=C', ['07', 'a\udcc2\udc90q'], b'a\xc2\x90q\x18\x1b\\\x1b[0m'),
    ('LC_ALL=C', ['07', 'a\udc9dq'], b'a\x9dq\x18\x1b\\\x1b]8;;\x1b\\\x1b[0m'),
    ('LC_CTYPE=C LANG=C.UTF-8', ['07', 'Люди'], 'Люди'.encode() + b'\x18\x1b[0m'),
    ('LC_CTYPE=en_US.utf8 LANG=C', ['07', 'Люди'], 'Люди'.encode()),
    ('LC_ALL= LANG=de_DE.UTF-8', ['07', 'Люди'], 'Люди'.encode()),
    ('', ['07', 'Люди'], 'Люди'.encode() + b'\x18\x1b[0m'),
]


def check_opened(opts, f):
    for locale, args, want in OPENED:
        env = {k: v for k, v in TERMINAL_ENV.items() if k not in ('LC_ALL', 'LC_CTYPE', 'LANG')}
        env.update(setting.split('=', 1) for setting in locale.split())
        status, out, err = run_pty(command(opts, args), raw=True, env=env)
        what = '%s %r' % (locale, args)
        f.quiet(status, err, what)
        f.check(out == want, '%s: wrote %r, expected %r' % (what, out, want))
        if 'UTF-8' in locale:  # as a terminal's parser shows it, the prompt after it
            f.check(plain_prompt(screen(out, b'PROMPT')), '%s: the prompt does not show' % what)


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
    need('pyte', 'tmux')
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
    check_jobs(opts, f)
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
# Hyperlinks with URLs of 2,000 bytes, which a stop almost surely cuts.
LINKS = ''.join('\x1b]8;;http://x/%s\x1b\\link %d\x1b]8;;\x1b\\ ' % ('u' * 2000, i) for i in range(60))
# More SGR sequences than any log of them keeps, before the text they colour.
UNDERLINED = '\x1b[4m' * 40 + '\x1b[32m' + LONG
# A colour of 256 and one of RGB for every 300 characters.
GRADIENT = ''.join('\x1b[38;5;%dm\x1b[48;2;0;%d;99m%s' % (i, i, LONG[i * 300:i * 300 + 300])
                   for i in range(256))
# The colon forms, which a replay sets again in the semicolon form that
# every terminal of 256 and RGB colours takes.
COLONS = '\x1b[38:5:100m\x1b[48:2::1:2:3m\x1b[1;4:3m' + LONG
# Every flag and bright colour, where pyte tells reverse from concealed,
# italic from faint, and bright backgrounds from none.
FLAGS = '\x1b[1;2;3;4;5;7;8;9;53;95;103m' + LONG
VISIBLE_FLAGS = '\x1b[1;3;4;5;7;9;95;103m' + LONG
# The colours that ESC 8 restores; a direct colour cut short, and an index
# out of range, which leave the colour as it was.
RESTORED = '\x1b[31m\x1b7\x1b[32;44mx\x1b8' + LONG
MALFORMED = '\x1b[31m\x1b[38;2m\x1b[44m\x1b[48;5;300m' + LONG
# What a call continued after a stop sends first: the closing, then the
# state in force where the output stopped.
REPLAYS = {COLONS: b'\x1b[0;38;5;100;48;2;1;2;3;1;4:3m',
           FLAGS: b'\x1b[0;95;103;1;2;3;5;7;8;9;53;4m',
           MALFORMED: b'\x1b[0;31;44m'}
# A hyperlink whose URL a stop surely cuts, of 100 KB.
LONG_LINK = '\x1b]8;;http://x/%s\x1b\\link\x1b]8;;\x1b\\ %s' % ('u' * 100_000, LONG[:20_000])
# Resets that tmux does not perform (and some, xterm): a CSI that is U+009B,
# or a lone byte 9B, and an SGR 0 of 31 parameters; and an ESC DEL [ that
# tmux takes for CSI.
UNPERFORMED = ['\x1b[31m\u009b0m', '\x1b[31m\udc9b0m', '\x1b[31m\x1b[%sm' % ';'.join('0' * 31),
               '\x1b\x7f[31m']
# Where the closing reset leaves in a write of its own, or is split from the
# text: the text and the reset fill the 16 KiB held and a few bytes more
# (and the end of -p 12's help screen, a reset and a line end, likewise).
ALONE = [BIG[:n] for n in range(16_371, 16_375)]
# What follows the part of a call that went out, where a signal ends it and
# the call sent sequences: CAN, then a reset (and nothing else, for texts
# that open no string).
CLOSE = b'\x18\x1b[0m'


def cut_part(out, whole, closings):
    """How much of a call's whole output came before one of the closings, where
    out is that and nothing else; None where it is not.  (The closing's bytes
    may be the next ones of the whole output too.)"""
    for closing in closings:
        part = len(out) - len(closing)
        if out.endswith(closing) and whole.startswith(out[:part]):
            return part
    return None


def default_signals():
    """The dispositions of an interactive shell's child, whatever the test
    runs under (a shell's background job ignores SIGINT and SIGQUIT)."""
    for sig in (signal.SIGINT, signal.SIGQUIT, signal.SIGTSTP):
        signal.signal(sig, signal.SIG_DFL)


def ignores_alarm():
    default_signals()
    signal.signal(signal.SIGALRM, signal.SIG_IGN)
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1})


# What the caller leaves the call, before it starts.
CALLERS = {
    None: default_signals,
    'ignores SIGINT': lambda: (default_signals(), signal.signal(signal.SIGINT, signal.SIG_IGN)),
    'blocks SIGALRM': lambda: (default_signals(),
                               signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGALRM})),
    'set alarm(3)': lambda: (default_signals(), signal.alarm(3)),
    'set alarm(1)': lambda: (default_signals(), signal.alarm(1)),
    'continues after 1.5 s': default_signals,
    'ignores SIGALRM, blocks SIGUSR1': ignores_alarm,
}
TSTP = signal.SIGTSTP
# A call cut short while the terminal reads nothing: the signals, the caller,
# the call, what the terminal does after them (reads again; never reads
# again; or, held, takes no byte of the last write until half a second
# after the signal), and whether a colour was sent (so that the terminal
# must get its own colours back).
INTERRUPTS = [
    ((signal.SIGINT,), None, ['1C', LONG], 'reads', True),
    ((signal.SIGTERM,), None, ['1', '12', LONG], 'reads', True),
    ((signal.SIGHUP,), None, ['0E', '\x1b[31m' + LONG], 'reads', True),
    ((signal.SIGQUIT,), None, ['8000', LONG], 'reads', True),
    ((signal.SIGUSR1,), None, ['1C', LONG], 'reads', True),
    ((), 'set alarm(1)', ['1C', LONG], 'reads', True),  # the caller's alarm, pending
    *[((signal.SIGINT,), None, ['07', text + LONG], 'reads', True) for text in UNPERFORMED],
    ((signal.SIGINT,), None, ['07', '\x1b[31m' + LONG], 'reads', True),  # the text's own colour
    ((signal.SIGINT,), None, ['07', LONG], 'reads', False),
    ((signal.SIGINT,), None, ['07', CYRILLIC], 'reads', False),
    ((signal.SIGTERM,), None, ['1C', LONG], 'never', True),  # a terminal that never reads again
    ((signal.SIGTERM,), 'blocks SIGALRM', ['1C', LONG], 'never', True),
    ((signal.SIGINT,), 'ignores SIGINT', ['1C', LONG], 'reads', True),  # the call goes on
    # the reset alone in the last write, or split from the text
    *[((signal.SIGINT,), None, ['1', '12', text], 'held', True) for text in ALONE],
    ((signal.SIGTERM,), None, ['-p', '12', BIG[:13_005]], 'held', True),
    ((signal.SIGHUP,), None, ['-p', '12', BIG[:13_008]], 'held', True),
    # Ctrl-Z: stopped in the terminal's own colours, then continued
    ((TSTP,), None, ['1C', CYRILLIC], 'reads', True),
    ((TSTP,), None, ['1C', 'x' + CYRILLIC], 'reads', True),  # cut at another byte
    ((TSTP,), None, ['1C', 'xy' + CYRILLIC], 'reads', True),
    ((TSTP,), None, ['07', '\x1b[31m' + CYRILLIC], 'reads', True),
    ((TSTP,), None, ['1', '14', '\x1b[4m' + LONG + '\x1b[0mz'], 'reads', True),
    ((TSTP,), None, ['07', CYRILLIC], 'reads', False),
    ((TSTP,), None, ['1C', LINKS], 'reads', True),
    ((TSTP,), 'continues after 1.5 s', ['1C', LONG_LINK], 'reads', True),
    ((TSTP,), None, ['07', FLAGS], 'reads', True),
    ((TSTP,), None, ['07', VISIBLE_FLAGS], 'reads', True),
    ((TSTP,), None, ['07', RESTORED], 'reads', True),
    ((TSTP,), None, ['07', MALFORMED], 'reads', True),
    ((TSTP,), None, ['1', '4', UNDERLINED], 'reads', True),
    ((TSTP,), None, ['07', GRADIENT], 'reads', True),
    ((TSTP,), None, ['07', COLONS], 'reads', True),
    ((TSTP, TSTP), None, ['1C', LONG], 'reads', True),  # a second stop in one call
    ((TSTP,), 'ignores SIGALRM, blocks SIGUSR1', ['1C', LONG], 'reads', True),
    ((TSTP,), 'set alarm(3)', ['1C', LONG], 'never', True),  # the caller's alarm still ends it
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


def signal_state(pid):
    """The process's blocked, ignored and caught signals."""
    with open('/proc/%d/status' % pid) as status:
        fields = dict(line.split(':', 1) for line in status if line.startswith('Sig'))
    return [{n for n in range(1, 65) if int(fields[k], 16) >> (n - 1) & 1}
            for k in ('SigBlk', 'SigIgn', 'SigCgt')]


# The signals that end a process by default and come from elsewhere, and
# Ctrl-Z's.
CAUGHT = {signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGTERM, signal.SIGALRM,
          signal.SIGUSR1, signal.SIGUSR2, signal.SIGPROF, signal.SIGXCPU, signal.SIGVTALRM,
          signal.SIGXFSZ, TSTP}
# What AddressSanitizer's runtime catches of its own, in the asan build.
SANITIZER = {signal.SIGBUS, signal.SIGFPE, signal.SIGSEGV}


def plain_prompt(shown, prompt='PROMPT'):
    """Whether the prompt drawn last on a screen shows, also where it wraps, in
    the terminal's own rendition, where a user sees it."""
    at = ''.join(shown.display).rfind(prompt)
    cells = [shown.buffer[i // shown.columns][i % shown.columns]
             for i in range(at, at + len(prompt))]
    return at >= 0 and all((c.fg, c.bg, c.bold, c.italics, c.underscore, c.reverse) ==
                           ('default', 'default', False, False, False, False) for c in cells)


def same_screens(out, whole, cut=0):
    """Whether a screen tall enough to keep every line shows both alike, but
    for as many cells as characters that stops cut, each a U+FFFD."""
    a, b = screen(out, lines=800), screen(whole, lines=800)
    differ = [(y, x) for y in range(800) for x in range(a.columns)
              if a.buffer[y][x] != b.buffer[y][x]]
    return len(differ) <= cut and all(a.buffer[y][x].data == '\ufffd' for y, x in differ)


def check_interrupts(opts, f):
    """Each signal that cuts a call short while the terminal reads nothing: the
    terminal gets its own state back where something was sent that changed
    it, and the call ends by that signal, within about a second where the
    terminal never reads again, whatever the caller's mask; a signal the
    caller ignores changes nothing; after Ctrl-Z a prompt shows in the
    terminal's own colours, and once continued, the call ends showing all
    that a call never stopped shows, the caller's signal state kept."""
    if opts.emulator:
        return
    for signals, caller, args, terminal, coloured in INTERRUPTS:
        whole = run_pty(command(opts, args), raw=True)[1]  # the same call, not cut short
        master, slave = os.openpty()
        tty.setraw(slave)
        argv = command(opts, args)
        if terminal == 'held':  # the second write waits before it starts
            argv = ['strace', '-qq', '-o', '/dev/null', '-e',
                    'inject=write:delay_enter=700000:when=2'] + argv
        # A group of its own in this session: one of another session would be
        # orphaned, and the kernel stops no orphaned group for SIGTSTP.
        proc = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=subprocess.PIPE,
                                process_group=0, env=TERMINAL_ENV, preexec_fn=CALLERS[caller])
        pid = proc.pid
        chunks = []
        if terminal == 'held':  # read at once, until the terminal is suspended below
            threading.Thread(target=lambda: chunks.append(read_terminal(master, proc)[0]),
                             daemon=True).start()
        # The terminal's buffer fills, and the call waits in write(2); the
        # caller's alarm comes meanwhile.
        time.sleep(0.3 if signals else 1.5)
        if terminal == 'held':
            termios.tcflow(slave, termios.TCOOFF)
            pid = int(open('/proc/%d/task/%d/children' % (proc.pid, proc.pid)).read().split()[0])
        what = '%s%s %r' % ('+'.join(s.name for s in signals),
                            ', caller %s' % caller if caller else '', [a[:8] for a in args])
        out, stops, state, start = b'', [], None, time.monotonic()
        for sig in signals:
            os.kill(pid, sig)
            start = time.monotonic()
            if sig != TSTP:
                continue
            before, stopped = read_terminal(master, proc, until_stopped=True)
            out += before
            # The prompt while stopped, after at most the one character cut.
            shown = screen(out, b'PROMPT')
            stops.append(stopped == sig and plain_prompt(shown) and
                         sum(line.count('\ufffd') for line in shown.display) <= 1)
            time.sleep(1.5 if caller == 'continues after 1.5 s' else 0)
            proc.send_signal(signal.SIGCONT)
            time.sleep(0.2)
            state = signal_state(proc.pid)
            state[2] -= SANITIZER
            replay = REPLAYS.get(args[-1])
            if replay:
                select.select([master], [], [], 1)
                went = os.read(master, len(CLOSE + replay))
                f.check(went == CLOSE + replay, '%s: %r after fg' % (what, went))
                out += went
        if terminal == 'held':
            time.sleep(0.5)
            termios.tcflow(slave, termios.TCOON)
        elif terminal == 'never':  # as after Ctrl-S: the terminal takes no byte more
            termios.tcflow(slave, termios.TCOOFF)
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:  # kept alive by the terminal: a fault
                proc.kill()
        os.close(slave)
        if terminal != 'held':
            chunks.append(read_terminal(master, proc)[0])
        status = proc.wait(timeout=10)
        took = time.monotonic() - start
        time.sleep(0.1)
        out += b''.join(chunks)
        os.close(master)
        if caller and caller.startswith('set alarm'):
            ends = signal.SIGALRM
        elif signals[0] == TSTP or caller == 'ignores ' + signals[0].name:
            ends = None
        else:
            ends = signals[0]
        f.check(status == (-ends if ends else 0) and proc.stderr.read() == b'',
                '%s: status %r' % (what, status))
        f.check(all(stops), '%s: stops %r, before the last: %r' % (what, stops, out[-16:]))
        if state is not None:  # the caller's mask and ignored signals, and no other caught
            mine = caller == 'ignores SIGALRM, blocks SIGUSR1'
            ignored = {signal.SIGALRM} if mine else set()
            want = [{signal.SIGUSR1} if mine else set(), ignored,
                    CAUGHT - ignored if coloured else set()]
            f.check(state == want, '%s: blocked, ignored and caught after a stop: %r, not %r'
                    % (what, state, want))
        if ends is None:  # as if never cut short: all that such a call shows
            # (pyte takes no colon forms, no faint nor concealed: there the
            # replay's bytes are checked)
            f.check((args[-1] in REPLAYS or same_screens(out, whole, len(stops))) and
                    (coloured or out == whole),
                    '%s: %d bytes arrived, %d expected: %r' % (what, len(out), len(whole),
                                                              out[-12:]))
        elif terminal != 'never':  # a part of the call, then nothing but its closing
            part = cut_part(out, whole, [CLOSE] if coloured else [b''])
            f.check(part is not None and plain_prompt(screen(out, b'PROMPT')) and
                    plain_prompt(tmux.shown(out + b'PROMPT')),
                    '%s: %d bytes arrived, ending %r' % (what, len(out), out[-12:]))
        else:
            f.check(took < (5 if ends == signal.SIGALRM else 3), '%s: ended after %.1f s'
                    % (what, took))


# Job control in an interactive shell, keys typed on its terminal.  Each step
# is a line typed (or a key), and how the terminal is read meanwhile: at
# once, by nobody, or a little (8 KB, then nothing), so that the output waits
# in the terminal's driver, which discards it when a key becomes a signal.
# The call's text is more than a terminal holds, red up to its own reset at
# 20 KB, which the driver holds, and then discards ($red: red throughout).
# Then what the shell
# shows, and whether it, and the prompt after it all, are plain (a tostop
# background job writes nothing).
JOBS = [
    # one kill ends a call, whatever it was doing, also where tostop is set
    ([('stty tostop; CALL & sleep 0.5; kill %1', 'at once')], 'Terminated', True),
    ([('stty tostop; CALL & sleep 0.3; kill -TSTP %1; sleep 0.3; kill %1', 'at once')],
     'Terminated', True),
    ([('stty tostop; CALL', 'by nobody'), ('\x1a', 'by nobody'), ('kill %1', 'at once')],
     'Terminated', True),
    ([('stty -tostop; CALL & sleep 0.5; stty tostop; kill %1', 'by nobody')], 'Terminated',
     False),  # colours sent from the background before tostop
    # Ctrl-C, Ctrl-\ and Ctrl-Z typed
    ([('CALL', 'a little'), ('\x03', 'at once')], '$ ', True),
    ([('CALL', 'a little'), ('\x1c', 'at once')], 'Quit', True),
    ([('CALL', 'a little'), ('\x1a', 'at once'), ('fg', 'at once')], 'Stopped', True),
    # continued in the background, then killed while the terminal reads
    # nothing; the shell waits for it before its prompt, as the terminal
    # reads again within the call's second
    ([('TINTY 07 "$red"', 'a little'), ('\x1a', 'at once'),
      ('bg; sleep 0.5; kill %1; wait %1', 'a little')], 'Terminated', True),
    # timeout in a script puts the call in a process group of its own, as a
    # background job's
    ([('bash -c \'timeout 0.5 "$@"; echo\' - TINTY 07 "$red"', 'a little')], '$ ', True),
]
LAST = 'sleep 1; jobs; exit'


def check_jobs(opts, f):
    if opts.emulator:
        return
    tinty = ' '.join("'%s'" % a for a in command(opts, []))
    for steps, shows, plain in JOBS:
        master, slave = os.openpty()
        shell = subprocess.Popen(['bash', '--norc', '--noprofile', '-i'], stdin=slave,
                                 stdout=slave, stderr=slave, start_new_session=True,
                                 env=dict(TERMINAL_ENV, PS1='$ '),
                                 preexec_fn=lambda: (default_signals(),
                                                     fcntl.ioctl(0, termios.TIOCSCTTY, 0)))
        reading = {'how': 'at once', 'took': 0}
        chunks = []

        def pump():
            while True:
                left = 8192 - reading['took'] if reading['how'] == 'a little' else 65536
                if reading['how'] == 'by nobody' or left <= 0:
                    time.sleep(0.01)
                    continue
                try:
                    chunks.append(os.read(master, left))
                except OSError:
                    return
                reading['took'] += len(chunks[-1])
        threading.Thread(target=pump, daemon=True).start()
        lines = [("ulimit -c 0; long=$(printf '\\033[31m%020000d\\033[0m%0100000d' 0 0); "
                  "red=$(printf '\\033[31m%0120000d' 0)", 'at once')] + steps + [
            (LAST, 'at once')]
        for line, how in lines:
            key = len(line) == 1
            if key:  # the driver takes the key, discarding what waits, as nobody reads
                os.write(master, line.encode())
                time.sleep(0.2)
            reading.update(how=how, took=0)
            if not key:
                line = line.replace('CALL', 'TINTY 07 "$long"').replace('TINTY', tinty)
                os.write(master, line.encode() + b'\n')
            time.sleep(2 if how == 'by nobody' else 1)
        try:
            shell.wait(timeout=10)
        except subprocess.TimeoutExpired:  # a stopped job holds the shell
            os.killpg(shell.pid, signal.SIGKILL)
            shell.wait()
        os.close(slave)
        time.sleep(0.2)
        os.close(master)
        out = b''.join(chunks)
        shown = screen(out, lines=800)
        f.check(shows.encode() in out and b'Stopped (tty output)' not in out and
                (not plain or plain_prompt(shown, shows) and plain_prompt(shown, '$ ' + LAST)),
                'jobs, %r: %r' % (steps, out[-200:]))


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
