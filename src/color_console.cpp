// The command-line driver and the colour chart.  Platform-free: every colour
// change goes through SetColor, every piece of text through standard output.
#include "color_console.h"

#include <cstdio>
#include <cstring>

namespace {

// The colour of the help screen, and the stand-in for an unreadable console.
constexpr std::uint16_t kPlain = 7;

// Larger than any 32-bit magnitude: the mark of a number that overflowed.
constexpr std::uint64_t kOverflow = 0x100000000u;

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

// Reads a number the way the C library's conversions do: leading white space,
// an optional sign, in base 16 an optional 0x or 0X, then digits up to the
// first character that is not one.  No digits read as 0.  Returns the
// magnitude, or kOverflow where it does not fit in 32 bits.
std::uint64_t ReadMagnitude(const char* text, unsigned base, bool* negative) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  *negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  if (base == 16 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
      DigitValue(text[2]) < 16) {
    text += 2;
  }
  std::uint64_t magnitude = 0;
  for (unsigned digit; (digit = DigitValue(*text)) < base; ++text) {
    magnitude = magnitude * base + digit;
    if (magnitude >= kOverflow) return kOverflow;
  }
  return magnitude;
}

// The hexadecimal attribute, as a 32-bit strtoul(text, nullptr, 16) gives it:
// too large saturates to 0xFFFFFFFF, a minus sign negates modulo 2^32.
std::uint32_t ParseHex(const char* text) {
  bool negative = false;
  const std::uint64_t magnitude = ReadMagnitude(text, 16, &negative);
  if (magnitude == kOverflow) return 0xFFFFFFFFu;
  const auto value = static_cast<std::uint32_t>(magnitude);
  return negative ? 0u - value : value;
}

// A decimal colour number, as a 32-bit strtol(text, nullptr, 10) gives it
// (saturating to the range of a 32-bit long), as an unsigned 32-bit word.
std::uint32_t ParseDecimal(const char* text) {
  bool negative = false;
  const std::uint64_t magnitude = ReadMagnitude(text, 10, &negative);
  if (negative) {
    return 0u - static_cast<std::uint32_t>(magnitude < 0x80000000u ? magnitude : 0x80000000u);
  }
  return static_cast<std::uint32_t>(magnitude < 0x7FFFFFFFu ? magnitude : 0x7FFFFFFFu);
}

std::uint16_t Low16(std::uint32_t word) { return static_cast<std::uint16_t>(word & 0xFFFFu); }

}  // namespace

void Preview() {
  for (unsigned row = 0; row < 16; ++row) {
    SetColor(kPlain);
    std::printf("%X", row);
    for (unsigned column = 0; column < 16; ++column) {
      SetColor(static_cast<std::uint16_t>(row * 16 + column));
      std::printf(" %X", column);
    }
    std::puts("\r");
  }
}

int main(int argc, char** argv) {
  PrepareOutput();
  const std::uint16_t saved = GetColor();

  if (argc == 3) {  // tinty ATTRIBUTE TEXT
    SetColor(Low16(ParseHex(argv[1])));
    std::printf("%s", argv[2]);
  } else if (argc >= 4) {  // tinty BACKGROUND FOREGROUND TEXT [ignored...]
    SetColor(Low16(ParseDecimal(argv[1]) * 16u + ParseDecimal(argv[2])));
    std::printf("%s", argv[3]);
  }

  // An empty argument vector (argc 0) counts as a call without arguments.
  if (argc < 2 || std::strcmp(argv[1], "-p") == 0) {
    SetColor(kPlain);
    for (const char* line : kUsage) std::puts(line);
    Preview();
  }

  SetColor(saved);
  return 0;
}
