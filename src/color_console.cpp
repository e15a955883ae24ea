// tinty: write one piece of text in a chosen console colour, then give the
// console back the colour it found.  The command-line driver and the colour
// chart; every colour change goes through SetColor.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "color_console.h"

namespace {

// Larger than any 32-bit magnitude: the mark of a number that overflowed.
constexpr uint64_t kOverflow = 0x100000000u;

// The literals end in \r, and the chart's row end is a lone \r, because the
// Windows runtime writes text mode: puts's newline leaves as CR LF, so each
// line ends CR CR LF there and CR LF on POSIX.  Scripts that capture the
// help screen see exactly those bytes.
constexpr const char* kUsage[] = {
    "tinty background-color(0-16) foreground-color(0-16) \"string\"\r",
    "tinty 1 12 \"Hello\"\r\n\r",
    "tinty background-foreground-color(00-FF) \"string\"\r",
    "tinty 0E \"Hello\"\r\n\r",
};

// The value of an alphanumeric character as a digit, 36 for anything else.
unsigned DigitValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'z') return static_cast<unsigned>(c - 'a') + 10;
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned>(c - 'A') + 10;
  return 36;
}

// The numbers are read here rather than with strtoul and strtol because a
// long is 32 bits on Windows and 64 on 64-bit POSIX systems: a word must
// saturate and wrap the same on every platform, as the 32-bit release does.
//
// Reads leading white space, an optional sign, in base 16 an optional 0x or
// 0X, then digits up to the first character that is not one; no digits read
// as 0.  Returns the magnitude, or kOverflow where it does not fit 32 bits.
uint64_t ReadMagnitude(const char* text, unsigned base, bool* negative) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  *negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  if (base == 16 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
      DigitValue(text[2]) < 16) {
    text += 2;
  }
  uint64_t magnitude = 0;
  for (unsigned digit; (digit = DigitValue(*text)) < base; ++text) {
    magnitude = magnitude * base + digit;
    if (magnitude >= kOverflow) return kOverflow;
  }
  return magnitude;
}

// The hexadecimal attribute, as a 32-bit strtoul(text, nullptr, 16) gives it:
// too large saturates to 0xFFFFFFFF, a minus sign negates modulo 2^32.
uint32_t ParseHex(const char* text) {
  bool negative = false;
  const uint64_t magnitude = ReadMagnitude(text, 16, &negative);
  if (magnitude == kOverflow) return 0xFFFFFFFFu;
  const auto value = static_cast<uint32_t>(magnitude);
  return negative ? 0u - value : value;
}

// A decimal colour number, as a 32-bit strtol(text, nullptr, 10) gives it
// (saturating to the range of a 32-bit long), as an unsigned 32-bit word.
uint32_t ParseDecimal(const char* text) {
  bool negative = false;
  const uint64_t magnitude = ReadMagnitude(text, 10, &negative);
  if (negative)
    return 0u - static_cast<uint32_t>(magnitude < 0x80000000u ? magnitude : 0x80000000u);
  return static_cast<uint32_t>(magnitude < 0x7FFFFFFFu ? magnitude : 0x7FFFFFFFu);
}

uint16_t Low16(uint32_t word) { return static_cast<uint16_t>(word & 0xFFFFu); }

// The 16 x 16 chart: a row for each background, a cell for each foreground.
void Preview() {
  for (unsigned row = 0; row < 16; ++row) {
    SetColor(kPlainAttribute);
    printf("%X", row);
    for (unsigned column = 0; column < 16; ++column) {
      SetColor(static_cast<uint16_t>(row * 16 + column));
      printf(" %X", column);
    }
    // A line feed that scrolls fills the new line with the colour in force,
    // on terminals and in the Windows console alike: end rows in the plain one.
    SetColor(kPlainAttribute);
    puts("\r");
  }
}

}  // namespace

// Nothing is reported: a failed write or colour change leaves the run as it
// is, and the status is 0 whatever happens, so that a script never stops
// over its decoration.
int main(int argc, char** argv) {
  PrepareOutput();
  const uint16_t saved = GetColor();

  if (argc == 3) {  // tinty ATTRIBUTE TEXT
    SetColor(Low16(ParseHex(argv[1])));
    WriteArgument(argv, 2);
  } else if (argc >= 4) {  // tinty BACKGROUND FOREGROUND TEXT [ignored...]
    SetColor(Low16(ParseDecimal(argv[1]) * 16u + ParseDecimal(argv[2])));
    WriteArgument(argv, 3);
  }

  // "-p" is matched exactly, not parsed as an option: any other first
  // argument is a number or the silent lone argument.  An empty argument
  // vector (argc 0) counts as a call without arguments.
  if (argc < 2 || strcmp(argv[1], "-p") == 0) {
    SetColor(kPlainAttribute);
    for (const char* line : kUsage) puts(line);
    Preview();
  }

  SetColor(saved);
  return 0;
}
