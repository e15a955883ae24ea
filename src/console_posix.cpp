// Console colour access on POSIX terminals.  A terminal's colours cannot be
// read back, so GetColor gives the plain word.  SetColor chooses an SGR
// escape sequence, which goes into the output stream itself before the next
// text, so colour and text stay in order; on anything but a terminal that
// takes such sequences nothing is added, and the output is the bare text.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "color_console.h"
#include "output.h"
#include "sgr.h"

namespace {

// Standard output is a terminal that takes escape sequences: looked up once.
// A terminal that says it is dumb, or says nothing, shows them as garbage.
bool coloured = false;

bool TakesSequences() {
  const char* term = getenv("TERM");
  return term != nullptr && *term != '\0' && strcmp(term, "dumb") != 0 &&
         isatty(STDOUT_FILENO) != 0;
}

// The signals that end a call from the keyboard, the terminal or a timeout.
constexpr int kEndings[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
volatile sig_atomic_t late = 0;

void Late(int /*signal*/) { late = 1; }

// Writes every byte unless the output is gone: where a caller left it
// non-blocking and it is full, waits until it takes more.  Gives up once
// `late` is set (by an alarm in a signal handler).
void WriteAll(const char* bytes, size_t count) {
  while (count != 0 && late == 0) {
    const ssize_t done = write(STDOUT_FILENO, bytes, count);
    if (done > 0) {
      bytes += done;
      count -= static_cast<size_t>(done);
    } else if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd output{STDOUT_FILENO, POLLOUT, 0};
      poll(&output, 1, -1);
    } else if (done == 0 || errno != EINTR) {
      return;  // the reader is gone, the terminal hung up, ...
    }
  }
}

// The terminal is given back its own colours before the signal ends the run,
// as it would have ended it anyway, so that the shell sees the interrupt.  A
// terminal that reads nothing more gets a second's try.
void Interrupted(int signal) {
  if (SentColoured()) {
    struct sigaction wake = {};
    wake.sa_handler = Late;  // no SA_RESTART: the alarm cuts a blocked write short
    sigaction(SIGALRM, &wake, nullptr);
    alarm(1);
    WriteAll(kSgrReset, sizeof kSgrReset - 1);
  }
  raise(signal);  // SA_RESETHAND: the default action now
}

// From the first write that may colour the terminal.  A signal the caller
// ignores stays ignored: a background job of a script keeps running.
void CatchEndings() {
  static bool caught = false;
  if (caught) return;
  caught = true;
  struct sigaction on = {};
  on.sa_handler = Interrupted;
  on.sa_flags = SA_RESETHAND | SA_NODEFER;
  sigemptyset(&on.sa_mask);
  for (const int signal : kEndings) sigaddset(&on.sa_mask, signal);
  for (const int signal : kEndings) {
    struct sigaction was = {};
    if (sigaction(signal, &on, &was) == 0 && was.sa_handler == SIG_IGN)
      sigaction(signal, &was, nullptr);
  }
}

}  // namespace

void PrepareOutput() {
  // A reader that goes away must not end the run: writes then fail quietly.
  signal(SIGPIPE, SIG_IGN);
  coloured = TakesSequences();
}

// The arguments are the bytes the shell passed.
void ReadArguments(int* /*argc*/, char*** /*argv*/) {}

uint16_t GetColor() { return kPlainAttribute; }

void SetColor(uint16_t attribute) {
  if (coloured) ChooseSgr(attribute);
}

void WriteText(const char* text) {
  if (*text == '\0') return;
  if (coloured) ShowSgr(text);
  Put(text, strlen(text));
}

void FinishOutput() {
  if (coloured) ShowSgr("");
  Send();
}

void SendBytes(const char* bytes, size_t count) {
  if (SentColoured()) CatchEndings();
  WriteAll(bytes, count);
}
