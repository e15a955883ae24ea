"""The tmux client: what a pane of tmux shows of a call and of the line a
script prints after it, and of what reached a terminal, read with
capture-pane."""
import os
import re
import shlex
import subprocess
import tempfile
import time

from terminal import TERMINAL_ENV, need, screen

# Texts that leave a control string open.  tmux reads a string on to its
# ST, so without one it takes the line after the call, and the prompt, for
# the string's data: DCS, APC, PM, SOS and OSC, after a colour or none.  It
# ends a DCS at ESC \\ alone: not at U+009C, a lone byte 9C, a final ESC, nor
# an OSC that ESC begins and BEL ends, all of which close it for others.
OPEN_STRINGS = [
    ['07', '\x1b[31mred\x1bPq'],
    ['07', '\x1b[31mred\x1b_apc'],
    ['07', '\x1b[31mred\x1b^pm'],
    ['07', 'red\x1bXsos'],
    ['07', 'red\x1b]0;title'],
    ['1C', 'x\x1bP1$r'],
    ['07', '\x1b[31mred\x1bPq\u009c'],
    ['07', '\x1b[31mred\x1bPq\udc9c'],
    ['07', '\x1b[31mred\x1bPqdata\x1b'],
    ['07', '\x1b[31mred\x1bPq\x1b]0;t\x07'],
]


def pane(tmux, command, flags=()):
    """Runs a shell command in a new pane; returns its lines once it has
    printed END, or after ten seconds, captured with the flags given."""
    subprocess.run(tmux + ['new-session', '-d', '-x', '100', '-y', '10',
                           command + '; echo END; sleep 60'], check=True, env=TERMINAL_ENV)
    deadline = time.monotonic() + 10
    capture = tmux + ['capture-pane', '-p']
    try:
        while True:
            lines = subprocess.run(capture, capture_output=True, text=True,
                                   check=True).stdout.splitlines()
            if 'END' in lines or time.monotonic() > deadline:
                return subprocess.run(capture + list(flags), capture_output=True,
                                      check=True).stdout.splitlines()
            time.sleep(0.05)
    finally:
        subprocess.run(tmux + ['kill-server'], check=False)


def shown(data):
    """What a pane of tmux shows of bytes that reached a terminal: a pyte
    screen drawn from the pane's cells, their renditions as capture-pane
    writes them, wrapped lines joined.  (It writes a bright colour as one of
    90-97 or 100-107, which pyte takes for bold too: here, as 38;5;8-15 and
    48;5;8-15.)"""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, 'out')
        with open(path, 'wb') as out:
            out.write(data)
        tmux = ['tmux', '-S', os.path.join(folder, 'socket'), '-f', '/dev/null']
        lines = pane(tmux, 'cat %s; echo' % shlex.quote(path), ['-e', '-J'])
    bright = lambda m: b'\x1b[%d;5;%dm' % (38 + 10 * (m.group(1) == b'10'), int(m.group(2)) + 8)
    cells = re.sub(rb'\x1b\[(9|10)([0-7])m', bright, b'\r\n'.join(lines))
    return screen(cells)


def check_tmux(opts, f):
    need('tmux')
    with tempfile.TemporaryDirectory() as folder:
        for row, args in enumerate(OPEN_STRINGS):  # a server each
            tmux = ['tmux', '-S', os.path.join(folder, 'socket%d' % row), '-f', '/dev/null']
            call = ' '.join(shlex.quote(a) for a in [opts.exe] + args)
            lines = pane(tmux, call + '; echo after')
            f.check(any(line.endswith(b'after') for line in lines),
                    'tmux, %r: the pane shows %r' % (args, lines[:3]))
