// Console colour access through the Windows console API.
#include <windows.h>

#include <cstdio>

#include "color_console.h"

// The runtime start-up expands wildcards in the command line before main
// runs, so `tinty 1C *.txt` sees the matching file names.
extern "C" {
int _dowildcard = -1;
}

void PrepareOutput() {
  // The runtime leaves standard output in text mode: LF leaves as CR LF.
}

std::uint16_t GetColor() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) == 0) return 7;
  return info.wAttributes;
}

void SetColor(std::uint16_t attribute) {
  // Text written so far must reach the console in the attribute it was
  // written in, whatever the runtime's buffering.
  std::fflush(stdout);
  SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), attribute);
}
