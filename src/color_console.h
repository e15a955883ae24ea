// The seam between the platform-free driver and the console of one platform.
//
// An attribute word is the Windows console's character attribute: bits 0-3
// the foreground, bits 4-7 the background (blue, green, red, intensity from
// the low bit up), bits 8-15 further display flags.  It is passed whole.
// A Windows console takes the word through the console API, standard output
// looked up anew for every call.  A terminal (a POSIX one, or the pty pipe
// of an MSYS2 or Cygwin terminal) takes it in the output itself, as escape
// sequences, which the layer holds back with the text and sends in as few
// writes as it can; the kinds of opener that went out decide what closes
// them when a signal or a control event cuts the call short.
#ifndef TINTY_COLOR_CONSOLE_H
#define TINTY_COLOR_CONSOLE_H

#include <stdint.h>

// Light grey on black: the colour of the help screen, and the one assumed
// where the console's own cannot be read.
constexpr uint16_t kPlainAttribute = 7;

// Readies standard output for the run, before anything is read or written.
void PrepareOutput();
// Replaces the argument vector with the arguments as the user typed them,
// from which the form, the numbers and the text are all taken.
void ReadArguments(int* argc, char*** argv);
// The attribute in force for standard output, or kPlainAttribute.
uint16_t GetColor();
// Sets the attribute for text written to standard output from now on; every
// bit the output takes is passed on, and a failure is ignored.
void SetColor(uint16_t attribute);
// Writes text as it stands, in the attribute set last: no line end added,
// no per cent sign interpreted.
void WriteText(const char* text);
// Sends what is still held back, the colour set last included: the end of
// the run's output.
void FinishOutput();

#endif
