// What a terminal shows of the output: attribute words as SGR escape
// sequences, and a model of the terminal that follows the output byte by
// byte, once as it is put and once as it goes out.
#include <stddef.h>
#include <stdint.h>

#include "color_console.h"
#include "output.h"
#include "terminal.h"

namespace {

// A colour that SGR sets: the terminal's own (0), or a kind and a value:
// one of the 16 colours of codes 30-37 and 90-97, one of 256 (38;5;n), or
// red, green and blue (38;2;r;g;b).
constexpr uint32_t kBasic = 1u << 24;
constexpr uint32_t kIndexed = 2u << 24;
constexpr uint32_t kDirect = 3u << 24;
constexpr uint32_t kKind = 0xFF000000u;

// The flags that SGR sets: a bit each, but for the underline's style (1
// single, 2 double, 3 to 5 curly, dotted, dashed); and kOther for whatever
// the model does not follow that may change them, from an SGR code it does
// not know to a sequence that restores a saved cursor and its colours.
constexpr uint16_t kReverse = 1u << 0;
constexpr uint16_t kOverline = 1u << 1;
constexpr uint16_t kBold = 1u << 2;
constexpr uint16_t kFaint = 1u << 3;
constexpr uint16_t kItalic = 1u << 4;
constexpr uint16_t kBlink = 1u << 5;
constexpr uint16_t kRapidBlink = 1u << 6;
constexpr uint16_t kConceal = 1u << 7;
constexpr uint16_t kStrike = 1u << 8;
constexpr unsigned kStyleShift = 9;
constexpr uint16_t kUnderline = 7u << kStyleShift;
constexpr uint16_t kOther = 1u << 15;

struct Rendition {
  uint32_t foreground;
  uint32_t background;
  uint16_t flags;
};

// The SGR codes that set or clear flags: the bits each changes, and to what.
struct FlagCode {
  uint16_t bits;
  uint16_t value;
  uint8_t code;
};
// clang-format off
constexpr FlagCode kFlagCodes[] = {
    {kReverse, kReverse, 7}, {kUnderline, 1u << kStyleShift, 4}, {kOverline, kOverline, 53},
    {kBold, kBold, 1}, {kFaint, kFaint, 2}, {kItalic, kItalic, 3}, {kBlink, kBlink, 5},
    {kRapidBlink, kRapidBlink, 6}, {kConceal, kConceal, 8}, {kStrike, kStrike, 9},
    {kUnderline, 2u << kStyleShift, 21}, {kBold | kFaint, 0, 22}, {kItalic, 0, 23},
    {kUnderline, 0, 24}, {kBlink | kRapidBlink, 0, 25}, {kReverse, 0, 27}, {kConceal, 0, 28},
    {kStrike, 0, 29}, {kOverline, 0, 55},
};
// clang-format on

enum class State : uint8_t { kGround, kEscape, kIntermediate, kCsi, kString, kStringEscape };

// How far an OSC has shown itself to be a hyperlink (8;params;URI).
enum class Link : uint8_t { kNoOsc, kStart, kEight, kParameters, kNoUri, kUri, kOtherOsc };

// The parameters of one SGR code at most: 38:2:id:r:g:b.
constexpr unsigned kGroup = 6;

// A terminal, as far as the output followed so far shows it.  Where the
// model and a terminal may differ, it takes what needs more to close: a
// string that an ESC without a backslash cuts short ends there for most
// terminals, and goes on for tmux.
struct Model {
  Rendition shown;         // the colours in force, where followed:
  Rendition pending;       // what the SGR being read would set them to,
  uint16_t group[kGroup];  // the parameters of its code being read,
  uint8_t count;           // the index of the one being read (kGroup: too many)
  bool colon;              // and whether they are sub-parameters (38:5:n)
  uint8_t more;            // bytes still to come of the character being decoded,
  uint8_t lead;            // its first one, and the range of the next:
  uint8_t low;
  uint8_t high;
  State state;
  Link link_state;
  bool sgr;          // the CSI being read can be an SGR,
  bool zero;         // and has no parameter but 0 so far
  bool coloured;     // the terminal may show other colours than its own
  bool link;         // a hyperlink may be open
  bool unclosed;     // a control string may be open
  uint32_t openers;  // ESC and C1 controls so far
};

bool utf8 = true;
// The word chosen for the text put next, the one tinty's last sequence set,
// and the openers put up to its end: any more since are a text's own.
uint16_t chosen = kPlainAttribute;
uint16_t shown = kPlainAttribute;
uint32_t ours = 0;
// The output as it is put, and as it went out.
Model put = {};
Model sent = {};
// What follows the colours in force as they went out, where asked.
void (*colours)(Model*, uint32_t) = nullptr;

// 38;5;n, 38;2;r;g;b, and the same with colons, the last with a colour
// space's id before red: the colour, or 0 for none.
uint32_t Extended(const uint16_t* parameter, unsigned count) {
  if (count == 3 && parameter[1] == 5 && parameter[2] < 256) return kIndexed | parameter[2];
  if ((count != 5 && count != 6) || parameter[1] != 2) return 0;
  const uint16_t* rgb = parameter + count - 3;
  if (rgb[0] > 255 || rgb[1] > 255 || rgb[2] > 255) return 0;
  return kDirect | (uint32_t{rgb[0]} << 16) | (uint32_t{rgb[1]} << 8) | rgb[2];
}

// The SGR codes of colours: 30-39 and 90-97 for the foreground, 40-49 and
// 100-107 for the background; false for any other code.
bool ApplyColour(Rendition* rendition, const uint16_t* parameter, unsigned count) {
  const unsigned decade = parameter[0] / 10;
  const unsigned unit = parameter[0] % 10;
  if (decade < 3 || (decade > 4 && decade < 9) || decade > 10 || (decade >= 9 && unit > 7))
    return false;
  // Decades 3 and 9 are the foreground's.
  uint32_t* const colour = decade % 3 == 0 ? &rendition->foreground : &rendition->background;
  *colour = kBasic | unit | (decade >= 9 ? 8u : 0u);
  if (unit == 9) *colour = 0;
  if (unit == 8) *colour = Extended(parameter, count);
  return unit != 8 || *colour != 0;
}

// One SGR code, with its parameters where it has any.
void Apply(Rendition* rendition, const uint16_t* parameter, unsigned count) {
  const unsigned code = parameter[0];
  if (code == 0) {
    *rendition = {};
    return;
  }
  if (code == 4 && count > 1) {  // 4:0 to 4:5, the underline's style
    if (parameter[1] > 5) rendition->flags |= kOther;
    rendition->flags &= static_cast<uint16_t>(~kUnderline);
    rendition->flags |= static_cast<uint16_t>((parameter[1] % 6) << kStyleShift);
    return;
  }
  if (ApplyColour(rendition, parameter, count)) return;
  for (const FlagCode& flag : kFlagCodes) {
    // cppcheck-suppress useStlAlgorithm ; there is no C++ library to call
    if (flag.code == code) {
      rendition->flags = static_cast<uint16_t>((rendition->flags & ~flag.bits) | flag.value);
      return;
    }
  }
  rendition->flags |= kOther;
}

// The SGR parameter being read goes on in the next one.
void NextParameter(Model* model) {
  if (model->count < kGroup) ++model->count;
  if (model->count < kGroup) model->group[model->count] = 0;
}

// A parameter read to its end: where it ends an SGR code, the code applies.
// 38, 48 and 58 in the semicolon form take the parameters that follow.
void EndParameter(Model* model, bool last) {
  const unsigned count = model->count + 1u;
  const uint16_t* parameter = model->group;
  if (!model->colon && !last && (parameter[0] == 38 || parameter[0] == 48 || parameter[0] == 58)) {
    unsigned wanted = 2;
    if (count >= 2 && parameter[1] == 5) wanted = 3;
    if (count >= 2 && parameter[1] == 2) wanted = 5;
    if (count < wanted) {
      NextParameter(model);
      return;
    }
  }
  Apply(&model->pending, parameter, count);
  model->count = 0;
  model->group[0] = 0;
  model->colon = false;
}

// The colours in force, from the bytes of a CSI after its opener.
void FollowColours(Model* model, uint32_t code) {
  if (code >= '0' && code <= '9' && model->count < kGroup) {
    uint16_t& value = model->group[model->count];
    value = static_cast<uint16_t>(value < 1000 ? (value * 10) + (code - '0') : 9999);
  } else if (code == ':') {
    model->colon = true;
    NextParameter(model);
  } else if (code == ';') {
    EndParameter(model, false);
  } else if (code == 'm' && model->sgr) {
    EndParameter(model, true);
    model->shown = model->pending;
  }
}

// A sequence that may change the colours some other way.
void Other(Model* model) {
  model->coloured = true;
  model->shown.flags |= kOther;
}

void OpenCsi(Model* model) {
  model->state = State::kCsi;
  model->sgr = true;
  model->zero = true;
  model->pending = model->shown;
  model->count = 0;
  model->group[0] = 0;
  model->colon = false;
}

void OpenString(Model* model, bool osc) {
  model->state = State::kString;
  model->link_state = osc ? Link::kStart : Link::kNoOsc;
}

// A control string ends, with its terminator or cut short by another
// control.  OSC 8 with a URI opens a hyperlink; with none, it closes one.
void EndString(Model* model, bool terminated) {
  if (model->link_state == Link::kUri) model->link = true;
  if (model->link_state == Link::kNoUri && terminated) model->link = false;
  model->unclosed = !terminated;
  model->state = State::kGround;
}

// OSC is the one string that BEL ends.  A hyperlink's opener goes on from
// state to state: 8, ;, its parameters up to ;, and a URI.
void FollowString(Model* model, uint32_t code) {
  const Link link = model->link_state;
  if (link == Link::kNoOsc) return;
  if (code == 0x07) {
    EndString(model, true);
  } else if (link == Link::kStart || link == Link::kEight) {
    const bool on = code == (link == Link::kStart ? '8' : ';');
    model->link_state = on ? static_cast<Link>(static_cast<uint8_t>(link) + 1) : Link::kOtherOsc;
  } else if ((link == Link::kParameters && code == ';') || link == Link::kNoUri) {
    model->link_state = static_cast<Link>(static_cast<uint8_t>(link) + 1);
  }
}

void FollowEscape(Model* model, uint32_t code) {
  if (code < 0x20) return;  // a C0 control does its work and the sequence goes on
  model->state = State::kGround;
  if (code <= 0x2F) {
    model->state = State::kIntermediate;
  } else if (code == '[') {
    OpenCsi(model);
  } else if (code == ']' || code == 'P' || code == 'X' || code == '^' || code == '_') {
    OpenString(model, code == ']');
  } else if (code == '\\') {  // ST
    model->unclosed = false;
  } else if (code == 'c') {  // the terminal reset whole
    model->shown = {};
    model->coloured = false;
    model->link = false;
    model->unclosed = false;
  } else if (code <= 0x7E) {
    Other(model);
  }
}

void FollowCsi(Model* model, uint32_t code) {
  if (colours != nullptr && model == &sent) colours(model, code);
  if (code >= '0' && code <= ';') {  // digits and separators, the most of it
    if (code >= '1' && code <= '9') model->zero = false;
    return;
  }
  if (code >= 0x20 && code <= 0x3F) model->sgr = false;  // an intermediate byte or a marker
  if (code < 0x40 || code > 0x7E) return;
  if (code == 'm' && model->sgr)
    model->coloured = !model->zero;
  else
    Other(model);
  model->state = State::kGround;
}

// Wherever they come, CAN and SUB cancel a sequence, and ESC and the C1
// controls begin one; inside a string, ESC may begin its ST.
void FollowControl(Model* model, uint32_t code) {
  if (code == 0x1B && model->state == State::kString) {
    model->state = State::kStringEscape;
    return;
  }
  if (model->state >= State::kString) EndString(model, code == 0x9C);
  if (code != 0x18 && code != 0x1A) ++model->openers;
  model->state = code == 0x1B ? State::kEscape : State::kGround;
  if (code == 0x9B) OpenCsi(model);
  if (code == 0x90 || code == 0x98 || code == 0x9D || code == 0x9E || code == 0x9F)
    OpenString(model, code == 0x9D);
}

// One character, as a terminal's parser takes it.
void Parse(Model* model, uint32_t code) {
  if (code < 0x20 ? code == 0x18 || code == 0x1A || code == 0x1B : code >= 0x80 && code <= 0x9F) {
    FollowControl(model, code);
  } else if (model->state == State::kCsi) {
    FollowCsi(model, code);
  } else if (model->state == State::kEscape) {
    FollowEscape(model, code);
  } else if (model->state == State::kIntermediate) {
    if (code >= 0x30) model->state = State::kGround;
  } else if (model->state == State::kString) {
    FollowString(model, code);
  } else if (model->state == State::kStringEscape) {
    EndString(model, code == '\\');
    if (code != '\\') {
      model->state = State::kEscape;
      FollowEscape(model, code);
    }
  }
}

// The ill-formed is shown as U+FFFD, which is text.
constexpr uint32_t kReplacement = 0xFFFD;

// A byte of UTF-8 that begins a character, or goes on with one.
void Decode(Model* model, unsigned char byte) {
  if (model->more != 0 && byte >= model->low && byte <= model->high) {
    model->low = 0x80;
    model->high = 0xBF;
    // Only C2 80 to C2 9F, U+0080 to U+009F, are C1 controls.
    if (--model->more == 0) Parse(model, model->lead == 0xC2 ? byte : kReplacement);
    return;
  }
  if (model->more != 0) Parse(model, kReplacement);  // a character cut short; the byte anew
  model->more = 0;
  if (byte >= 0xC2 && byte <= 0xF4) {
    model->more = static_cast<uint8_t>(1 + (byte >= 0xE0) + (byte >= 0xF0));
    model->lead = byte;
    // The second byte's range rules out overlong forms, surrogates and
    // what lies beyond U+10FFFF.
    model->low = byte == 0xE0 ? 0xA0 : 0x80;
    if (byte == 0xF0) model->low = 0x90;
    model->high = byte == 0xED ? 0x9F : 0xBF;
    if (byte == 0xF4) model->high = 0x8F;
    return;
  }
  // A byte that is no part of a character: one from 0x80 to 0x9F is
  // taken for the C1 control that some terminals take it for.
  Parse(model, byte < 0xA0 ? byte : kReplacement);
}

// Bytes as the terminal decodes them, in UTF-8 or one byte a character.
void Follow(Model* model, const char* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte >= 0x20 && byte < 0x7F && model->more == 0 && model->state == State::kGround)
      continue;  // text, the most of it
    if (utf8 && (byte >= 0x80 || model->more != 0))
      Decode(model, byte);
    else
      Parse(model, byte);
  }
}

char* Append(char* out, const char* text) {
  while (*text != '\0') *out++ = *text++;
  return out;
}

// A sequence's start: CSI and a reset, after which it sets what it shows.
char* AppendReset(char* out) {
  *out++ = '\x1b';
  *out++ = '[';
  *out++ = '0';
  return out;
}

char* AppendCode(char* out, unsigned code, char separator = ';') {
  *out++ = separator;
  if (code >= 100) *out++ = static_cast<char>('0' + (code / 100));
  if (code >= 10) *out++ = static_cast<char>('0' + (code / 10 % 10));
  *out++ = static_cast<char>('0' + (code % 10));
  return out;
}

// One of the 16 colours (0-7, and 8-15 bright) as its code from `base`,
// 30 or 40; the colours of a word, where intensity selects the bright set.
char* AppendBasic(char* out, unsigned colour, unsigned base) {
  return AppendCode(out, (colour < 8 ? base : base + 52) + colour);
}

unsigned AnsiColor(unsigned nibble) {
  return ((nibble & 1u) << 2) | (nibble & 2u) | ((nibble & 4u) >> 2) | (nibble & 8u);
}

// The sequence that shows a word: after a reset, foreground 7 and
// background 0 are left to the terminal's own default colours, so that
// light and dark themes both read as the plain word; no terminal draws
// bits 8, 9, 11, 12 and 13.
size_t WordSequence(uint16_t word, char* out) {
  char* end = AppendReset(out);
  if ((word & 0xFu) != 7) end = AppendBasic(end, AnsiColor(word & 0xFu), 30);
  if ((word & 0xF0u) != 0) end = AppendBasic(end, AnsiColor((word >> 4) & 0xFu), 40);
  if ((word & 0x4000u) != 0) end = AppendCode(end, 7);   // reverse video
  if ((word & 0x8000u) != 0) end = AppendCode(end, 4);   // underscore
  if ((word & 0x0400u) != 0) end = AppendCode(end, 53);  // top grid line: overline
  *end++ = 'm';
  return static_cast<size_t>(end - out);
}

char* AppendColour(char* out, uint32_t colour, unsigned base) {
  const uint32_t value = colour & ~kKind;
  if ((colour & kKind) == kBasic) return AppendBasic(out, value, base);
  if (colour == 0) return out;
  out = AppendCode(out, base + 8);
  if ((colour & kKind) == kIndexed) return AppendCode(AppendCode(out, 5), value);
  out = AppendCode(AppendCode(AppendCode(out, 2), value >> 16), (value >> 8) & 0xFFu);
  return AppendCode(out, value & 0xFFu);
}

// Appends a piece of a closing, followed on the model.
char* Close(Model* model, char* out, const char* piece) {
  char* const end = Append(out, piece);
  Follow(model, out, static_cast<size_t>(end - out));
  return end;
}

// What closes whatever the model shows open: CAN for a sequence cut short,
// ST for a string, an OSC 8 without a URI for a hyperlink (which the ST may
// have opened), then a reset where asked.
size_t ClosingOf(Model model, char* out, bool reset) {
  char* end = out;
  if (model.state >= State::kEscape && model.state <= State::kCsi) end = Close(&model, end, "\x18");
  if (model.state >= State::kString || model.unclosed) end = Close(&model, end, "\x1b\\");
  if (model.link) end = Close(&model, end, "\x1b]8;;\x1b\\");
  if (reset && model.coloured) end = Close(&model, end, "\x1b[0m");
  return static_cast<size_t>(end - out);
}

}  // namespace

void TakeUtf8(bool takes) { utf8 = takes; }

void TrackColours() { colours = FollowColours; }

void ChooseSgr(uint16_t attribute) { chosen = attribute & 0xC4FFu; }

void ShowChosen() {
  // A sequence that changes nothing on the screen is left out, so that a
  // call that shows nothing new writes nothing and leaves alone a colour
  // that the script set before it.
  if (put.openers == ours && chosen == shown) return;
  char sequence[kMostReplay];
  const size_t count = WordSequence(chosen, sequence);
  // What is put follows its sequences, strings and hyperlinks, not its
  // colours, and to that a bare reset comes to the same.
  Follow(&put, "\x1b[0m", 4);
  Put(sequence, count);
  shown = chosen;
  ours = put.openers;
}

void PutShown(const char* bytes, size_t count) {
  Follow(&put, bytes, count);
  Put(bytes, count);
}

void PutEnd() {
  char closing[kMostClosing];
  const size_t count = ClosingOf(put, closing, false);
  PutShown(closing, count);
  ShowChosen();
}

bool HoldsSequences() { return put.openers != 0; }

void Went(const char* bytes, size_t count) { Follow(&sent, bytes, count); }

bool InPiece() { return sent.more != 0 || sent.state != State::kGround; }

size_t Closing(char* out) { return ClosingOf(sent, out, true); }

size_t Replay(char* out) {
  const Rendition& in_force = sent.shown;
  if (!sent.coloured ||
      (in_force.foreground == 0 && in_force.background == 0 && (in_force.flags & ~kOther) == 0))
    return 0;
  char* end = AppendReset(out);
  end = AppendColour(end, in_force.foreground, 30);
  end = AppendColour(end, in_force.background, 40);
  for (const FlagCode& flag : kFlagCodes)
    if (flag.value != 0 && (in_force.flags & flag.bits) == flag.value)
      // cppcheck-suppress useStlAlgorithm ; there is no C++ library to call
      end = AppendCode(end, flag.code);
  const unsigned style = (in_force.flags & kUnderline) >> kStyleShift;
  if (style > 2) end = AppendCode(AppendCode(end, 4), style, ':');
  *end++ = 'm';
  return static_cast<size_t>(end - out);
}
