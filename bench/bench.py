#!/usr/bin/env python3
"""tinty against the floor: what one call costs beside starting a process.

  python3 bench/bench.py [--rounds N]

Builds what it needs (the default preset, static against musl; the system
preset, against the system C library; the 32-bit and x86-64 Windows exes;
and a static executable that only exits, the floor for any process), then
prints one table: user-space instructions per call (valgrind's callgrind,
repeatable on a busy machine) with the output to /dev/null and on a
terminal, the time of a call in a shell loop of 400 (median of alternated
rounds), write(2) calls on a terminal and on a pipe (strace); then every
target beside its figure (the instructions of a call and of the help screen
on a terminal, those of a byte of plain text, and the sizes), and every
system call of a call and of the help screen, on a terminal and on a pipe.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, 'tests'))
from terminal import calls, run_pty, writes  # noqa: E402  (the tests' runner and counters)
from cases import BIG  # noqa: E402  (a text of 24 KB, no two pieces alike)

TINTY = os.path.join(ROOT, 'build', 'default', 'tinty')
SYSTEM = os.path.join(ROOT, 'build', 'system', 'tinty')
EXE = os.path.join(ROOT, 'build', 'windows-x86', 'tinty.exe')
EXE64 = os.path.join(ROOT, 'build', 'windows-x64', 'tinty.exe')
WINE64 = '/usr/lib/wine/wine64'
ENV = dict(os.environ, TERM='xterm-256color', LC_ALL='C')
LOOP = 400
FLOOR_C = ('void _start(void) {\n'
           '  __asm__ volatile("mov $60, %eax\\n xor %edi, %edi\\n syscall");\n'
           '}\n')


def build(preset, target):
    if not os.path.exists(target):
        for argv in (['cmake', '--preset', preset], ['cmake', '--build', '--preset', preset]):
            subprocess.run(argv, cwd=ROOT, check=True, stdout=subprocess.DEVNULL)


def build_floor(folder):
    source, exe = os.path.join(folder, 'floor.c'), os.path.join(folder, 'floor')
    with open(source, 'w') as f:
        f.write(FLOOR_C)
    subprocess.run(['gcc', '-O2', '-static', '-nostdlib', '-s', '-o', exe, source], check=True)
    return exe


def instructions(argv, on_terminal=False):
    """User-space instructions of a call with its output to /dev/null, or on a
    terminal, where tinty notes what it writes.  The program is called by
    name from the PATH, as scripts call it: the C library's start-up reads
    the name, and the environment, a few instructions a byte, so that a call
    from a long folder's path would cost more.  (valgrind writes its own
    report into a file: the arguments it repeats could fill a pipe.)"""
    folder, name = os.path.split(argv[0])
    env = dict(ENV, PATH=folder + os.pathsep + ENV['PATH'])
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, 'log')
        argv = ['valgrind', '--tool=callgrind', '--callgrind-out-file=/dev/null',
                '--log-file=' + log, name] + argv[1:]
        if on_terminal:
            run_pty(argv, raw=True, env=env)
        else:
            subprocess.run(argv, stdout=subprocess.DEVNULL, env=env, check=True)
        with open(log) as report:
            return int(re.search(r'Collected : (\d+)', report.read()).group(1))


def system_calls(argv, on_terminal):
    """Every system call of a call after it is executed, by name, with how many
    times it is made."""
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, 'trace')
        traced = ['strace', '-qq', '-o', log] + argv
        if on_terminal:
            run_pty(traced, raw=True, env=ENV)
        else:
            subprocess.run(traced, stdout=subprocess.PIPE, env=ENV, check=True)
        with open(log) as trace:
            names = [m.group(1) for m in (re.match(r'(\w+)\(', line) for line in trace) if m]
    names = names[1:]  # the execve
    return ', '.join('%s%s' % (n, ' x%d' % names.count(n) if names.count(n) > 1 else '')
                     for n in dict.fromkeys(names))


def loop_seconds(argvs):
    """One round: each command LOOP times from a shell loop, output to /dev/null."""
    calls = '; '.join(' '.join("'%s'" % a for a in argv) for argv in argvs)
    script = 'i=0; while [ $i -lt %d ]; do %s; i=$((i+1)); done' % (LOOP, calls)
    start = time.perf_counter()
    subprocess.run(['sh', '-c', script], stdout=subprocess.DEVNULL, env=ENV, check=True)
    return time.perf_counter() - start


def stripped_size(path):
    with tempfile.TemporaryDirectory() as tmp:
        copy = os.path.join(tmp, 'stripped')
        subprocess.run(['strip', '-o', copy, path], check=True)
        return os.path.getsize(copy)


def print_system_calls():
    """write(2) and ioctl(2) calls of a call and of -p, on a terminal and into a
    pipe; and the writes to standard output of the Windows exe under Wine,
    into a pipe (the x86-64 build: Wine's 32-bit loader may not run here)."""
    print('%-32s %12s %10s %12s %10s' % ('system calls', 'writes tty', 'ioctl tty',
                                          'writes pipe', 'ioctl pipe'))
    for name, argv in [('tinty 1 12 Hello', [TINTY, '1', '12', 'Hello']), ('tinty -p', [TINTY, '-p'])]:
        counts = []
        for on_terminal in (True, False):
            made = calls(argv, on_terminal, ENV)
            counts += [sum(1 for n, _ in made if n != 'ioctl'), sum(1 for n, _ in made if n == 'ioctl')]
        print('%-32s %12d %10d %12d %10d' % tuple([name] + counts))
    for name, argv in [('tinty 1 12 Hello', [TINTY, '1', '12', 'Hello']), ('tinty -p', [TINTY, '-p']),
                       ('tinty 07 plain', [TINTY, '07', 'plain'])]:
        for on_terminal in (True, False):
            print('%s, %s: %s' % (name, 'on a terminal' if on_terminal else 'into a pipe',
                                  system_calls(argv, on_terminal)))
    if not os.path.exists(WINE64):
        print('Windows exe under Wine: %s not installed' % WINE64)
        return
    build('windows-x64', EXE64)
    env = dict(ENV, WINEPREFIX=os.path.join(ROOT, 'build', 'windows-x64', 'wineprefix'),
               WINEDEBUG='-all')
    subprocess.run([WINE64, 'cmd', '/c', 'exit'], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)  # the prefix and its server, before the count
    for name, args in [('tinty.exe 1 12 Hello, Wine', ['1', '12', 'Hello']),
                       ('tinty.exe -p, Wine', ['-p'])]:
        print('%-32s %12s %10s %12d' % (name, '', '', wine_writes(EXE64, args, env)))


def wine_writes(exe, args, env):
    """WriteFile calls of the exe itself into a pipe, from Wine's relay trace."""
    r = subprocess.run([WINE64, exe] + args, env=dict(env, WINEDEBUG='+relay'),
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True)
    return len(re.findall(rb'Call KERNEL32\.WriteFile\(', r.stderr))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--rounds', type=int, default=9)
    rounds = parser.parse_args().rounds
    build('default', TINTY)
    build('system', SYSTEM)
    build('windows-x86', EXE)
    build('windows-x64', EXE64)
    with tempfile.TemporaryDirectory() as tmp:
        floor = build_floor(tmp)
        seq = '\\033[0;91;44mHello\\033[0m'
        rows = [
            ('static exit (the floor)', [[floor]]),
            ('/bin/true', [['/bin/true']]),
            ('tinty 1 12 Hello', [[TINTY, '1', '12', 'Hello']]),
            ('tinty -p (help screen)', [[TINTY, '-p']]),
            ('tinty 1 12 Hello, system libc', [[SYSTEM, '1', '12', 'Hello']]),
            ('printf of the same bytes', [['/usr/bin/printf', seq]]),
            ('tput setab/setaf/sgr0 + printf', [['tput', 'setab', '4'], ['tput', 'setaf', '9'],
                                                ['/usr/bin/printf', 'Hello'], ['tput', 'sgr0']]),
        ]
        # Rounds alternate between the commands, so that a busy moment of the
        # machine falls on all of them alike.
        times = {name: [] for name, _ in rows}
        for _ in range(rounds):
            for name, argvs in rows:
                times[name].append(loop_seconds(argvs))
        median = {name: statistics.median(t) for name, t in times.items()}

        print('%-32s %12s %9s %11s %7s %7s %10s %9s' % (
            'command', 'instructions', 'on a tty', 'us a call', 'x floor', 'x true', 'writes tty',
            'pipe'))
        for name, argvs in rows:
            count = sum(instructions(a) for a in argvs)
            on_tty = sum(instructions(a, True) for a in argvs)
            tty_writes = sum(writes(a, True, ENV) for a in argvs)
            pipe_writes = sum(writes(a, False, ENV) for a in argvs)
            print('%-32s %12d %9d %11.1f %7.2f %7.2f %10d %9d' % (
                name, count, on_tty, median[name] / LOOP * 1e6,
                median[name] / median['static exit (the floor)'], median[name] / median['/bin/true'],
                tty_writes, pipe_writes))

    coloured = instructions([TINTY, '1', '12', 'Hello'])
    on_tty = instructions([TINTY, '1', '12', 'Hello'], True)
    help_on_tty = instructions([TINTY, '-p'], True)
    text = BIG * 4  # 96 KB of plain text: a byte costs what a call of it costs more
    per_byte = (instructions([TINTY, '1', '12', text], True) -
                instructions([TINTY, '1', '12', text[:1]], True)) / (len(text) - 1)
    ratio_floor = median['tinty 1 12 Hello'] / median['static exit (the floor)']
    ratio_true = median['tinty 1 12 Hello'] / median['/bin/true']
    size = stripped_size(TINTY)
    one_write = all(writes(a, t, ENV) == 1 for a in ([TINTY, '1', '12', 'Hello'], [TINTY, '-p'])
                    for t in (True, False))
    print()
    for what, value, target, met in [
            ('instructions, tinty 1 12 Hello', '%d' % coloured, 'at most 5,000', coloured <= 5000),
            ('the same on a terminal', '%d' % on_tty, 'at most 4,000', on_tty <= 4000),
            ('tinty -p on a terminal', '%d' % help_on_tty, 'at most 100,000',
             help_on_tty <= 100_000),
            ('a byte of plain text, terminal', '%.2f' % per_byte, 'at most 4', per_byte <= 4),
            ('loop time against the floor', '%.2f x' % ratio_floor, 'at most 1.3 x',
             ratio_floor <= 1.3),
            ('loop time against /bin/true', '%.2f x' % ratio_true, 'at most 0.6 x',
             ratio_true <= 0.6),
            ('one write(2) a call, -p too', 'yes' if one_write else 'no', 'yes', one_write),
            ('stripped Linux binary', '%d bytes' % size, 'at most 32 KiB', size <= 32 * 1024),
            ('stripped, system libc', '%d bytes' % stripped_size(SYSTEM), '', None),
            ('32-bit Windows exe', '%d bytes' % os.path.getsize(EXE), 'at most 20 KiB',
             os.path.getsize(EXE) <= 20 * 1024),
            ('x86-64 Windows exe', '%d bytes' % os.path.getsize(EXE64), 'at most 24 KiB',
             os.path.getsize(EXE64) <= 24 * 1024)]:
        print('%-34s %14s  %-16s %s' % (what, value, target,
                                        '' if met is None else 'met' if met else 'MISSED'))
    print()
    print_system_calls()
    print('machine: %s, %d cores; %s; %d environment variables' % (
        os.uname().machine, os.cpu_count(), time.strftime('%Y-%m-%d'), len(ENV)))
    return 0


if __name__ == '__main__':
    sys.exit(main())
