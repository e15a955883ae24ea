// Test helper: runs a program with its standard output on a named pipe, the
// way MSYS2 and Cygwin terminals do, and relays what arrives to its own
// standard output.  Usage: pty_pipe PIPE-NAME PROGRAM [ARGUMENT...]
// The exit status is the program's, or 99 where the helper itself failed.
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

namespace {

// Appends one argument quoted so that the runtime splits it back unchanged.
void AppendQuoted(wchar_t* line, size_t room, const wchar_t* argument) {
  size_t used = wcslen(line);
  auto put = [&](wchar_t c) {
    if (used + 1 < room) line[used++] = c;
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

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    fputs("usage: pty_pipe PIPE-NAME PROGRAM [ARGUMENT...]\n", stderr);
    return 99;
  }
  static wchar_t name[512];
  static wchar_t line[32768];
  swprintf(name, 512, L"\\\\.\\pipe\\%ls", argv[1]);
  for (int i = 2; i < argc; ++i) AppendQuoted(line, 32768, argv[i]);

  const HANDLE server = CreateNamedPipeW(name, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                         0, 65536, 0, nullptr);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE client = CreateFileW(name, GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr);
  if (server == INVALID_HANDLE_VALUE || client == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "pty_pipe: cannot open the pipe (%lu)\n", GetLastError());
    return 99;
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = client;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process)) {
    fprintf(stderr, "pty_pipe: cannot start the program (%lu)\n", GetLastError());
    return 99;
  }
  CloseHandle(client);  // the pipe ends when the program's copy closes

  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  char buffer[65536];
  DWORD got = 0;
  DWORD written = 0;
  while (ReadFile(server, buffer, sizeof buffer, &got, nullptr) && got != 0)
    WriteFile(out, buffer, got, &written, nullptr);

  DWORD status = 99;
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &status);
  return static_cast<int>(status);
}
