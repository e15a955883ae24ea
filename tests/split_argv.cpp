// Test harness: tinty's own main, handed a narrow argument vector that splits
// differently from the wide command line.  On Windows the narrow vector comes
// from the ANSI command line: a character outside the code page turns into a
// ?, which the wildcard expansion can match against several file names, or
// into a look-alike such as a quote, which splits the line anew.  Wine builds
// the narrow vector from the wide one, so here the split is forged: with
// TINTY_SPLIT=more each argument that holds a ? or a byte beyond ASCII
// stands twice, with TINTY_SPLIT=fewer it is left out.
// When main returns, every heap of the process is checked, block tails
// included: a write past a block fails the run with status 98.
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#define main TintyMain
#include "../src/color_console.cpp"  // NOLINT(bugprone-suspicious-include): main, renamed
#undef main

namespace {

bool Split(const char* text) {
  for (; *text != '\0'; ++text)
    if (*text == '?' || (static_cast<unsigned char>(*text) & 0x80u) != 0) return true;
  return false;
}

// Whether every block of every heap of the process is intact.  With tail
// checking on, the heap fills the bytes past each block and checks them here.
bool HeapsIntact() {
  HANDLE heaps[64];
  const DWORD count = GetProcessHeaps(64, heaps);
  for (DWORD i = 0; i < count && i < 64; ++i)
    if (HeapValidate(heaps[i], 0, nullptr) == 0) return false;
  return count != 0 && count <= 64;
}

// Whether this process checks block tails at all: the byte past a block of
// the runtime's heap is changed for a moment, and must show.
bool TailsChecked() {
  auto* block = static_cast<char*>(malloc(24));
  if (block == nullptr) return false;
  // The runtime hands out its heap as an integer.
  // NOLINTNEXTLINE(performance-no-int-to-ptr)
  auto* const heap = reinterpret_cast<HANDLE>(_get_heap_handle());
  const SIZE_T size = HeapSize(heap, 0, block);
  block[size] ^= 0x5A;
  const bool seen = !HeapsIntact();
  block[size] ^= 0x5A;
  free(block);
  return seen;
}

// Why the heaps are not to be trusted after main, or null.  The tests turn
// tail checking on for this program (GlobalFlag 0x10 in its Image File
// Execution Options key, as gflags /i split_argv.exe +htc does).
const char* HeapFault() {
  if (!HeapsIntact()) return "a heap block was written past its end";
  if (!TailsChecked()) return "tail checking is off: an overrun could not show";
  return nullptr;
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
  const int status = TintyMain(count, narrow);
  const char* fault = HeapFault();
  if (fault == nullptr) return status;
  fprintf(stderr, "split_argv: %s\n", fault);
  return 98;
}
