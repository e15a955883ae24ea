// Test harness: tinty's own main, handed a narrow argument vector that splits
// differently from the wide command line.  On Windows the narrow vector comes
// from the ANSI command line: a character outside the code page turns into a
// ?, which the wildcard expansion can match against several file names, or
// into a look-alike such as a quote, which splits the line anew.  Wine builds
// the narrow vector from the wide one, so here the split is forged: with
// TINTY_SPLIT=more each argument that holds a ? or a byte beyond ASCII
// stands twice, with TINTY_SPLIT=fewer it is left out.
#include <stdlib.h>
#include <string.h>

#define main TintyMain
#include "../src/color_console.cpp"  // NOLINT(bugprone-suspicious-include): main, renamed
#undef main

namespace {

bool Split(const char* text) {
  for (; *text != '\0'; ++text)
    if (*text == '?' || (static_cast<unsigned char>(*text) & 0x80u) != 0) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const char* split = getenv("TINTY_SPLIT");
  const int copies = split != nullptr && strcmp(split, "fewer") == 0 ? 0 : 2;
  static char* narrow[256];
  int count = 0;
  for (int i = 0; i < argc && count + 2 < 256; ++i) {
    const int times = Split(argv[i]) ? copies : 1;
    for (int k = 0; k < times; ++k) narrow[count++] = argv[i];
  }
  narrow[count] = nullptr;
  return TintyMain(count, narrow);
}
