// Attribute words as the SGR escape sequences of ANSI terminals.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

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

// The length of the well-formed UTF-8 character that starts at `at`, before
// `end`: 1 for ASCII, 0 where the bytes there form none.
size_t CharLength(const char* at, const char* end) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(at);
  if (bytes[0] < 0x80) return 1;
  // The bytes that follow the lead: 1 to 3, or 0 for no lead at all.
  const size_t more = (bytes[0] >= 0xC2) + (bytes[0] >= 0xE0) + (bytes[0] >= 0xF0);
  if (more == 0 || static_cast<size_t>(end - at) <= more) return 0;
  uint32_t value = bytes[0] & (0x3Fu >> more);
  for (size_t i = 1; i <= more; ++i) {
    if ((bytes[i] & 0xC0u) != 0x80u) return 0;
    value = (value << 6) | (bytes[i] & 0x3Fu);
  }
  // Well-formed as RFC 3629 has it: in the shortest form, no surrogate,
  // nothing beyond U+10FFFF.
  constexpr uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
  if (value < kLeast[more] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  return more + 1;
}

// Whether `at` opens an escape sequence of a text's own; *length is that of
// the character or byte there.
bool OpensSequence(const char* at, const char* end, size_t* length) {
  const size_t character = CharLength(at, end);
  *length = character != 0 ? character : 1;
  // ESC; CSI as UTF-8 writes it (U+009B); and CSI as the one byte that
  // terminals of 8-bit controls take, where it is no part of a character.
  // A 0x9B inside a character is text: the second byte of a Cyrillic
  // letter, say, which no UTF-8 terminal reads as CSI.
  return at[0] == '\x1b' || (character == 2 && at[0] == '\xc2' && at[1] == '\x9b') ||
         (character == 0 && at[0] == '\x9b');
}

}  // namespace

void ChooseSgr(uint16_t attribute) { chosen = attribute & kShownBits; }

void ShowSgr(const char* next) {
  ShowChosen();
  const char* const end = next + strlen(next);
  for (size_t length = 0; next != end; next += length)
    if (OpensSequence(next, end, &length)) {
      shown = kUnknown;
      MarkColoured(true);
      return;
    }
}

const char* PieceEnd(const char* at, const char* end) {
  size_t length = 0;
  if (!OpensSequence(at, end, &length)) return at + length;
  const char* next = at + length;
  if (at[0] == '\x1b' && next != end && *next == ']') {
    // OSC, a title or a link: up to BEL, or ST as ESC and a backslash.
    do ++next;
    while (next != end && *next != '\x07' && *next != '\x1b');
    const ptrdiff_t terminator = next != end && *next == '\x1b' ? 2 : 1;
    return end - next >= terminator ? next + terminator : end;
  }
  const bool csi = at[0] != '\x1b' || (next != end && *next == '[');
  if (at[0] == '\x1b' && csi) ++next;
  // Parameter bytes (a CSI's alone), intermediate bytes, then a final byte;
  // anything else cuts the sequence short, as a terminal takes it.
  const char last = csi ? '\x3f' : '\x2f';
  while (next != end && *next >= ' ' && *next <= last) ++next;
  return next != end && *next >= '0' && *next <= '~' ? next + 1 : next;
}

void KeepSgr(char* kept, size_t* used, size_t room, const char* at, const char* end) {
  for (const char* next = at; at != end; at = next) {
    next = PieceEnd(at, end);
    size_t length = 0;
    if (!OpensSequence(at, end, &length) || next[-1] != 'm') continue;
    if (at[0] == '\x1b' && (next - at < 3 || at[1] != '[')) continue;
    bool sgr = true;
    bool reset = true;  // the first parameter is 0, or left out
    bool first = true;
    for (const char* p = at + length + (at[0] == '\x1b' ? 1 : 0); p != next - 1; ++p) {
      first = first && *p != ';';
      sgr = sgr && *p >= '0' && *p <= ';';
      reset = reset && (!first || *p == '0');
    }
    if (!sgr) continue;
    if (reset) *used = 0;
    // A run of sequences longer than `room` loses the ones that do not fit.
    const auto size = static_cast<size_t>(next - at);
    if (room - *used < size) continue;
    memcpy(kept + *used, at, size);
    *used += size;
  }
}
