// Console colour access on Windows.  A console window takes the attribute
// through the console API and the text as UTF-16, so any character shows as
// typed.  The pty pipes of MSYS2 and Cygwin terminals (Git Bash's among them)
// take SGR escape sequences and UTF-8, as a POSIX terminal does.  Files and
// other pipes get the text in the ANSI code page, as the runtime writes it,
// with no colour.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "color_console.h"
#include "sgr.h"

// The runtime expands wildcards in the command line, in the narrow vector
// and in the wide one, so `tinty 1C *.txt` sees the matching file names.
extern "C" {
int _dowildcard = -1;

// msvcrt's wide start-up, declared by no public header: the name is the runtime's.
__declspec(dllimport) int __cdecl __wgetmainargs(  // NOLINT(bugprone-reserved-identifier)
    int* argc, wchar_t*** argv, wchar_t*** env, int expand_wildcards, int* new_mode);
}

namespace {

// The console host refuses a word with bit 13 set (the bit means nothing to
// it) and keeps the old colour; every other bit is passed on.
constexpr uint16_t kConsoleBits = 0xDFFF;

enum class Output : uint8_t { kConsole, kPtyPipe, kOther };

// Vista and later; looked up at run time so that the exe loads on older
// systems, where no MSYS2 or Cygwin terminal is recognised.
using FileInfoFunction = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);

FileInfoFunction FileInfoByHandle() {
  const FARPROC found =
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetFileInformationByHandleEx");
  return reinterpret_cast<FileInfoFunction>(reinterpret_cast<void (*)()>(found));
}

bool Skip(const wchar_t** text, const wchar_t* prefix) {
  const size_t length = wcslen(prefix);
  if (wcsncmp(*text, prefix, length) != 0) return false;
  *text += length;
  return true;
}

// Skips at least `least` and at most `most` characters that pass `test`.
bool SkipRun(const wchar_t** text, int (*test)(wint_t), int least, int most) {
  int count = 0;
  while (count < most && **text != L'\0' && test(**text) != 0) ++*text, ++count;
  return count >= least;
}

// \msys-<16 hex digits>-pty<N>-to-master, or the same with cygwin.  Since
// 2021 the runtimes give native programs the one that ends in -nat (so
// today's Git Bash does), and Cygwin's own programs the one without.
bool IsPtyPipeName(const wchar_t* name) {
  return (Skip(&name, L"\\msys-") || Skip(&name, L"\\cygwin-")) &&
         SkipRun(&name, iswxdigit, 16, 16) && Skip(&name, L"-pty") &&
         SkipRun(&name, iswdigit, 1, 9) && Skip(&name, L"-to-master") &&
         (*name == L'\0' || (Skip(&name, L"-nat") && *name == L'\0'));
}

Output Classify(HANDLE output) {
  DWORD mode = 0;
  if (GetConsoleMode(output, &mode) != 0) return Output::kConsole;
  if (GetFileType(output) != FILE_TYPE_PIPE) return Output::kOther;
  const FileInfoFunction file_info = FileInfoByHandle();
  struct {
    FILE_NAME_INFO info;
    wchar_t room[MAX_PATH];  // cppcheck-suppress unusedStructMember ; the name runs on here
  } name{};
  if (file_info == nullptr ||
      file_info(output, FileNameInfo, &name, sizeof name - sizeof(wchar_t)) == 0)
    return Output::kOther;
  name.info.FileName[name.info.FileNameLength / sizeof(wchar_t)] = L'\0';
  return IsPtyPipeName(name.info.FileName) ? Output::kPtyPipe : Output::kOther;
}

// `text` in UTF-16 from a code page, and back, in memory of its own; null
// where it does not convert.
wchar_t* Widen(const char* text, UINT code_page) {
  const int length = MultiByteToWideChar(code_page, 0, text, -1, nullptr, 0);
  auto* wide = static_cast<wchar_t*>(malloc(sizeof(wchar_t) * static_cast<size_t>(length)));
  if (length == 0 || wide == nullptr ||
      MultiByteToWideChar(code_page, 0, text, -1, wide, length) == 0) {
    free(wide);
    return nullptr;
  }
  return wide;
}

char* Narrow(const wchar_t* text, UINT code_page) {
  if (text == nullptr) return nullptr;
  const int size = WideCharToMultiByte(code_page, 0, text, -1, nullptr, 0, nullptr, nullptr);
  auto* bytes = static_cast<char*>(malloc(static_cast<size_t>(size)));
  if (size == 0 || bytes == nullptr ||
      WideCharToMultiByte(code_page, 0, text, -1, bytes, size, nullptr, nullptr) == 0) {
    free(bytes);
    return nullptr;
  }
  return bytes;
}

// Long texts are written in pieces of up to kPiece characters, and one
// more where the piece would end in the middle of a surrogate pair.
constexpr int kPiece = 500;

int PieceLength(const wchar_t* text) {
  int length = 0;
  while (length < kPiece && text[length] != L'\0') ++length;
  return IS_LOW_SURROGATE(text[length]) ? length + 1 : length;
}

// Each line feed goes out after a carriage return, as text mode writes it.
void WriteConsoleText(HANDLE output, const wchar_t* text) {
  wchar_t piece[2 * (kPiece + 1)];
  for (int length; (length = PieceLength(text)) != 0; text += length) {
    DWORD used = 0;
    for (int i = 0; i < length; ++i) {
      if (text[i] == L'\n') piece[used++] = L'\r';
      piece[used++] = text[i];
    }
    DWORD written = 0;
    WriteConsoleW(output, piece, used, &written, nullptr);
  }
}

}  // namespace

void PrepareOutput() {
  // The runtime leaves standard output in text mode: LF leaves as CR LF.
}

// The narrow vector is built from the ANSI command line, where a character
// outside the code page is already a ? (or a look-alike), and the runtime
// then expands that ? against file names: it can split into more or fewer
// arguments than the user typed.  The wide vector, expanded alike, holds
// what was typed; it is taken whole, as UTF-8.  Only where the runtime has
// no memory for it does the narrow vector stay.
void ReadArguments(int* argc, char*** argv) {
  int count = 0;
  wchar_t** wide = nullptr;
  wchar_t** env = nullptr;
  int new_mode = 0;
  if (__wgetmainargs(&count, &wide, &env, _dowildcard, &new_mode) != 0 || wide == nullptr) return;
  auto** utf8 = static_cast<char**>(malloc(sizeof(char*) * (static_cast<size_t>(count) + 1)));
  if (utf8 == nullptr) return;
  static char empty[1];
  for (int i = 0; i < count; ++i) {
    char* text = Narrow(wide[i], CP_UTF8);
    utf8[i] = text != nullptr ? text : empty;
  }
  utf8[count] = nullptr;
  *argc = count;
  *argv = utf8;
}

uint16_t GetColor() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) == 0)
    return kPlainAttribute;
  return info.wAttributes;
}

void SetColor(uint16_t attribute) {
  // Text written so far must reach the console in the attribute it was
  // written in, whatever the runtime's buffering.
  fflush(stdout);
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (SetConsoleTextAttribute(output, attribute & kConsoleBits) == 0 &&
      Classify(output) == Output::kPtyPipe)
    WriteSgr(attribute);
}

void WriteArgument(const char* text) {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  const Output kind = Classify(output);
  if (kind == Output::kPtyPipe) {
    printf("%s", text);
    return;
  }
  wchar_t* wide = Widen(text, CP_UTF8);
  if (kind == Output::kConsole) {
    fflush(stdout);
    if (wide != nullptr) WriteConsoleText(output, wide);
  } else {
    char* ansi = Narrow(wide, CP_ACP);
    printf("%s", ansi != nullptr ? ansi : text);
    free(ansi);
  }
  free(wide);
}
