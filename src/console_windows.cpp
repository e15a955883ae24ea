// Console colour access on Windows.  A console window takes the attribute
// through the console API and the text as UTF-16, at once, so any character
// shows as typed and in its colour.  The pty pipes of MSYS2 and Cygwin
// terminals (Git Bash's among them) take SGR escape sequences and UTF-8, as
// a POSIX terminal does.  Files and other pipes get the text in the ANSI
// code page, with no colour.  Both are held back and leave in as few writes
// as they can, in text mode as the runtime writes it: each LF as CR LF.
#include <stdint.h>
#include <stdlib.h>
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

// Vista and later; looked up at run time so that the exe loads on older
// systems, where no MSYS2 or Cygwin terminal is recognised.
using FileInfoFunction = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);

FileInfoFunction FileInfoByHandle() {
  const FARPROC found =
      GetProcAddress(GetModuleHandleA("kernel32"), "GetFileInformationByHandleEx");
  return reinterpret_cast<FileInfoFunction>(reinterpret_cast<void (*)()>(found));
}

// The helpers below match ASCII alone, as pipe names have it, and cost the
// exe no import of the C library's wide-character functions.
bool Skip(const wchar_t** text, const char* prefix) {
  const wchar_t* at = *text;
  for (; *prefix != '\0'; ++prefix, ++at)
    if (*at != static_cast<wchar_t>(*prefix)) return false;
  *text = at;
  return true;
}

// Skips at least `least` and at most `most` digits, hexadecimal or decimal.
bool SkipDigits(const wchar_t** text, bool hex, int least, int most) {
  int count = 0;
  for (const wchar_t* at = *text; count < most; ++at, ++count) {
    const wchar_t letter = *at | 0x20;  // either case
    const bool digit = *at >= L'0' && *at <= L'9';
    const bool hex_letter = hex && letter >= L'a' && letter <= L'f';
    if (!digit && !hex_letter) break;
  }
  *text += count;
  return count >= least;
}

// \msys-<16 hex digits>-pty<N>-to-master, or the same with cygwin.  Since
// 2021 the runtimes give native programs the one that ends in -nat (so
// today's Git Bash does), and Cygwin's own programs the one without.
bool IsPtyPipeName(const wchar_t* name) {
  if (!(Skip(&name, "\\msys-") || Skip(&name, "\\cygwin-")) || !SkipDigits(&name, true, 16, 16) ||
      !Skip(&name, "-pty") || !SkipDigits(&name, false, 1, 9) || !Skip(&name, "-to-master"))
    return false;
  Skip(&name, "-nat");
  return *name == L'\0';
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

// The handle is fetched anew for every call; what it is stays known for as
// long as it is the same.
Output Kind(HANDLE output) {
  static HANDLE known = INVALID_HANDLE_VALUE;
  static Output kind = Output::kOther;
  if (output != known) kind = Classify(output);
  known = output;
  return kind;
}

// The attribute found at start, given back when a control event ends the run.
uint16_t saved = kPlainAttribute;

// Who shows something on the console or its pty pipe.  The main thread is
// busy while it sets the console's colour or writes to the pipe; a control
// event's handler says that the call has ended, waits for a busy main
// thread to finish, and then alone shows what it sends: the main thread,
// finding the call ended, shows nothing more, and the handler's return
// ends the process.  Each says its part with an interlocked exchange, a
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
// (FILE_PIPE_INFORMATION's completion modes).  So the rest is written
// again, a moment later where it took nothing, for as long as the reader
// is there.  Held, the pipe is written only while the main thread is busy
// with it, and what it took is followed, for a handler's closing.
void WriteAll(const char* bytes, size_t count, bool held) {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  for (DWORD written = 0; count != 0; bytes += written, count -= written) {
    if (held) Take();
    const BOOL wrote = WriteFile(output, bytes, static_cast<DWORD>(count), &written, nullptr);
    if (held) {
      Went(bytes, written);
      Give();
    }
    if (wrote == 0) return;
    if (written == 0) Sleep(1);
  }
}

// The handler's closing, and its count until it has been sent.
char closing[kMostClosing];
volatile size_t closing_count = 0;

DWORD WINAPI SendClosing(LPVOID /*unused*/) {
  WriteAll(closing, closing_count, false);
  closing_count = 0;
  return 0;
}

// Ctrl-C, Ctrl-Break and closing the window.  The system runs the handler
// on a thread of its own, and returning FALSE passes the event on to the
// default handler, which calls ExitProcess; on closing the window the
// system ends the process itself once a handler returns or a time-out
// passes (HandlerRoutine's documentation, and Console Control Handlers'):
// the main thread may go on until then.  So the console is taken from it
// first, and the colour found given back; on a pty pipe, the closing of
// what went out, on a thread that ExitProcess ends if nobody reads it.  A
// pipe that nobody reads gets about a second, counted in steps of 10 ms
// (Sleep may take up to its tick of 15.6 ms for one).  A later event is
// handled by the first, whose return ends the process.
BOOL WINAPI Ended(DWORD /*event*/) {
  if (InterlockedExchange(&ended, 1) != 0) return TRUE;
  int steps = 100;
  while (busy != 0 && steps-- > 0) Sleep(10);
  if (busy != 0) return FALSE;
  if (SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), saved & kConsoleBits) != 0)
    return FALSE;
  closing_count = Closing(closing);
  if (closing_count != 0 && CreateThread(nullptr, 0, SendClosing, nullptr, 0, nullptr) != nullptr)
    while (closing_count != 0 && steps-- > 0) Sleep(10);
  return FALSE;
}

// From the first colour change: a run that changes nothing has nothing to
// give back.
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
    WriteConsoleW(output, piece, used, &written, nullptr);
  }
}

// Puts text as text mode writes it, each LF after a CR.  The terminal's
// model follows it whatever the output: only a pty pipe's is read.
void PutTextMode(const char* text) {
  for (const char* end = text;; ++end) {
    if (*end != '\n' && *end != '\0') continue;
    PutShown(text, static_cast<size_t>(end - text));
    if (*end == '\0') return;
    PutShown("\r", 1);
    text = end;
  }
}

}  // namespace

void PrepareOutput() {}

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
    PutTextMode(text);
    return;
  }
  wchar_t* wide = Widen(text, CP_UTF8);
  if (kind == Output::kConsole) {
    if (wide != nullptr) WriteConsoleText(output, wide);
  } else {
    char* ansi = Narrow(wide, CP_ACP);
    PutTextMode(ansi != nullptr ? ansi : text);
    free(ansi);
  }
  free(wide);
}

void FinishOutput() {
  if (Kind(GetStdHandle(STD_OUTPUT_HANDLE)) == Output::kPtyPipe) PutEnd();
  Flush();
}

void SendBytes(const char* bytes, size_t count) {
  const bool pty = Kind(GetStdHandle(STD_OUTPUT_HANDLE)) == Output::kPtyPipe;
  if (pty && HoldsSequences()) CatchEndings();
  WriteAll(bytes, count, pty);
}
