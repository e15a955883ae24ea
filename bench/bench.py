#!/usr/bin/env python3
"""tinty against the floor: what one call costs beside starting a process.

  python3 bench/bench.py [--runs N]

Builds the default and windows-x86 presets where they are missing, then
prints one table: instructions per call (valgrind's callgrind, repeatable on
a busy machine), the median wall time of many runs, write(2) calls on a
terminal and on a pipe (strace), and the sizes of the stripped binaries.
"""
import argparse
import os
import pty
import re
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TINTY = os.path.join(ROOT, 'build', 'default', 'tinty')
EXE = os.path.join(ROOT, 'build', 'windows-x86', 'tinty.exe')
PRINTF = '/usr/bin/printf'
ENV = dict(os.environ, TERM='xterm-256color', LC_ALL='C')


def build(preset, target):
    if not os.path.exists(target):
        subprocess.run(['cmake', '--preset', preset], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(['cmake', '--build', '--preset', preset], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)


def instructions(argv):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, 'cg.out')
        r = subprocess.run(['valgrind', '--tool=callgrind', '--callgrind-out-file=' + out] + argv,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=ENV, check=True)
        return int(re.search(rb'Collected : (\d+)', r.stderr).group(1))


def wall_ms(argv, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(argv, stdout=subprocess.DEVNULL, env=ENV, check=True)
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1000


def writes(argv, on_terminal):
    """write(2) calls of one run, with standard output on a terminal or a pipe."""
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, 'trace')
        cmd = ['strace', '-qq', '-f', '-e', 'trace=write', '-o', log] + argv
        if on_terminal:
            pid, master = pty.fork()
            if pid == 0:
                os.execvpe(cmd[0], cmd, ENV)
            while True:
                try:
                    if not os.read(master, 65536):
                        break
                except OSError:
                    break
            os.waitpid(pid, 0)
        else:
            subprocess.run(cmd, stdout=subprocess.PIPE, env=ENV, check=True)
        with open(log) as trace:
            return sum(1 for line in trace if 'write(' in line)


def stripped_size(path):
    with tempfile.TemporaryDirectory() as tmp:
        copy = os.path.join(tmp, 'stripped')
        subprocess.run(['strip', '-o', copy, path], check=True)
        return os.path.getsize(copy)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--runs', type=int, default=300)
    runs = parser.parse_args().runs
    build('default', TINTY)
    build('windows-x86', EXE)

    seq = '\\033[0;91;44mHello\\033[0m'
    tput = [['tput', 'setab', '4'], ['tput', 'setaf', '9'], [PRINTF, 'Hello'], ['tput', 'sgr0']]
    rows = [
        ('/bin/true (the floor)', [['/bin/true']]),
        ('tinty 1 12 Hello', [[TINTY, '1', '12', 'Hello']]),
        ('tinty -p (help screen)', [[TINTY, '-p']]),
        ('printf of the same bytes', [[PRINTF, seq]]),
        ('tput setab/setaf/sgr0 + printf', tput),
    ]
    floor = instructions(['/bin/true'])
    print('%-32s %12s %9s %10s %11s %9s' % ('command', 'instructions', 'x floor', 'median ms',
                                           'writes tty', 'writes pipe'))
    for name, argvs in rows:
        count = sum(instructions(a) for a in argvs)
        ms = sum(wall_ms(a, runs) for a in argvs)
        tty_writes = sum(writes(a, True) for a in argvs)
        pipe_writes = sum(writes(a, False) for a in argvs)
        print('%-32s %12d %9.3f %10.2f %11d %9d' % (name, count, count / floor, ms,
                                                   tty_writes, pipe_writes))
    print()
    print('stripped Linux binary   %6d bytes (%.1f KiB)' % (stripped_size(TINTY),
                                                           stripped_size(TINTY) / 1024))
    print('32-bit Windows exe      %6d bytes (%.1f KiB)' % (os.path.getsize(EXE),
                                                           os.path.getsize(EXE) / 1024))
    print('machine: %s, %d cores; %s' % (os.uname().machine, os.cpu_count(),
                                         time.strftime('%Y-%m-%d')))
    return 0


if __name__ == '__main__':
    sys.exit(main())
