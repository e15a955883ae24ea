// Console colour access on Windows.  A console window takes the attribute
// through the console API and the text as UTF-16, so any character shows as
// typed.  The pty pipes of MSYS2 and Cygwin terminals (Git Bash's among
// them) take SGR escape sequences and UTF-8, as a POSIX terminal does; files
// and other pipes, the text in the ANSI code page.  Both are held back, and
// written in text mode as the runtime writes it: each LF as CR LF.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "color_console.h"
#include "output.h"
#include "terminal.h"

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

// What follows `pattern` at the start of a pipe's name (# a hex digit, * one
// to nine decimal ones), or null; ASCII alone, as pipe names have it.
const wchar_t* Match(const wchar_t* name, const char* pattern) {
  for (; *pattern != '\0'; ++pattern) {
    const wchar_t* const at = name;
    const wchar_t letter = *name | 0x20;
    const bool digit = *name >= L'0' && *name <= L'9';
    if (*pattern == '*') {
      while (name - at < 9 && *name >= L'0' && *name <= L'9') ++name;
    } else if (*pattern == '#' ? digit || (letter >= L'a' && letter <= L'f')
                               : *name == static_cast<wchar_t>(*pattern)) {
      ++name;
    }
    if (name == at) return nullptr;
  }
  return name;
}

// \msys-<16 hex digits>-pty<N>-to-master, or the same with cygwin.  Since
// 2021 the runtimes give native programs the one that ends in -nat (so
// today's Git Bash does), and Cygwin's own programs the one without.
bool IsPtyPipeName(const wchar_t* name) {
  const wchar_t* rest = Match(name, "\\msys");
  if (rest == nullptr) rest = Match(name, "\\cygwin");
  if (rest != nullptr) rest = Match(rest, "-################-pty*-to-master");
  if (rest != nullptr && *rest != L'\0') rest = Match(rest, "-nat");
  return rest != nullptr && *rest == L'\0';
}

// GetFileInformationByHandleEx is Vista's and later, looked up at run time
// so that the exe loads on older systems, which know no such terminals.
using FileInfoFunction = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);

Output Classify(HANDLE output) {
  DWORD mode = 0;
  if (GetConsoleMode(output, &mode) != 0) return Output::kConsole;
  if (GetFileType(output) != FILE_TYPE_PIPE) return Output::kOther;
  const auto file_info = reinterpret_cast<FileInfoFunction>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleA("kernel32"), "GetFileInformationByHandleEx")));
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

// The handle is fetched anew for every call; what it is stays known for as
// long as it is the same.
Output Kind(HANDLE output) {
  static HANDLE known = INVALID_HANDLE_VALUE;
  static Output kind = Output::kOther;
  if (output != known) kind = Classify(output);
  known = output;
  return kind;
}

uint16_t saved = kPlainAttribute;  // found at start, given back by a control event

// Who shows something on the console or its pty pipe.  The main thread is
// busy while it sets the console's colour or writes to either; a control
// event's handler says the call has ended, waits for a busy main thread, and
// then alone shows what it sends: the main thread, finding the call ended,
// shows nothing more.  Each says its part with an interlocked exchange, a
// full barrier, before it reads the other's, so one of them sees the other.
volatile LONG busy = 0;
volatile LONG ended = 0;

void Take() {
  InterlockedExchange(&busy, 1);
  if (ended == 0) return;
  InterlockedExchange(&busy, 0);
  for (;;) Sleep(INFINITE);
}

void Give() { InterlockedExchange(&busy, 0); }

// A pipe in no-wait mode returns from WriteFile at once (CreateNamedPipe's
// PIPE_NOWAIT); only blocking mode waits until all data is written
// (FILE_PIPE_INFORMATION's completion modes).  So the rest is written again,
// a moment later where it took nothing, while the reader is there; held,
// while the main thread is busy with it.
void WriteAll(const char* bytes, size_t count, bool held) {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  for (DWORD written = 0; count != 0; bytes += written, count -= written) {
    if (held) Take();
    const BOOL wrote = WriteFile(output, bytes, static_cast<DWORD>(count), &written, nullptr);
    if (held) Give();
    if (wrote == 0) return;
    if (written == 0) Sleep(1);
  }
}

char closing[kMostClosing];  // the handler's, its count until it is sent
volatile size_t closing_count = 0;

DWORD WINAPI SendClosing(LPVOID /*unused*/) {
  WriteAll(closing, closing_count, false);
  closing_count = 0;
  return 0;
}

// Ctrl-C, Ctrl-Break and closing the window.  The handler runs on a thread
// of its own, and returning FALSE passes the event on to the default
// handler, which calls ExitProcess; on closing the window the process ends
// once a handler returns or a time-out passes (the documentation of
// HandlerRoutine and of Console Control Handlers).  So the console is taken
// from the main thread, and given back the colour found, past a write that a
// paused console holds too; a pty pipe gets the closing of every kind of
// opener that went out, for about a second, in steps of 10 ms (Sleep may
// take its tick of 15.6 ms), on a thread that ExitProcess ends.  A later
// event is handled by the first, whose return ends the process.
BOOL WINAPI Ended(DWORD /*event*/) {
  if (InterlockedExchange(&ended, 1) != 0) return TRUE;
  int steps = 100;
  while (busy != 0 && steps-- > 0) Sleep(10);
  if (SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), saved & kConsoleBits) != 0 ||
      busy != 0)
    return FALSE;
  closing_count = Closing(Handed(), closing);
  if (closing_count != 0 && CreateThread(nullptr, 0, SendClosing, nullptr, 0, nullptr) != nullptr)
    while (closing_count != 0 && steps-- > 0) Sleep(10);
  return FALSE;
}

// From the first colour change: a run that changes nothing gives nothing back.
void CatchEndings() {
  static bool caught = false;
  if (!caught) SetConsoleCtrlHandler(Ended, TRUE);
  caught = true;
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
    Take();
    WriteConsoleW(output, piece, used, &written, nullptr);
    Give();
  }
}

// A console that takes escape sequences gets the closing after a text that
// held an opener; the colour found, set again after it, is set whole.
void CloseOnConsole(HANDLE output, unsigned kinds) {
  DWORD mode = 0;
  char bytes[kMostClosing];
  wchar_t wide[kMostClosing + 1] = {};
  if (kinds == 0 || GetConsoleMode(output, &mode) == 0 ||
      (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0)
    return;
  for (size_t i = 0, count = Closing(kinds, bytes); i < count; ++i) wide[i] = bytes[i];
  WriteConsoleText(output, wide);
}

// Puts text as text mode writes it, each LF after a CR.
unsigned PutTextMode(const char* text) {
  unsigned kinds = 0;
  for (const char* end = text;; ++end) {
    if (*end != '\n' && *end != '\0') continue;
    kinds |= Put(text, static_cast<size_t>(end - text));
    if (*end == '\0') return kinds;
    Put("\r", 1);
    text = end;
  }
}

}  // namespace

void PrepareOutput() {
  if (Kind(GetStdHandle(STD_OUTPUT_HANDLE)) == Output::kPtyPipe) Watch();
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
  saved = info.wAttributes;
  return saved;
}

void SetColor(uint16_t attribute) {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  const Output kind = Kind(output);
  if (kind == Output::kPtyPipe) ChooseSgr(attribute);
  if (kind != Output::kConsole) return;
  CatchEndings();
  Take();
  SetConsoleTextAttribute(output, attribute & kConsoleBits);
  Give();
}

void WriteText(const char* text) {
  if (*text == '\0') return;
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  const Output kind = Kind(output);
  if (kind == Output::kPtyPipe) {
    ShowChosen();
    EndText(PutTextMode(text));
    return;
  }
  wchar_t* wide = Widen(text, CP_UTF8);
  if (kind == Output::kConsole) {
    if (wide != nullptr) WriteConsoleText(output, wide);
    CloseOnConsole(output, Kinds(text, strlen(text)));
  } else {
    char* ansi = Narrow(wide, CP_ACP);
    PutTextMode(ansi != nullptr ? ansi : text);
    free(ansi);
  }
  free(wide);
}

void FinishOutput() {
  if (Kind(GetStdHandle(STD_OUTPUT_HANDLE)) == Output::kPtyPipe) ShowChosen();
  Flush();
}

void SendBytes(const char* bytes, size_t count) {
  const bool pty = Kind(GetStdHandle(STD_OUTPUT_HANDLE)) == Output::kPtyPipe;
  if (pty && Handed() != 0) CatchEndings();
  WriteAll(bytes, count, pty);
}

// No stop cuts a call on Windows: nothing follows what went out.
void Passed(const char* /*bytes*/, size_t /*count*/, unsigned /*kinds*/) {}
