// tinty: write one piece of text in a chosen console colour, then give the
// console back the colour it found.  The command-line driver and the colour
// chart; every colour change goes through SetColor.
#include <stdint.h>
#include <string.h>

#include "color_console.h"

namespace {

// The four usage lines, each with its newline.  A line ends in \r before
// it, and the chart's row end is a lone \r, because Windows writes text
// mode: the newline after each leaves as CR LF, so each line ends CR CR LF
// there and CR LF on POSIX.  Scripts that capture the help screen see
// exactly those bytes.
constexpr const char* kUsage =
    "tinty background-color(0-16) foreground-color(0-16) \"string\"\r\n"
    "tinty 1 12 \"Hello\"\r\n\r\n"
    "tinty background-foreground-color(00-FF) \"string\"\r\n"
    "tinty 0E \"Hello\"\r\n\r\n";

// The value of an alphanumeric character as a digit, 36 for anything else.
unsigned DigitValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'z') return static_cast<unsigned>(c - 'a') + 10;
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned>(c - 'A') + 10;
  return 36;
}

// A number as msvcrt.dll reads it: atol in base 10, strtoul in base 16.
// The Windows release defines the words that scripts rely on, so every
// build reads numbers its way rather than with the C library's own, whose
// long has 64 bits on 64-bit POSIX systems.
//
// Leading white space is skipped; an optional sign, and in base 16 an
// optional 0x or 0X, is taken; digits are read up to the first character
// that is not one, and no digits read as 0.  Beyond 32 bits, atol wraps
// modulo 2^32 and strtoul saturates to 0xFFFFFFFF; then a minus sign
// negates modulo 2^32, so "-100000000" in base 16 gives 1.
uint32_t ReadNumber(const char* text, unsigned base) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  if (base == 16 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text += 2;
  uint32_t value = 0;
  for (unsigned digit; (digit = DigitValue(*text)) < base; ++text) {
    if (base == 16 && value > 0x0FFFFFFFu) {
      value = 0xFFFFFFFFu;
      break;
    }
    value = (value * base) + digit;
  }
  return negative ? 0u - value : value;
}

uint16_t Low16(uint32_t word) { return static_cast<uint16_t>(word & 0xFFFFu); }

// A line and one newline, as puts writes it.
void WriteLine(const char* line) {
  WriteText(line);
  WriteText("\n");
}

// One upper-case hexadecimal digit after `lead`, a blank or nothing: a
// chart label or cell, in one piece.
void WriteDigit(char lead, unsigned value) {
  const char digit = static_cast<char>(value < 10 ? '0' + value : 'A' + value - 10);
  const char text[] = {lead, digit, '\0'};
  WriteText(lead != '\0' ? text : text + 1);
}

// The 16 x 16 chart: a row for each background, a cell for each foreground.
void Preview() {
  for (unsigned row = 0; row < 16; ++row) {
    SetColor(kPlainAttribute);
    WriteDigit('\0', row);
    for (unsigned column = 0; column < 16; ++column) {
      SetColor(static_cast<uint16_t>((row * 16) + column));
      WriteDigit(' ', column);
    }
    // A line feed that scrolls fills the new line with the colour in force,
    // on terminals and in the Windows console alike: end rows in the plain one.
    SetColor(kPlainAttribute);
    WriteLine("\r");
  }
}

}  // namespace

// Nothing is reported: a failed write or colour change leaves the run as it
// is, and the status is 0 whatever happens, so that a script never stops
// over its decoration.
int main(int argc, char** argv) {
  PrepareOutput();
  ReadArguments(&argc, &argv);
  const uint16_t saved = GetColor();

  if (argc == 3) {  // tinty ATTRIBUTE TEXT
    SetColor(Low16(ReadNumber(argv[1], 16)));
    WriteText(argv[2]);
  } else if (argc >= 4) {  // tinty BACKGROUND FOREGROUND TEXT [ignored...]
    SetColor(Low16((ReadNumber(argv[1], 10) * 16u) + ReadNumber(argv[2], 10)));
    WriteText(argv[3]);
  }

  // "-p" is matched exactly, its end included, not parsed as an option:
  // any other first argument is a number or the silent lone argument.  An
  // empty argument vector (argc 0) counts as a call without arguments.
  if (argc < 2 || (argv[1][0] == '-' && argv[1][1] == 'p' && argv[1][2] == '\0')) {
    SetColor(kPlainAttribute);
    WriteText(kUsage);
    Preview();
  }

  SetColor(saved);
  FinishOutput();
  return 0;
}
