// tinty: write one piece of text in a chosen console colour, then give the
// console back the colour it had.
//
// The attribute word is the Windows console's character attribute: bits 0-3
// the foreground, bits 4-7 the background (blue, green, red, intensity from
// the low bit up), bits 8-15 further display flags.  It is passed whole.
#ifndef TINTY_COLOR_CONSOLE_H
#define TINTY_COLOR_CONSOLE_H

#include <cstdint>

// Console colour access, one implementation per platform.  Every call looks
// the standard output handle up anew; nothing is kept between calls.

// Readies standard output for the run (before anything is read or written).
void PrepareOutput();
// The attribute in force for standard output, or 7 where it cannot be read.
std::uint16_t GetColor();
// Sets the attribute for text written to standard output from now on; all 16
// bits are passed on, and a failure is ignored.
void SetColor(std::uint16_t attribute);

// The 16 x 16 chart of every background and foreground combination.
void Preview();

#endif
