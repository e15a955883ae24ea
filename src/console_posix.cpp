// Console colour access on POSIX terminals.  A terminal's colours cannot be
// read back, so GetColor gives the plain word; SetColor chooses an SGR
// sequence, which goes into the output before the next text (anything else
// gets the bare text).  A signal is noted by its handler, acted on by the writer.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "color_console.h"
#include "output.h"
#include "terminal.h"

namespace {

bool coloured = false;  // standard output is a terminal that takes sequences

// TERM, then the locale's variables in the order in which the C library
// reads them, in one pass over the environment, each entry told apart by
// its first letters: four getenv calls would cost more than all the rest.
constexpr const char* kVariables[] = {"TERM=", "LC_ALL=", "LC_CTYPE=", "LANG="};

void ReadVariables(const char** values) {
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const char* at = *entry;
    if (at[0] != 'T' && at[0] != 'L') continue;
    size_t i = 0;
    if (at[0] == 'L') i = at[1] == 'A' ? 3 : 1 + (at[1] == 'C' && at[2] == '_' && at[3] == 'C');
    const char* name = kVariables[i];
    while (*name != '\0' && *name == *at) ++name, ++at;
    if (*name == '\0' && values[i] == nullptr) values[i] = at;  // the first, as getenv has it
  }
}

// A terminal that says it is dumb, or says nothing, shows sequences as garbage.
bool TakesSequences(const char* term) {
  return term != nullptr && *term != '\0' && strcmp(term, "dumb") != 0 &&
         isatty(STDOUT_FILENO) != 0;
}

// Whether the locale's name says UTF-8: the first of its variables that is
// set and not empty, without setting the locale up.
bool Utf8Locale(const char* const* locale) {
  const char* name = "";
  for (size_t i = 0; i < 3 && *name == '\0'; ++i)
    if (locale[i] != nullptr) name = locale[i];
  for (; *name != '\0'; ++name) {
    const bool u = *name == 'U' || *name == 'u';
    const bool t = name[1] == 'T' || name[1] == 't';
    const bool f = name[2] == 'F' || name[2] == 'f';
    if (u && t && f && (name[3] == '8' || (name[3] == '-' && name[4] == '8'))) return true;
  }
  return false;
}

// The signals whose default action ends the process that come to a call
// from elsewhere: the keyboard, the terminal, a timeout, a kill, the
// caller's timers and limits.  A fault of the program's own (SIGSEGV and
// its kin) stays the system's, and so do the signals that only a program
// that asked for them gets (README.md says why); SIGKILL cannot be caught.
constexpr int kEndings[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,   SIGALRM, SIGUSR1,
                            SIGUSR2, SIGPROF, SIGXCPU, SIGVTALRM, SIGXFSZ};

// What the handler noted for the writer: each signal that came, and that one did.
volatile sig_atomic_t arrived[NSIG];
volatile sig_atomic_t noted = 0;

void Note(int caught) {
  arrived[caught] = 1;
  noted = 1;
}

// No SA_RESTART, so that a write that a signal cuts short returns.
struct sigaction noting = {};

// A signal the caller ignores stays ignored: its action is put back at
// once, and one that came meanwhile dropped.
void Catch(int caught) {
  struct sigaction was;  // NOLINT(cppcoreguidelines-pro-type-member-init): sigaction fills it
  if (sigaction(caught, &noting, &was) != 0 || was.sa_handler != SIG_IGN) return;
  sigaction(caught, &was, nullptr);
  arrived[caught] = 0;
}

long long Milliseconds() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec * 1000LL) + (now.tv_nsec / 1000000);
}

// A write stops a background job where tostop is set and SIGTTOU neither
// ignored nor blocked.
bool MayWrite() {
  const pid_t group = tcgetpgrp(STDOUT_FILENO);
  termios modes = {};
  if (group == -1 || group == getpgrp() || tcgetattr(STDOUT_FILENO, &modes) != 0 ||
      (modes.c_lflag & TOSTOP) == 0)
    return true;
  struct sigaction ttou = {};
  sigset_t blocked = {};
  sigaction(SIGTTOU, nullptr, &ttou);
  sigprocmask(SIG_BLOCK, nullptr, &blocked);
  return ttou.sa_handler == SIG_IGN || sigismember(&blocked, SIGTTOU) == 1;
}

// The closing of every kind of opener that went out, whatever part of it
// the terminal saw (the terminal's driver discards what waits for it when
// a key becomes a signal).  A byte at a time once the terminal has room, so
// that no write waits: a second in all, whatever the terminal does.
void SendClosing() {
  char closing[kMostClosing];
  const size_t count = MayWrite() ? Closing(Handed(), closing) : 0;
  const long long deadline = Milliseconds() + 1000;
  for (size_t done = 0; done < count;) {
    const long long left = deadline - Milliseconds();
    pollfd output{STDOUT_FILENO, POLLOUT, 0};
    if (left <= 0) return;
    if (poll(&output, 1, static_cast<int>(left)) != 1) continue;
    const ssize_t took = write(STDOUT_FILENO, closing + done, 1);
    if (took < 0 && errno != EINTR && errno != EAGAIN) return;  // the terminal is gone
    if (took > 0) ++done;
  }
}

// The closing, then the call ends by the signal noted, or stops as SIGTSTP
// would have stopped it: then returns true, once continued.
bool Act() {
  noted = 0;
  int signal_number = arrived[SIGTSTP] != 0 ? SIGTSTP : 0;
  for (const int ends : kEndings)
    if (arrived[ends] != 0) signal_number = ends;
  if (signal_number == 0) return false;
  SendClosing();
  arrived[signal_number] = 0;
  signal(signal_number, SIG_DFL);
  kill(getpid(), signal_number);  // an ending one ends the call here
  Catch(SIGTSTP);
  return true;
}

// How far in the bytes being sent the account has followed them.  After a
// stop, what is left of the piece it cut is left out (Skip returns how many
// bytes); then the terminal gets the closing again, and the state in force.
size_t account_at = 0;
bool skipping = false;
char again[kMostClosing + kMostReplay];
size_t again_count = 0;
size_t again_at = 0;

size_t Skip(const char* bytes, size_t count) {
  size_t done = 0;
  while (done < count && InPiece()) Follow(bytes + done++, 1);
  if (InPiece()) return done;
  skipping = false;
  again_count = Closing(Handed(), again);
  again_count += Replay(again + again_count);
  again_at = 0;
  return done;
}

// One write(2): how many bytes it took, 0 for none now (a signal came, or
// an output left non-blocking is full), -1 where the output is gone.
ssize_t Hand(const char* bytes, size_t count) {
  const ssize_t took = write(STDOUT_FILENO, bytes, count);
  if (took >= 0 || errno == EINTR) return took > 0 ? took : 0;
  if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;  // the reader is gone, ...
  pollfd output{STDOUT_FILENO, POLLOUT, 0};
  poll(&output, 1, -1);
  return 0;
}

}  // namespace

void PrepareOutput() {
  const char* values[4] = {};
  ReadVariables(values);
  coloured = TakesSequences(values[0]);
  // A reader that goes away must not end the run: writes then fail quietly,
  // as they do, with no signal, on a terminal that goes away.
  if (!coloured) signal(SIGPIPE, SIG_IGN);
  if (!coloured) return;
  TakeUtf8(Utf8Locale(values + 1));
  Watch();
}

// The arguments are the bytes the shell passed.
void ReadArguments(int* /*argc*/, char*** /*argv*/) {}

uint16_t GetColor() { return kPlainAttribute; }

void SetColor(uint16_t attribute) {
  if (coloured) ChooseSgr(attribute);
}

void WriteText(const char* text) {
  if (*text == '\0') return;
  if (coloured) ShowChosen();
  EndText(Put(text, strlen(text)));
}

void FinishOutput() {
  if (coloured) ShowChosen();
  Flush();
  while (noted != 0) Act();
}

// The signals are caught from the first write that may change the terminal.
void SendBytes(const char* bytes, size_t count) {
  static bool caught = false;
  if (Handed() != 0 && !caught) {
    caught = true;
    noting.sa_handler = Note;
    for (const int ends : kEndings) Catch(ends);
    Catch(SIGTSTP);
  }
  size_t at = 0;
  while (at < count || again_at < again_count) {
    if (noted != 0) {
      if (!Act()) continue;
      Follow(bytes + account_at, at - account_at);
      account_at = at;
      skipping = true;
    } else if (skipping) {
      at += Skip(bytes + at, count - at);
      account_at = at;
    } else {
      const bool own = again_at < again_count;
      const ssize_t took =
          own ? Hand(again + again_at, again_count - again_at) : Hand(bytes + at, count - at);
      if (took < 0) return;
      (own ? again_at : at) += static_cast<size_t>(took);
    }
  }
}

// Bytes that hold no opener change no state of the account that stands
// outside any piece, but for a character begun in their last three.
void Passed(const char* bytes, size_t count, unsigned kinds) {
  size_t from = account_at;
  if (kinds == 0 && !InPiece() && count - from > 3) from = count - 3;
  if (coloured) Follow(bytes + from, count - from);
  account_at = 0;
}
