#!/usr/bin/env python3
"""Black-box tests of the built tinty, run as a user runs it.

  tinty_test.py SUITE --exe PATH [--emulator LOADER] [--windows] [--crt msvcrt|ucrt]
                [--helper PATH] [--split PATH]

pipe        exact bytes of every case through a pipe
pty         every case on a pseudo-terminal, the escape sequences decoded back
            into (attribute word, text) pieces, and the write(2) calls counted;
            for Windows, Wine's console on it, and cmd's colour back after a call
msvcrt      random numbers on a pseudo-terminal, with the words of msvcrt.dll's
            own atol and strtoul (POSIX builds; Wine runs the helper)
faults      standard output closed, full, a reader gone, a hung-up terminal
fuzz        seeded random argument vectors (TINTY_SEED repeats a run)
terminal    what xterm draws, read off a screenshot of it under Xvfb, and what a
            pane of tmux shows after a text that leaves a string open
wine-start  starts the Wine prefix's server (Windows, before the others)
wine        every cell that the console holds afterwards: for the case table,
            for random numbers against msvcrt.dll's own atol and strtoul,
            for a narrow argument vector split unlike the wide one, and for a
            call cut short by Ctrl-C (Windows)
wildcards   wildcard expansion in the narrow vector and the wide one (Windows)
pty-pipe    MSYS2 and Cygwin pty pipes, through the helper (Windows)
wine-stop   ends the Wine prefix's server (Windows, after the others)
A suite whose tools are missing exits 77: skipped, never passed.  The Windows
suites run under Wine (--emulator), or on Windows itself without one, where
the pty suite, which needs a POSIX terminal, reports itself skipped.  The suites
live in a module per client: pipe_pty.py, windows.py, xterm.py and tmux.py,
sharing the case table and the runner of cases.py.
"""
import argparse
import os
import sys

import pipe_pty
import tmux
import windows
import xterm
from cases import Failures
from terminal import need


def suite_terminal(opts, f):
    xterm.suite_terminal(opts, f)
    tmux.check_tmux(opts, f)


# Every suite, by the name the tests are registered under.
SUITES = {
    'pipe': pipe_pty.suite_pipe,
    'pty': pipe_pty.suite_pty,
    'msvcrt': windows.suite_msvcrt,
    'faults': pipe_pty.suite_faults,
    'fuzz': pipe_pty.suite_fuzz,
    'terminal': suite_terminal,
    'wine-start': windows.suite_wine_start,
    'wine': windows.suite_wine,
    'wildcards': windows.suite_wildcards,
    'pty-pipe': windows.suite_pty_pipe,
    'wine-stop': windows.suite_wine_stop,
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
    parser.add_argument('--crt', choices=['msvcrt', 'ucrt'], default='msvcrt')
    opts = parser.parse_args()
    # What runs the Windows helper: Wine, or nothing on Windows itself.
    opts.loader = [opts.wine] if opts.wine else []
    need(*opts.emulator[:1])
    if opts.emulator:
        windows.need_kernel_for(opts.emulator[0], os.path.dirname(os.path.abspath(opts.exe)))
    f = Failures()
    suite = windows.suite_pty if opts.suite == 'pty' and opts.windows else SUITES[opts.suite]
    suite(opts, f)
    return f.finish()


if __name__ == '__main__':
    sys.exit(main())
