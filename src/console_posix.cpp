// Console colour access on POSIX terminals.  A terminal's colours cannot be
// read back, so GetColor gives the plain word.  SetColor chooses an SGR
// escape sequence, which goes into the output stream itself before the next
// text, so colour and text stay in order; on anything but a terminal that
// takes such sequences nothing is added, and the output is the bare text.
// Signals that end or stop a call are noted by their handlers and acted on
// by the writer, from what went out.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "color_console.h"
#include "output.h"
#include "terminal.h"

namespace {

// Standard output is a terminal that takes escape sequences: looked up once.
bool coloured = false;

// TERM, then the locale's variables in the order in which the C library
// reads them: LC_ALL, LC_CTYPE and LANG.  Read in one pass over the
// environment, each entry told apart by its first letters: four getenv
// calls would cost a call more than all the rest it does.
constexpr const char* kVariables[] = {"TERM=", "LC_ALL=", "LC_CTYPE=", "LANG="};
constexpr size_t kTerm = 0;

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

// A terminal that says it is dumb, or says nothing, shows escape sequences
// as garbage.
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

// The signals that end a call from the keyboard, the terminal or a timeout.
constexpr int kEndings[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// What the handlers noted, for the writer: the first ending signal, and a
// stop (Ctrl-Z) not yet acted on.
volatile sig_atomic_t ending = 0;
volatile sig_atomic_t stopping = 0;

void Note(int caught) {
  if (caught == SIGTSTP)
    stopping = 1;
  else if (ending == 0)
    ending = caught;
}

bool Noted() { return ending != 0 || stopping != 0; }

// The action the handlers are put in with: none of the caught signals comes
// while one notes, and no SA_RESTART, so that a write that a signal cuts
// short returns, with what it took.
struct sigaction noting = {};

// A signal the caller ignores stays ignored: a background job of a script
// keeps running.  The caller's action is read before anything is put in, so
// that such a signal is never caught, not even for an instant.
void Catch(int caught) {
  struct sigaction was = {};
  if (sigaction(caught, nullptr, &was) == 0 && was.sa_handler != SIG_IGN)
    sigaction(caught, &noting, nullptr);
}

// A signal's own action again, for the writer to raise it.
void Uncatch(int caught) {
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigaction(caught, &action, nullptr);
}

// Once a signal is noted, the writer has a second in all for what it still
// writes: the rest of a piece that went out in part, and the closing.
long long deadline = 0;

int Remaining() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const long long ms = (now.tv_sec * 1000LL) + (now.tv_nsec / 1000000);
  if (deadline == 0) deadline = ms + 1000;
  return deadline > ms ? static_cast<int>(deadline - ms) : 0;
}

// Hands bytes to the terminal with one write(2): returns how many it took,
// 0 where it took none for now (a signal came, or an output that the caller
// left non-blocking was full), -1 where the output is gone.  Bounded, it
// waits for room a second at most and hands on one byte, which a terminal
// with any room takes at once: no write waits past the second.
ssize_t Hand(const char* bytes, size_t count, bool bounded) {
  pollfd output{STDOUT_FILENO, POLLOUT, 0};
  if (bounded && poll(&output, 1, Remaining()) != 1) return 0;
  const ssize_t took = write(STDOUT_FILENO, bytes, bounded ? 1 : count);
  if (took > 0 && coloured) Went(bytes, static_cast<size_t>(took));
  if (took >= 0 || errno == EINTR) return took > 0 ? took : 0;
  if (errno != EAGAIN && errno != EWOULDBLOCK)
    return -1;  // the reader is gone, the terminal hung up, ...
  if (!bounded) poll(&output, 1, -1);
  return 0;
}

// Whether the call may write to the terminal: not where it is a background
// job, whose write SIGTTOU would stop, or would land in another's screen.
bool Foreground() {
  const pid_t group = tcgetpgrp(STDOUT_FILENO);
  return group == -1 || group == getpgrp();
}

// Acts on what was noted: the terminal gets its own state back, the call
// ends by the signal, or stops as SIGTSTP would have stopped it and, once
// continued, sets again the colours in force.
void Act() {
  char replay[kMostReplay];
  const size_t replay_count = Replay(replay);
  char closing[kMostClosing];
  const size_t count = Foreground() ? Closing(closing) : 0;
  for (size_t done = 0; done < count && Remaining() > 0;) {
    const ssize_t took = Hand(closing + done, count - done, true);
    if (took < 0) break;
    done += static_cast<size_t>(took);
  }
  deadline = 0;
  const int signal_number = ending != 0 ? ending : SIGTSTP;
  stopping = 0;
  Uncatch(signal_number);
  kill(getpid(), signal_number);  // an ending one ends the call here
  Catch(SIGTSTP);
  SendBytes(replay, replay_count);
}

// From the first write that may colour the terminal.
void CatchSignals() {
  static bool caught = false;
  if (caught) return;
  caught = true;
  noting.sa_handler = Note;
  sigemptyset(&noting.sa_mask);
  for (const int ends : kEndings) sigaddset(&noting.sa_mask, ends);
  sigaddset(&noting.sa_mask, SIGTSTP);
  for (const int ends : kEndings) Catch(ends);
  Catch(SIGTSTP);
}

}  // namespace

void PrepareOutput() {
  // A reader that goes away must not end the run: writes then fail quietly.
  signal(SIGPIPE, SIG_IGN);
  const char* values[4] = {};
  ReadVariables(values);
  coloured = TakesSequences(values[kTerm]);
  if (!coloured) return;
  TakeUtf8(Utf8Locale(values + 1));
  TrackColours();
}

// The arguments are the bytes the shell passed.
void ReadArguments(int* /*argc*/, char*** /*argv*/) {}

uint16_t GetColor() { return kPlainAttribute; }

void SetColor(uint16_t attribute) {
  if (coloured) ChooseSgr(attribute);
}

void WriteText(const char* text) {
  if (*text == '\0') return;
  if (!coloured) {
    Put(text, strlen(text));
    return;
  }
  ShowChosen();
  PutShown(text, strlen(text));
}

void FinishOutput() {
  if (coloured) PutEnd();
  Flush();
  if (Noted()) Act();
}

// Once a signal is noted, the piece that went out in part (a character, a
// sequence, a string of any length) is finished first, a byte at a time,
// and the writer acts where it ends, or where the second is up.
void SendBytes(const char* bytes, size_t count) {
  if (coloured && HoldsSequences()) CatchSignals();
  const char* const end = bytes + count;
  for (const char* at = bytes; at != end;) {
    const bool noted = Noted();
    if (noted && (!InPiece() || Remaining() == 0 || !Foreground())) {
      Act();
      continue;
    }
    const ssize_t took = Hand(at, static_cast<size_t>(end - at), noted);
    if (took < 0) return;
    at += took;
  }
}
