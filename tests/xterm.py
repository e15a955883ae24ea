"""The real-terminal client: what xterm draws under Xvfb, read off a
screenshot, cell by cell, on a dark and a light theme."""
import collections
import os
import subprocess
import tempfile
import time

from cases import USAGE
from terminal import need, windows_color


# The terminal suite reads what xterm draws.  Its colours are given to it
# here: ANSI colours 0-15, and the default colours of two themes.
PALETTE = ['#000000', '#cd0000', '#00cd00', '#cdcd00', '#0000ee', '#cd00cd', '#00cdcd', '#e5e5e5',
           '#7f7f7f', '#ff0000', '#00ff00', '#ffff00', '#5c5cff', '#ff00ff', '#00ffff', '#ffffff']
THEMES = {'dark': ('#1c1c1c', '#d0d0d0'), 'light': ('#ffffff', '#000000')}
COLUMNS, ROWS, CELL_W, CELL_H = 80, 30, 6, 13  # the 6x13 bitmap font


def rgb(colour):
    return bytes.fromhex(colour[1:])


def drawn_colours(attr, theme):
    """(background, foreground) that xterm should draw for an attribute word:
    background 0 and foreground 7 are the theme's own."""
    background, foreground = THEMES[theme]
    bg, fg = attr >> 4 & 15, attr & 15
    ansi = lambda n: PALETTE[windows_color(n & 7) + (8 if n & 8 else 0)]
    return rgb(background if bg == 0 else ansi(bg)), rgb(foreground if fg == 7 else ansi(fg))


class Xvfb:
    """A virtual X display for the life of the suite."""
    def __init__(self):
        read_end, write_end = os.pipe()
        self.proc = subprocess.Popen(
            ['Xvfb', '-displayfd', str(write_end), '-nolisten', 'tcp', '-screen', '0',
             '%dx%dx24' % (COLUMNS * CELL_W, ROWS * CELL_H)],
            pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as display:
            self.display = ':' + display.readline().strip()

    def screen(self):
        """The screen as rows of cells, each the Counter of its pixel colours."""
        data = subprocess.run(['import', '-display', self.display, '-window', 'root', '-depth',
                               '8', 'rgb:-'], capture_output=True, check=True).stdout
        width = COLUMNS * CELL_W
        pixel = lambda x, y: data[(y * width + x) * 3:(y * width + x) * 3 + 3]
        return [[collections.Counter(pixel(c * CELL_W + dx, r * CELL_H + dy)
                                     for dx in range(CELL_W) for dy in range(CELL_H))
                 for c in range(COLUMNS)] for r in range(ROWS)]

    def run(self, theme, commands):
        """Runs shell commands in xterm once its screen is full, so that their
        output scrolls in at the bottom; returns the screen once drawn."""
        background, foreground = THEMES[theme]
        with tempfile.TemporaryDirectory() as tmp:
            done = os.path.join(tmp, 'done')
            script = ('printf "\\033[?25l"; for i in $(seq %d); do echo; done; %s; : > %s; '
                      'exec sleep 60' % (ROWS, commands, done))
            colours = sum([['-xrm', '*color%d: %s' % (i, c)] for i, c in enumerate(PALETTE)], [])
            term = subprocess.Popen(
                ['xterm', '-display', self.display, '-geometry', '%dx%d+0+0' % (COLUMNS, ROWS),
                 '-fn', '6x13', '-b', '0', '-bw', '0', '+sb', '-bg', background, '-fg', foreground]
                + colours + ['-e', 'sh', '-c', script],
                env=dict(os.environ, LC_ALL='C'), stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL)
            try:
                deadline = time.monotonic() + 30
                while not os.path.exists(done) and time.monotonic() < deadline:
                    time.sleep(0.05)
                shots = [None, self.screen()]
                while shots[-1] != shots[-2] and time.monotonic() < deadline:
                    time.sleep(0.1)
                    shots.append(self.screen())
                return shots[-1]
            finally:
                term.kill()
                term.wait()

    def close(self):
        self.proc.kill()
        self.proc.wait()


def check_row(f, what, cells, pieces, theme):
    """A screen row shows pieces of (attribute, text) from column 0, and the
    rest of the row blank in the theme's own background."""
    want = [(a, ch) for a, text in pieces for ch in text]
    want += [(7, ' ')] * (COLUMNS - len(want))
    wrong = []
    for column, ((attr, ch), seen) in enumerate(zip(want, cells)):
        bg, fg = drawn_colours(attr, theme)
        glyph = set(seen) - {bg}
        if seen.most_common(1)[0][0] != bg or glyph - {fg} or (ch != ' ' and fg != bg) != bool(glyph):
            wrong.append(column)
    f.check(not wrong, '%s: columns %s are drawn wrong' % (what, wrong[:12]))


def suite_terminal(opts, f):
    """What a person sees: tinty's output in xterm, scrolled in at the bottom of
    a full screen, on a dark and a light theme."""
    need('Xvfb', 'xterm', 'import')
    exe = "'%s'" % os.path.abspath(opts.exe)
    usage = [line.decode() for line in USAGE.replace(b'\r', b'').split(b'\n')[:-1]]
    chart = [[(7, '%X' % r)] + [(r * 16 + c, ' %X' % c) for c in range(16)] for r in range(16)]
    help_rows = [[(7, line)] for line in usage] + chart + [[]]
    line_rows = [[(0x4F, 'Hello'), (0x2E, ' world'), (7, 'rest')], []]
    # xterm runs in the C locale, where it takes 8-bit controls: D0 is a
    # letter, and the 9B after it is CSI, which sets red; 90 opens a DCS.
    csi = "%s 07 \"$(printf '\\320\\23331mred')\"; echo plain" % exe
    dcs = "%s 07 \"$(printf 'x\\220q')\"; echo after" % exe
    x = Xvfb()
    try:
        for theme in THEMES:
            for name, commands, rows in [
                    ('help screen', exe + ' -p', help_rows),
                    ('one line of three calls', '%s 4F Hello; %s 2E " world"; echo rest'
                     % (exe, exe), line_rows),
                    ('8-bit CSI', csi, [[(7, '\u00d0'), (0x04, 'red'), (7, 'plain')], []]),
                    ('8-bit DCS', dcs, [[(7, 'xafter')], []])]:
                screen = x.run(theme, commands)
                for offset, pieces in enumerate(rows):
                    row = ROWS - len(rows) + offset
                    check_row(f, '%s, %s theme, row %d' % (name, theme, row), screen[row],
                              pieces, theme)
    finally:
        x.close()
