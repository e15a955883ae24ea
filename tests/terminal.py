"""The one terminal runner and escape-sequence decoder, shared by the tests,
the benchmark and the picture of the help screen.

run_pty(argv, raw)  runs argv on a fresh pseudo-terminal and returns what
                    reached the terminal
calls(argv, tty)    the write(2) and ioctl(2) calls of one run, on a terminal or a pipe
writes(argv, tty)   counts the write(2) calls among them
decode(data)        turns terminal output back into (attribute word, text)
                    pieces, the way a terminal applies SGR codes
screen(data)        what a real terminal's parser (pyte) shows of output
need(*tools)        ends a test as skipped (77) where a tool is missing
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

try:
    import tty
except ImportError:  # Windows: the suites that need a terminal report themselves skipped
    tty = None
try:
    import pyte
except ImportError:  # Debian's python3-pyte, installed for Debian's own Python
    sys.path.append('/usr/lib/python3/dist-packages')
    try:
        import pyte
    except ImportError:
        pyte = None

SKIP = 77


def need(*tools):
    """Ends the test as skipped, never as passed, where a tool is missing
    (pyte: the Python module)."""
    missing = [t for t in tools if (pyte is None if t == 'pyte' else shutil.which(t) is None)]
    if missing:
        print('skipped: %s not installed' % ', '.join(missing))
        sys.exit(SKIP)


# The terminal the tests stand for, whatever the environment that runs them:
# an xterm that takes UTF-8.
TERMINAL_ENV = dict(os.environ, TERM='xterm-256color', LC_ALL='C.UTF-8')


def run_pty(argv, raw, cwd=None, env=None):
    """Runs argv on a fresh pseudo-terminal, raw (the bytes exactly as written)
    or with the terminal's own line handling, in TERMINAL_ENV unless told;
    returns (status, output, stderr)."""
    env = TERMINAL_ENV if env is None else env
    master, slave = os.openpty()
    if raw:
        tty.setraw(slave)
    proc = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=subprocess.PIPE,
                            start_new_session=True, cwd=cwd, env=env)
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


def calls(argv, on_terminal, env=None):
    """The write(2), writev(2) (which musl's stdio uses) and ioctl(2) calls of
    one run, with standard output on a terminal or a pipe, as (name, file
    descriptor) pairs."""
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, 'trace')
        traced = ['strace', '-qq', '-f', '-e', 'trace=write,writev,ioctl', '-o', log] + argv
        if on_terminal:
            run_pty(traced, raw=True, env=env)
        else:
            subprocess.run(traced, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env,
                           check=True)
        with open(log) as trace:
            return [(m.group(1), int(m.group(2))) for m in
                    (re.match(r'(?:\d+ +)?(writev?|ioctl)\((\d+)', line) for line in trace) if m]


def writes(argv, on_terminal, env=None):
    """write(2) calls of one run, on a terminal or a pipe."""
    return sum(1 for name, _ in calls(argv, on_terminal, env) if name != 'ioctl')


def windows_color(ansi):
    """Windows colour bits (blue 1, green 2, red 4) from an ANSI colour index
    (red 1, green 2, blue 4); the mapping is its own inverse."""
    return ((ansi & 1) << 2) | (ansi & 2) | ((ansi & 4) >> 2)


def sgr_color(nibble, base):
    """The SGR code of a colour nibble: base 30 for a foreground, 40 for a
    background, 60 more where the intensity bit is set."""
    return base + windows_color(nibble & 7) + (60 if nibble & 8 else 0)


def nibble_of(code, base):
    """The colour nibble that an SGR code from sgr_color(..., base) stands for."""
    return windows_color(code % 10) | (8 if code >= base + 60 else 0)


FLAGS = {7: 0x4000, 4: 0x8000, 53: 0x0400}
# CSI sequences, OSC ended by BEL or ST, and what shows nothing on its own:
# ST, and CAN (which cancels a sequence; outside one it does nothing).
SEQUENCE = re.compile(rb'\x1b\[([0-9;?]*)([A-Za-z])|\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)|\x1b\\|\x18')


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


def encode(pieces):
    """(attribute word, text) pieces as SGR sequences and text: decode's inverse."""
    out = []
    for attr, text in pieces:
        codes = [0, sgr_color(attr & 0xF, 30), sgr_color(attr >> 4 & 0xF, 40)]
        codes += [code for code, bit in FLAGS.items() if attr & bit]
        out.append(b'\x1b[%sm' % b';'.join(b'%d' % c for c in codes) + text)
    return b''.join(out)


def merge(pieces):
    """Pieces with the empty ones dropped and neighbours of one attribute joined."""
    out = []
    for attr, text in pieces:
        if not text:
            continue
        if out and out[-1][0] == attr:
            out[-1] = (attr, out[-1][1] + text)
        else:
            out.append((attr, text))
    return out


def screen(data, prompt=b'', lines=60):
    """What pyte, a terminal's parser, shows of output and then a prompt: its
    screen of 200 columns, each cell with its character and rendition."""
    shown = pyte.Screen(200, lines)
    pyte.ByteStream(shown).feed(data + prompt)
    return shown
