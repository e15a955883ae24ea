#!/usr/bin/env python3
"""Draws docs/help-screen.svg from what `tinty -p` writes to a terminal.

  python3 docs/render_help.py [TINTY] [--check]

TINTY defaults to build/default/tinty.  The escape sequences are decoded back
into attribute words, and each run of text is drawn in the colours the
Windows console gives that word (dark theme: 7 on 0 is the default).
--check compares instead of writing: it fails when the picture is stale.
"""
import os
import sys
from xml.sax.saxutils import escape

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), 'tests'))
from terminal import decode, run_pty  # noqa: E402  (the tests' terminal runner and decoder)

PICTURE = os.path.join(HERE, 'help-screen.svg')
PALETTE = ['#0c0c0c', '#0037da', '#13a10e', '#3a96dd', '#c50f1f', '#881798', '#c19c00',
           '#cccccc', '#767676', '#3b78ff', '#16c60c', '#61d6d6', '#e74856', '#b4009e',
           '#f9f1a5', '#f2f2f2']
CELL_W, CELL_H, PAD = 9, 18, 12


def screen_lines(exe):
    status, out, _ = run_pty([exe, '-p'], raw=True)
    if status != 0:
        sys.exit('tinty -p failed with status %d' % status)
    lines, line = [], []
    for attr, text in decode(out)[0]:
        for i, part in enumerate(text.replace(b'\r', b'').split(b'\n')):
            if i:
                lines.append(line)
                line = []
            if part:
                line.append((attr, part.decode('ascii')))
    return lines + ([line] if line else [])


def svg(lines):
    width = PAD * 2 + CELL_W * max(sum(len(t) for _, t in l) for l in lines)
    height = PAD * 2 + CELL_H * len(lines)
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" '
           'font-family="DejaVu Sans Mono, Consolas, monospace" font-size="15">' % (width, height),
           '<rect width="100%%" height="100%%" fill="%s"/>' % PALETTE[0]]
    for row, line in enumerate(lines):
        column, y = 0, PAD + row * CELL_H
        for attr, text in line:
            x, w = PAD + column * CELL_W, len(text) * CELL_W
            out.append('<rect x="%d" y="%d" width="%d" height="%d" fill="%s"/>'
                       % (x, y, w, CELL_H, PALETTE[attr >> 4 & 15]))
            out.append('<text x="%d" y="%d" textLength="%d" fill="%s" xml:space="preserve">%s'
                       '</text>' % (x, y + 14, w, PALETTE[attr & 15], escape(text)))
            column += len(text)
    out.append('</svg>')
    return '\n'.join(out) + '\n'


def main():
    args = [a for a in sys.argv[1:] if a != '--check']
    root = os.path.dirname(HERE)
    exe = args[0] if args else os.path.join(root, 'build', 'default', 'tinty')
    picture = svg(screen_lines(exe))
    if '--check' in sys.argv:
        with open(PICTURE) as f:
            if f.read() != picture:
                sys.exit('docs/help-screen.svg is stale: run python3 docs/render_help.py')
        print('docs/help-screen.svg is up to date')
        return 0
    with open(PICTURE, 'w') as f:
        f.write(picture)
    print('wrote', PICTURE)
    return 0


if __name__ == '__main__':
    sys.exit(main())
