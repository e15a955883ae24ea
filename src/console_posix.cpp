// Console colour access on POSIX terminals.  A terminal's colours cannot be
// read back, so GetColor gives the plain word.  SetColor writes an SGR escape
// sequence into the standard output stream itself, so colour and text stay
// in order; on anything but a terminal it writes nothing, and the output is
// the bare text.
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include "color_console.h"
#include "sgr.h"

void PrepareOutput() {
  // A reader that goes away must not end the run: writes then fail quietly.
  signal(SIGPIPE, SIG_IGN);
  // Fully buffered, and large enough for the help screen with all its colour
  // changes: a call leaves in one write(2), terminal or not.
  static char buffer[16384];
  setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}

// The arguments are the bytes the shell passed.
void ReadArguments(int* /*argc*/, char*** /*argv*/) {}

uint16_t GetColor() { return kPlainAttribute; }

void SetColor(uint16_t attribute) {
  if (isatty(STDOUT_FILENO) != 0) WriteSgr(attribute);
}

void WriteArgument(const char* text) { printf("%s", text); }
