// What a terminal is sent and what it saw: attribute words as SGR escape
// sequences, the kinds of opener in the output and their closing, and the
// account of what went out.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "color_console.h"
#include "output.h"
#include "terminal.h"

namespace {

bool utf8 = true;

// Text, or a C0 control that leaves a terminal's parser where it is.
bool IsText(unsigned char byte) { return byte != 0x1B && byte < 0x80; }

const unsigned char* SkipText(const unsigned char* at, const unsigned char* end) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kHigh = 0x8080808080808080u;
  for (uint64_t word = 0; end - at >= 8; at += 8) {
    memcpy(&word, at, sizeof word);
    // A byte that is ESC is 0 in `escapes`, which a borrow tells; now and
    // then it marks a byte above one that is too, which the loop below takes.
    const uint64_t escapes = word ^ (kOnes * 0x1B);
    if (((((escapes - kOnes) & ~escapes) | word) & kHigh) != 0) break;
  }
  while (at != end && IsText(*at)) ++at;
  return at;
}

// Where the scan of what is put stands: within a UTF-8 character (the
// bytes still to come of it, the range of the next, and its first), or
// after ESC.
uint8_t more = 0;
uint8_t low = 0;
uint8_t high = 0;
uint8_t lead = 0;
bool escaped = false;

// What ESC and the byte after it open; a C1 control opens what ESC and the
// byte 0x40 below it do.
unsigned Opens(unsigned final) {
  if (final == ']') return kSequence | kString | kOsc;
  const bool string = final == 'P' || final == 'X' || final == '^' || final == '_';
  return string ? kSequence | kString : kSequence;
}

// A lead byte begins a character.  The range of the next byte rules out
// overlong forms, surrogates and what lies beyond U+10FFFF.
unsigned Begin(unsigned byte) {
  more = static_cast<uint8_t>(1 + (byte >= 0xE0) + (byte >= 0xF0));
  lead = static_cast<uint8_t>(byte);
  low = byte == 0xE0 ? 0xA0 : 0x80;
  high = byte == 0xED ? 0x9F : 0xBF;
  if (byte == 0xF0) low = 0x90;
  if (byte == 0xF4) high = 0x8F;
  return 0;
}

// A C0 control or DEL between ESC and the byte after it is executed and
// goes, and the escape goes on, in xterm and tmux alike.
unsigned KindsOf(unsigned byte) {
  if (more != 0 && byte >= low && byte <= high) {
    low = 0x80;
    high = 0xBF;
    // Only C2 80 to C2 9F, U+0080 to U+009F, are C1 controls.
    return --more == 0 && lead == 0xC2 && byte < 0xA0 ? Opens(byte - 0x40) : 0;
  }
  more = 0;  // a character cut short, if any
  if (byte == 0x1B) {
    escaped = true;
    return kSequence;
  }
  if (escaped && (byte == 0x7F || (byte < 0x20 && byte != 0x18 && byte != 0x1A))) return 0;
  const bool after_escape = escaped;
  escaped = false;
  if (byte < 0x80) return after_escape ? Opens(byte) : 0;
  if (utf8 && byte >= 0xC2 && byte <= 0xF4) return Begin(byte);
  // No part of a character: taken for the C1 control some terminals take.
  return byte < 0xA0 ? Opens(byte - 0x40) : 0;
}

uint16_t chosen = kPlainAttribute;
uint16_t showing = kPlainAttribute;

char* Append(char* out, const char* text) {
  while (*text != '\0') *out++ = *text++;
  return out;
}

char* AppendCode(char* out, unsigned code, char separator = ';') {
  *out++ = separator;
  if (code >= 100) *out++ = static_cast<char>('0' + (code / 100));
  if (code >= 10) *out++ = static_cast<char>('0' + (code / 10 % 10));
  *out++ = static_cast<char>('0' + (code % 10));
  return out;
}

// A colour nibble of a word as its SGR code: Windows' blue, green and red
// are ANSI's 4, 2 and 1, and intensity selects the bright set (90-97 for a
// foreground, 100-107 for a background).
char* AppendNibble(char* out, unsigned nibble, bool background) {
  const bool bright = (nibble & 8u) != 0;
  *out++ = ';';
  if (background && bright) *out++ = '1';
  *out++ = (background ? "40" : "39")[bright ? 1 : 0];
  *out++ = "04261537"[nibble & 7u];
  return out;
}

constexpr size_t kMostWord = 20;  // ESC[0;97;107;7;4;53m

// After a reset, foreground 7 and background 0 are left to the terminal's
// own colours, so that light and dark themes both read as the plain word;
// no terminal draws bits 8, 9, 11, 12 and 13.
size_t WordSequence(uint16_t word, char* out) {
  char* end = Append(out, "\x1b[0");
  if ((word & 0xFu) != 7) end = AppendNibble(end, word & 0xFu, false);
  if ((word & 0xF0u) != 0) end = AppendNibble(end, (word >> 4) & 0xFu, true);
  if ((word & 0x4000u) != 0) end = AppendCode(end, 7);   // reverse video
  if ((word & 0x8000u) != 0) end = AppendCode(end, 4);   // underscore
  if ((word & 0x0400u) != 0) end = AppendCode(end, 53);  // top grid line: overline
  *end++ = 'm';
  return static_cast<size_t>(end - out);
}

// Tinty's own sequence ends a character cut short, or an ESC, before it.
void PutOwn(size_t count) {
  Use(count);
  more = 0;
  escaped = false;
}

// The account parses what went out as xterm does, following what SGR sets
// and ESC 7 and 8 (or CSI s and u) save and restore.  A colour is the
// terminal's own (0), or one of the 16 of codes 30-37 and 90-97 (0-15), of
// 256 (38;5;n), or red, green and blue; the flags are a bit each, but for
// the underline's style (1 single, 2 double, 3 to 5 curly, dotted, dashed).
enum : uint32_t { kBasic = 1u << 24, kIndexed = 2u << 24, kDirect = 3u << 24 };
enum : uint8_t { kBold = 1, kFaint = 2, kItalic = 4, kBlink = 8, kReverse = 16, kConceal = 32 };
enum : uint16_t { kStrike = 64, kOverline = 128, kUnderline = 7u << 8 };
constexpr unsigned kStyleShift = 8;

struct Rendition {
  uint32_t foreground;
  uint32_t background;
  uint16_t flags;
};

// The SGR codes of the flags: the bits each clears, then the bits it sets.
// A replay writes the first code that sets a flag, in this order.
struct FlagCode {
  uint8_t code;
  uint16_t clears;
  uint16_t sets;
};
// clang-format off
constexpr FlagCode kFlagCodes[] = {
    {1, 0, kBold}, {2, 0, kFaint}, {3, 0, kItalic}, {5, 0, kBlink}, {7, 0, kReverse},
    {8, 0, kConceal}, {9, 0, kStrike}, {53, 0, kOverline}, {4, kUnderline, 1u << kStyleShift},
    {21, kUnderline, 2u << kStyleShift}, {6, 0, kBlink}, {22, kBold | kFaint, 0},
    {23, kItalic, 0}, {24, kUnderline, 0}, {25, kBlink, 0}, {27, kReverse, 0}, {28, kConceal, 0},
    {29, kStrike, 0}, {55, kOverline, 0},
};
// clang-format on

// Where the parser stands (in a DCS, SOS, PM or APC; in OSC, which BEL ends).
enum : uint8_t { kGround, kEscape, kIntermediate, kCsi, kInString, kInOsc, kStringEscape };

// The parameters of a CSI that it keeps: one with more is no SGR, as tmux
// takes it.  A parameter not given is kNone.
constexpr unsigned kParameters = 23;
constexpr uint16_t kNone = 0xFFFF;

Rendition rendition = {};         // in force,
Rendition saved = {};             // as ESC 7 or CSI s saved it,
uint8_t state = kGround;          // where the parser stands,
unsigned to_come = 0;             // the bytes still to come of a UTF-8 character,
uint16_t parameter[kParameters];  // and the CSI being read: its parameters,
uint32_t colons = 0;              // which of them follow a colon,
unsigned begun = 0;               // how many have begun,
bool sgr = false;                 // and whether it may be an SGR or a cursor save

void ApplyCode(unsigned code) {
  const unsigned unit = code % 10;
  if (code == 0) rendition = {};
  if ((code >= 30 && code <= 37) || (code >= 90 && code <= 97))
    rendition.foreground = kBasic | (code >= 90 ? unit + 8 : unit);
  if ((code >= 40 && code <= 47) || (code >= 100 && code <= 107))
    rendition.background = kBasic | (code >= 100 ? unit + 8 : unit);
  if (code == 39) rendition.foreground = 0;
  if (code == 49) rendition.background = 0;
  for (const FlagCode& flag : kFlagCodes)
    if (flag.code == code)
      // cppcheck-suppress useStlAlgorithm ; there is no C++ library to call
      rendition.flags = static_cast<uint16_t>((rendition.flags & ~flag.clears) | flag.sets);
}

bool Colon(unsigned i) { return i < begun && ((colons >> i) & 1u) != 0; }

unsigned GroupEnd(unsigned i) {  // of the sub-parameters that parameter i heads
  while (Colon(++i)) {
  }
  return i;
}

// 38 or 48 at parameter i, in the forms xterm takes: 38;5;n and 38;2;r;g;b
// take their parameters, given or not; 38:5:n and 38:2:r:g:b (or 38;2:r:g:b)
// their group, a colour space's id before red where four follow the 2.  A
// colour not whole, or out of range, changes nothing.  Returns where the
// code's parameters end.
unsigned ApplyExtended(unsigned i) {
  const unsigned kind_at = i + 1;
  if (kind_at >= begun) return kind_at;
  const unsigned end = GroupEnd(kind_at);
  const bool grouped = Colon(kind_at) || end > kind_at + 1;
  const unsigned kind = parameter[kind_at];
  const unsigned need = (kind == 5) + ((kind == 2) * 3u);
  const unsigned first = kind_at + 1 + (grouped && end - kind_at > 4 ? 1 : 0);
  unsigned value[3] = {kNone, kNone, kNone};
  for (unsigned k = 0; k < need && first + k < (grouped ? end : begun); ++k)
    value[k] = parameter[first + k];
  uint32_t colour = 0;
  if (kind == 5 && value[0] < 256) colour = kIndexed | value[0];
  if (kind == 2 && value[0] < 256 && value[1] < 256 && value[2] < 256)
    colour = kDirect | (value[0] << 16) | (value[1] << 8) | value[2];
  if (colour != 0) (parameter[i] == 38 ? rendition.foreground : rendition.background) = colour;
  return grouped ? end : kind_at + 1 + need;
}

// A code with sub-parameters is ignored, as xterm ignores it, but for the
// underline's style (4:0 to 4:5), as tmux takes it.
void ApplySgr() {
  for (unsigned i = 0; i < begun;) {
    const unsigned code = parameter[i] == kNone ? 0 : parameter[i];
    if (code == 38 || code == 48) {
      i = ApplyExtended(i);
      continue;
    }
    const unsigned end = GroupEnd(i);
    const unsigned style = end > i + 1 ? parameter[i + 1] : kNone;
    if (end == i + 1) ApplyCode(code);
    if (code == 4 && style <= 5)
      rendition.flags =
          static_cast<uint16_t>((rendition.flags & ~kUnderline) | (style << kStyleShift));
    i = end;
  }
}

// The byte after ESC; after a C1 control, the one 0x40 below it.
void Escape(unsigned code) {
  if (code < 0x20 || code == 0x7F) return;  // executed or ignored: the escape goes on
  state = code < 0x30 ? kIntermediate : kGround;
  if (code == ']') state = kInOsc;
  if (code == 'P' || code == 'X' || code == '^' || code == '_') state = kInString;
  if (code == '7') saved = rendition;
  if (code == '8') rendition = saved;
  if (code == 'c') rendition = saved = {};  // the terminal reset whole
  if (code != '[') return;
  state = kCsi;
  parameter[0] = kNone;
  colons = 0;
  begun = 1;
  sgr = true;
}

void Csi(unsigned code) {
  if (code < 0x20 || code >= 0x7F) return;  // executed or ignored: the sequence goes on
  if (code >= '0' && code <= '9') {
    uint16_t& value = parameter[begun - 1];
    const unsigned before = value == kNone ? 0 : value;
    value = static_cast<uint16_t>(before < 1000 ? (before * 10) + code - '0' : 9999);
  } else if ((code == ';' || code == ':') && begun < kParameters) {
    if (code == ':') colons |= 1u << begun;
    parameter[begun++] = kNone;
  } else if (code < 0x40) {
    sgr = false;  // a parameter too many, an intermediate or a private marker
  } else {
    state = kGround;
    const bool bare = begun == 1 && parameter[0] == kNone;
    if (sgr && code == 'm') ApplySgr();
    if (sgr && bare && code == 's') saved = rendition;
    if (sgr && bare && code == 'u') rendition = saved;
  }
}

// As xterm's parser: CAN and SUB cancel a sequence wherever they come, ESC
// begins one (in a string, maybe its ST), and C1 controls, where bytes are
// ones, are ESC and the byte 0x40 below.
void Step(unsigned code) {
  if (code == 0x18 || code == 0x1A || (state == kInOsc && code == 0x07) ||
      (state == kIntermediate && code >= 0x30 && code <= 0x7E)) {
    state = kGround;
  } else if (code == 0x1B) {
    state = state == kInString || state == kInOsc ? kStringEscape : kEscape;
  } else if (code >= 0x80 && code <= 0x9F && !utf8) {
    Escape(code - 0x40);
  } else if (state == kEscape || state == kStringEscape) {  // the string's ST, or it is cut
    state = kEscape;
    Escape(code);
  } else if (state == kCsi) {
    Csi(code);
  }
}

char* AppendColour(char* out, uint32_t colour, unsigned base) {
  const uint32_t kind = colour & 0xFF000000u;
  const uint32_t value = colour & 0xFFFFFFu;
  if (kind == kBasic) return AppendCode(out, (value < 8 ? base : base + 52) + value);
  if (kind == kIndexed) return AppendCode(AppendCode(AppendCode(out, base + 8), 5), value);
  if (kind != kDirect) return out;
  out = AppendCode(AppendCode(AppendCode(out, base + 8), 2), value >> 16);
  return AppendCode(AppendCode(out, (value >> 8) & 0xFFu), value & 0xFFu);
}

}  // namespace

void TakeUtf8(bool takes) { utf8 = takes; }

unsigned Kinds(const char* bytes, size_t count) {
  unsigned kinds = 0;
  const auto* at = reinterpret_cast<const unsigned char*>(bytes);
  const unsigned char* const end = at + count;
  while (at != end) {
    if (more == 0 && !escaped && IsText(*at)) at = SkipText(at, end);
    if (at != end) kinds |= KindsOf(*at++);
  }
  return kinds;
}

void ChooseSgr(uint16_t attribute) { chosen = attribute & 0xC4FFu; }

// A sequence that changes nothing is left out, so that a call that shows
// nothing new writes nothing, and leaves alone a colour a script set before.
void ShowChosen() {
  if (chosen == showing) return;
  PutOwn(WordSequence(chosen, Room(kMostWord)));
  showing = chosen;
}

void EndText(unsigned kinds) {
  if (kinds == 0) return;
  PutOwn(Closing(kinds, Room(kMostClosing)));
  showing = kPlainAttribute;
}

size_t Closing(unsigned kinds, char* out) {
  char* end = out;
  if ((kinds & kSequence) != 0) end = Append(end, "\x18");
  if ((kinds & kString) != 0) end = Append(end, "\x1b\\");
  if ((kinds & kOsc) != 0) end = Append(end, "\x1b]8;;\x1b\\");
  if ((kinds & kSequence) != 0) end = Append(end, "\x1b[0m");
  return static_cast<size_t>(end - out);
}

// In UTF-8 every byte beyond ASCII is text, or a string's data, as xterm
// and tmux take U+0080 to U+009F there too: a character is a piece only
// for the bytes still to come of it.
void Follow(const char* bytes, size_t count) {
  const auto* at = reinterpret_cast<const unsigned char*>(bytes);
  const unsigned char* const end = at + count;
  while (at != end) {
    if (state == kGround && to_come == 0 && IsText(*at)) at = SkipText(at, end);
    if (at == end) return;
    const unsigned byte = *at++;
    const bool beyond = utf8 && byte >= 0x80;
    if (!beyond)
      to_come = 0;
    else if (byte >= 0xC0)
      to_come = 1 + (byte >= 0xE0) + (byte >= 0xF0);
    else if (to_come != 0)
      --to_come;
    Step(beyond ? 0xFFFD : byte);
  }
}

bool InPiece() { return state != kGround || to_come != 0; }

size_t Replay(char* out) {
  if (rendition.foreground == 0 && rendition.background == 0 && rendition.flags == 0) return 0;
  char* end = Append(out, "\x1b[0");
  end = AppendColour(end, rendition.foreground, 30);
  end = AppendColour(end, rendition.background, 40);
  uint16_t left = rendition.flags;
  for (const FlagCode& flag : kFlagCodes) {
    if (flag.sets == 0 || (left & (flag.clears | flag.sets)) != flag.sets) continue;
    end = AppendCode(end, flag.code);
    left = static_cast<uint16_t>(left & ~flag.sets);
  }
  const unsigned style = (left & kUnderline) >> kStyleShift;
  if (style != 0) end = AppendCode(AppendCode(end, 4), style, ':');
  *end++ = 'm';
  return static_cast<size_t>(end - out);
}
