"""The tmux client: what a pane of tmux shows of a call and of the line a
script prints after it, read with capture-pane."""
import os
import shlex
import subprocess
import tempfile
import time

from terminal import TERMINAL_ENV, need

# Texts that leave a control string open.  tmux reads a string on to its
# ST, so without one it takes the line after the call, and the prompt, for
# the string's data: DCS, APC, PM, SOS and OSC, after a colour or none.
OPEN_STRINGS = [
    ['07', '\x1b[31mred\x1bPq'],
    ['07', '\x1b[31mred\x1b_apc'],
    ['07', '\x1b[31mred\x1b^pm'],
    ['07', 'red\x1bXsos'],
    ['07', 'red\x1b]0;title'],
    ['1C', 'x\x1bP1$r'],
]


def pane(tmux, command):
    """Runs a shell command in a new pane; returns its lines once it has
    printed END, or after ten seconds."""
    subprocess.run(tmux + ['new-session', '-d', '-x', '100', '-y', '10',
                           command + '; echo END; sleep 60'], check=True, env=TERMINAL_ENV)
    deadline = time.monotonic() + 10
    try:
        while True:
            lines = subprocess.run(tmux + ['capture-pane', '-p'], capture_output=True,
                                   text=True, check=True).stdout.splitlines()
            if 'END' in lines or time.monotonic() > deadline:
                return lines
            time.sleep(0.05)
    finally:
        subprocess.run(tmux + ['kill-server'], check=False)


def check_tmux(opts, f):
    need('tmux')
    with tempfile.TemporaryDirectory() as folder:
        for row, args in enumerate(OPEN_STRINGS):  # a server each
            tmux = ['tmux', '-S', os.path.join(folder, 'socket%d' % row), '-f', '/dev/null']
            call = ' '.join(shlex.quote(a) for a in [opts.exe] + args)
            lines = pane(tmux, call + '; echo after')
            f.check(any(line.endswith('after') for line in lines),
                    'tmux, %r: the pane shows %r' % (args, lines[:3]))
