// Console colour access on POSIX terminals.  A terminal's colours cannot be
// read back, so GetColor gives the plain 7.  SetColor writes one SGR escape
// sequence into the standard output stream itself, so colour and text stay in
// order without flushing; on anything but a terminal it writes nothing, and
// the output is the bare text.
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "color_console.h"

namespace {

// Windows colour bits (blue 1, green 2, red 4) as an ANSI colour index
// (red 1, green 2, blue 4).
unsigned AnsiColor(unsigned nibble) {
  return ((nibble & 1u) << 2) | (nibble & 2u) | ((nibble & 4u) >> 2);
}

char* AppendCode(char* out, unsigned code) {
  *out++ = ';';
  if (code >= 100) *out++ = static_cast<char>('0' + code / 100);
  if (code >= 10) *out++ = static_cast<char>('0' + code / 10 % 10);
  *out++ = static_cast<char>('0' + code % 10);
  return out;
}

}  // namespace

void PrepareOutput() {
  // A reader that goes away must not end the run: writes then fail quietly.
  std::signal(SIGPIPE, SIG_IGN);
}

std::uint16_t GetColor() { return 7; }

void SetColor(std::uint16_t attribute) {
  if (isatty(STDOUT_FILENO) == 0) return;

  // Reset, then the whole rendition: foreground 7 and background 0 are the
  // terminal's own defaults, any other nibble an ANSI colour, bright where
  // the intensity bit is set.
  char sequence[32] = "\x1b[0";
  char* out = sequence + 3;
  const unsigned foreground = attribute & 0xFu;
  const unsigned background = (attribute >> 4) & 0xFu;
  if (foreground != 7) out = AppendCode(out, ((foreground & 8u) ? 90 : 30) + AnsiColor(foreground));
  if (background != 0)
    out = AppendCode(out, ((background & 8u) ? 100 : 40) + AnsiColor(background));
  if (attribute & 0x4000u) out = AppendCode(out, 7);   // reverse video
  if (attribute & 0x8000u) out = AppendCode(out, 4);   // underscore
  if (attribute & 0x0400u) out = AppendCode(out, 53);  // top grid line: overline
  *out++ = 'm';
  *out = '\0';
  std::fputs(sequence, stdout);
}
