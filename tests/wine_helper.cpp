// Test helper for the Windows suites, run under Wine or on Windows:
//   wine_helper pipe NAME PROGRAM [ARGUMENT...]
//     runs the program with standard output on a named pipe, the way MSYS2
//     and Cygwin terminals do, and relays what arrives to its own output;
//     the exit status is the program's
//   wine_helper full-pipe NAME PROGRAM [ARGUMENT...]
//     the same through a pipe in no-wait mode, full of '#' when the program
//     starts and read half a second later
//   wine_helper held-pipe NAME PROGRAM [ARGUMENT...]
//     the same through a pipe that holds 20,000 bytes, read only once a line
//     arrives on the helper's standard input
//   wine_helper slow-pipe NAME PROGRAM [ARGUMENT...]
//     the same through a pipe in no-wait mode that holds 1,024 bytes, read
//     128 bytes at a time every 5 ms
//   wine_helper cells SAVED PROGRAM CASES REPORT
//     runs the program on this console once for each line of the file CASES
//     (its arguments, each as = and its UTF-8 bytes in hex), each time on a
//     screen cleared to kFill in attribute SAVED (hex), and writes to the
//     file REPORT a line: exit status, attribute in force once the helper
//     has written kMark after the program, screen width, then
//     attribute:character (hex) of every cell up to the cursor; a Ctrl-C
//     ends the program alone, as in cmd
//   wine_helper vt-cells SAVED PROGRAM CASES REPORT
//     the same on a console whose virtual terminal processing is on
//   wine_helper numbers STRINGS
//     prints msvcrt.dll's atol and strtoul(..., 16), in hex, of each line of
//     the file STRINGS (its bytes in hex)
// Exits 99 where the helper itself failed.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

namespace {

constexpr size_t kLine = 32768;
// Characters tinty is never given.
constexpr wchar_t kFill = L'\u2591';
constexpr wchar_t kMark = L'\u2592';

int Fail(const char* what) {
  fprintf(stderr, "wine_helper: %s (%lu)\n", what, GetLastError());
  return 99;
}

// Appends one argument quoted so that the runtime splits it back unchanged.
void AppendQuoted(wchar_t* line, const wchar_t* argument) {
  size_t used = wcslen(line);
  auto put = [&](wchar_t c) {
    if (used + 1 < kLine) line[used++] = c;
  };
  if (used != 0) put(L' ');
  put(L'"');
  for (const wchar_t* p = argument;; ++p) {
    size_t backslashes = 0;
    while (*p == L'\\') ++p, ++backslashes;
    // Backslashes are doubled before a quote and before the closing quote.
    const size_t count = (*p == L'"' || *p == L'\0') ? backslashes * 2 : backslashes;
    for (size_t i = 0; i < count; ++i) put(L'\\');
    if (*p == L'\0') break;
    if (*p == L'"') put(L'\\');
    put(*p);
  }
  put(L'"');
  line[used] = L'\0';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes the pairs of hex digits at `hex` into `bytes`, ended by a NUL;
// returns where the digits end.
const char* Unhex(const char* hex, char* bytes) {
  for (; HexValue(hex[0]) >= 0 && HexValue(hex[1]) >= 0; hex += 2)
    *bytes++ = static_cast<char>((HexValue(hex[0]) * 16) + HexValue(hex[1]));
  *bytes = '\0';
  return hex;
}

// Under load Wine now and then fails to create a process (ERROR_INTERNAL_ERROR,
// about one start in ten thousand), so a start is tried three times and each
// failure said on standard error; a program that cannot start fails all.
HANDLE Start(wchar_t* line, HANDLE output) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  for (int attempt = 1; attempt <= 3; ++attempt) {
    if (CreateProcessW(nullptr, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                       &process)) {
      CloseHandle(process.hThread);
      return process.hProcess;
    }
    fprintf(stderr, "wine_helper: cannot start %.60ls (%lu), try %d of 3\n", line, GetLastError(),
            attempt);
  }
  return nullptr;
}

DWORD Wait(HANDLE process) {
  DWORD status = 99;
  if (process == nullptr) return status;
  WaitForSingleObject(process, INFINITE);
  GetExitCodeProcess(process, &status);
  CloseHandle(process);
  return status;
}

enum class Reader : uint8_t { kAtOnce, kLate, kHeld, kSlow };

// With kLate, the program's end is in no-wait mode (PIPE_NOWAIT), as the
// Cygwin runtime and libuv leave pipes, filled with '#' before the program
// starts and read only half a second after.  With kHeld, the pipe takes a
// first piece of tinty's output but not the next, and is read when told.
// With kSlow, in no-wait mode too, the program writes a little at a time.
int Pipe(int argc, wchar_t** argv, Reader reader) {
  const bool full = reader == Reader::kLate;
  const bool slow = reader == Reader::kSlow;
  static wchar_t name[512];
  static wchar_t line[kLine];
  swprintf(name, 512, L"\\\\.\\pipe\\%ls", argv[2]);
  for (int i = 3; i < argc; ++i) AppendQuoted(line, argv[i]);
  // kHeld's takes tinty's colour change, held apart from a text of more than
  // its 16 KiB buffer, and not the text.
  constexpr DWORD kSizes[] = {65536, 4096, 20000, 1024};  // by Reader
  const DWORD size = kSizes[static_cast<uint8_t>(reader)];
  const HANDLE server = CreateNamedPipeW(name, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                         0, size, 0, nullptr);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE client = CreateFileW(name, GENERIC_WRITE | FILE_WRITE_ATTRIBUTES, 0, &inherit,
                                    OPEN_EXISTING, 0, nullptr);
  if (server == INVALID_HANDLE_VALUE || client == INVALID_HANDLE_VALUE)
    return Fail("cannot open the pipe");
  DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
  if ((full || slow) && SetNamedPipeHandleState(client, &mode, nullptr, nullptr) == 0)
    return Fail("cannot set no-wait mode");
  static char hashes[512];
  memset(hashes, '#', sizeof hashes);
  DWORD filled = 0;
  while (full && WriteFile(client, hashes, sizeof hashes, &filled, nullptr) && filled != 0) {
  }
  const HANDLE process = Start(line, client);
  CloseHandle(client);  // the pipe ends when the program's copy closes
  if (process == nullptr) return Fail("cannot start the program");
  if (full) Sleep(500);
  static char go[2];
  if (reader == Reader::kHeld && fgets(go, sizeof go, stdin) == nullptr)
    return Fail("no line to start reading");
  static char buffer[65536];
  DWORD got = 0;
  DWORD written = 0;
  while (ReadFile(server, buffer, slow ? 128 : sizeof buffer, &got, nullptr) && got != 0) {
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), buffer, got, &written, nullptr);
    if (slow) Sleep(5);
  }
  return static_cast<int>(Wait(process));
}

// The console that the programs write to.  Under Wine it is the one drawn on
// the harness's pseudo-terminal; on Windows, where the harness reads the
// helper through pipes, the helper may have none and makes one.
HANDLE Console() {
  AllocConsole();  // fails, harmlessly, where there is one
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     &inherit, OPEN_EXISTING, 0, nullptr);
}

BOOL WINAPI KeepRunning(DWORD /*event*/) { return TRUE; }

int Cells(wchar_t** argv, bool vt) {
  const auto saved = static_cast<WORD>(wcstoul(argv[2], nullptr, 16));
  const HANDLE console = Console();
  CONSOLE_SCREEN_BUFFER_INFO info;
  FILE* cases = _wfopen(argv[4], L"rb");
  FILE* report = _wfopen(argv[5], L"wb");
  if (GetConsoleScreenBufferInfo(console, &info) == 0 || cases == nullptr || report == nullptr)
    return Fail("no console, no cases or no report");
  SetConsoleCtrlHandler(KeepRunning, TRUE);
  DWORD mode = 0;
  if (vt && (GetConsoleMode(console, &mode) == 0 ||
             SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0))
    return Fail("no virtual terminal processing");
  const DWORD size = info.dwSize.X * info.dwSize.Y;
  auto* attributes = static_cast<WORD*>(malloc(size * sizeof(WORD)));
  auto* characters = static_cast<wchar_t*>(malloc(size * sizeof(wchar_t)));
  static char text[kLine * 8];
  static char bytes[kLine * 4];
  static wchar_t argument[kLine];
  static wchar_t line[kLine];
  while (fgets(text, sizeof text, cases) != nullptr) {
    line[0] = L'\0';
    AppendQuoted(line, argv[3]);
    for (const char* p = strchr(text, '='); p != nullptr; p = strchr(p, '=')) {
      p = Unhex(p + 1, bytes);
      MultiByteToWideChar(CP_UTF8, 0, bytes, -1, argument, kLine);
      AppendQuoted(line, argument);
    }
    DWORD done = 0;
    FillConsoleOutputCharacterW(console, kFill, size, {0, 0}, &done);
    FillConsoleOutputAttribute(console, saved, size, {0, 0}, &done);
    SetConsoleCursorPosition(console, {0, 0});
    SetConsoleTextAttribute(console, saved);
    const DWORD status = Wait(Start(line, console));
    WriteConsoleW(console, &kMark, 1, &done, nullptr);
    GetConsoleScreenBufferInfo(console, &info);
    const DWORD count = (info.dwCursorPosition.Y * info.dwSize.X) + info.dwCursorPosition.X;
    ReadConsoleOutputAttribute(console, attributes, count, {0, 0}, &done);
    ReadConsoleOutputCharacterW(console, characters, count, {0, 0}, &done);
    fprintf(report, "%lu %04X %d", status, info.wAttributes, info.dwSize.X);
    for (DWORD i = 0; i < count; ++i) fprintf(report, " %04X:%04X", attributes[i], characters[i]);
    fputc('\n', report);
  }
  free(attributes);
  free(characters);
  return fclose(report) == 0 ? 0 : Fail("cannot write the report");
}

// msvcrt.dll's own conversions, whichever C runtime the helper links: the
// UCRT's atol saturates where msvcrt's wraps, and tinty reads as msvcrt does.
using Atol = long(__cdecl*)(const char*);
using Strtoul = unsigned long(__cdecl*)(const char*, char**, int);

int Numbers(const wchar_t* path) {
  FILE* strings = _wfopen(path, L"rb");
  const HMODULE msvcrt = LoadLibraryW(L"msvcrt.dll");
  if (strings == nullptr || msvcrt == nullptr) return Fail("no strings or no msvcrt.dll");
  const auto atol_of =
      reinterpret_cast<Atol>(reinterpret_cast<void (*)()>(GetProcAddress(msvcrt, "atol")));
  const auto strtoul_of =
      reinterpret_cast<Strtoul>(reinterpret_cast<void (*)()>(GetProcAddress(msvcrt, "strtoul")));
  if (atol_of == nullptr || strtoul_of == nullptr) return Fail("no atol or strtoul in msvcrt.dll");
  static char hex[kLine * 2];
  static char text[kLine];
  while (fgets(hex, sizeof hex, strings) != nullptr) {
    Unhex(hex, text);
    printf("%08lX %08lX\n", static_cast<unsigned long>(atol_of(text)),
           strtoul_of(text, nullptr, 16));
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 4 && wcscmp(argv[1], L"pipe") == 0) return Pipe(argc, argv, Reader::kAtOnce);
  if (argc >= 4 && wcscmp(argv[1], L"full-pipe") == 0) return Pipe(argc, argv, Reader::kLate);
  if (argc >= 4 && wcscmp(argv[1], L"held-pipe") == 0) return Pipe(argc, argv, Reader::kHeld);
  if (argc >= 4 && wcscmp(argv[1], L"slow-pipe") == 0) return Pipe(argc, argv, Reader::kSlow);
  if (argc == 6 && wcscmp(argv[1], L"cells") == 0) return Cells(argv, false);
  if (argc == 6 && wcscmp(argv[1], L"vt-cells") == 0) return Cells(argv, true);
  if (argc == 3 && wcscmp(argv[1], L"numbers") == 0) return Numbers(argv[2]);
  fputs(
      "usage: wine_helper pipe|full-pipe|held-pipe|slow-pipe|cells|vt-cells|numbers ... "
      "(see the source)\n",
      stderr);
  return 99;
}
