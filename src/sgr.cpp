// Attribute words as the SGR escape sequences of ANSI terminals.
#include <stddef.h>
#include <stdint.h>

#include "color_console.h"
#include "output.h"
#include "sgr.h"

namespace {

// The bits a terminal shows: the colours, reverse video, underscore and the
// top grid line.
constexpr uint16_t kShownBits = 0xC4FF;
// Never a word of shown bits alone: what the terminal shows after a text
// that set colours of its own.
constexpr uint16_t kUnknown = 0xFFFF;

// What the terminal shows at the end of the output so far, and the word
// chosen for what comes next.  It starts in its own colours, which the
// plain word stands for, as GetColor says.
uint16_t shown = kPlainAttribute;
uint16_t chosen = kPlainAttribute;

// Windows colour bits (blue 1, green 2, red 4) as an ANSI colour index
// (red 1, green 2, blue 4).
unsigned AnsiColor(unsigned nibble) {
  return ((nibble & 1u) << 2) | (nibble & 2u) | ((nibble & 4u) >> 2);
}

char* AppendCode(char* out, unsigned code) {
  *out++ = ';';
  if (code >= 100) *out++ = static_cast<char>('0' + (code / 100));
  if (code >= 10) *out++ = static_cast<char>('0' + (code / 10 % 10));
  *out++ = static_cast<char>('0' + (code % 10));
  return out;
}

// Puts the sequence for the chosen word where the terminal shows another.
void ShowChosen() {
  // A sequence that changes nothing on the screen is left out, so that a
  // call that shows nothing new writes nothing and leaves alone a colour
  // that the script set before it.
  if (chosen == shown) return;
  shown = chosen;
  // Foreground 7 and background 0 are left to the terminal's own default
  // colours, so that light and dark themes both read as the plain word.
  char sequence[24];  // a reset, two colours and three flags
  char* end = sequence;
  *end++ = '\x1b';
  *end++ = '[';
  *end++ = '0';
  const unsigned foreground = shown & 0xFu;
  const unsigned background = (shown >> 4) & 0xFu;
  if (foreground != 7) end = AppendCode(end, ((foreground & 8u) ? 90 : 30) + AnsiColor(foreground));
  if (background != 0)
    end = AppendCode(end, ((background & 8u) ? 100 : 40) + AnsiColor(background));
  if (shown & 0x4000u) end = AppendCode(end, 7);   // reverse video
  if (shown & 0x8000u) end = AppendCode(end, 4);   // underscore
  if (shown & 0x0400u) end = AppendCode(end, 53);  // top grid line: overline
  *end++ = 'm';
  MarkColoured(shown != kPlainAttribute);
  Put(sequence, static_cast<size_t>(end - sequence));
}

}  // namespace

void ChooseSgr(uint16_t attribute) { chosen = attribute & kShownBits; }

void ShowSgr(const char* next) {
  ShowChosen();
  // ESC, or CSI as the one byte that terminals of 8-bit controls take.
  while (*next != '\0' && *next != '\x1b' && *next != '\x9b') ++next;
  if (*next == '\0') return;
  shown = kUnknown;
  MarkColoured(true);
}
