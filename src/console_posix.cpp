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

// Hands bytes to the terminal once: returns how many it took, 0 where it
// took none for now (a signal came, or an output that the caller left
// non-blocking was full and takes more now), -1 where the output is gone.
ssize_t WriteSome(const char* bytes, size_t count) {
  const ssize_t done = write(STDOUT_FILENO, bytes, count);
  if (done > 0) return done;
  if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    pollfd output{STDOUT_FILENO, POLLOUT, 0};
    poll(&output, 1, -1);
    return 0;
  }
  return done < 0 && errno == EINTR ? 0 : -1;  // the reader is gone, the terminal hung up, ...
}

// Writes every byte unless the output is gone or `late` is set (by an
// alarm); returns how many were written.
size_t WriteAll(const char* bytes, size_t count) {
  size_t done = 0;
  while (done < count && late == 0) {
    const ssize_t took = WriteSome(bytes + done, count - done);
    if (took < 0) break;
    done += static_cast<size_t>(took);
  }
  return done;
}

// WriteAll for about a second at most: a terminal that reads nothing more
// (Ctrl-S, a pager that stopped) must not keep the call alive.  The alarm
// is unblocked for it, since the signal mask of a caller survives exec.
size_t WriteForASecond(const char* bytes, size_t count) {
  struct sigaction wake = {};
  struct sigaction was = {};
  wake.sa_handler = Late;  // no SA_RESTART: the alarm cuts a blocked write short
  sigaction(SIGALRM, &wake, &was);
  sigset_t alarm_only;
  sigset_t mask;
  sigemptyset(&alarm_only);
  sigaddset(&alarm_only, SIGALRM);
  sigprocmask(SIG_UNBLOCK, &alarm_only, &mask);
  late = 0;  // an alarm that the caller left pending came as it was unblocked
  alarm(1);
  const size_t done = WriteAll(bytes, count);
  alarm(0);
  late = 0;
  sigprocmask(SIG_SETMASK, &mask, nullptr);
  sigaction(SIGALRM, &was, nullptr);
  return done;
}

// The terminal is given back its own colours before the signal ends the run,
// as it would have ended it anyway, so that the shell sees the interrupt.
void Interrupted(int signal) {
  if (SentColoured()) WriteForASecond(kSgrReset, sizeof kSgrReset - 1);
  raise(signal);  // SA_RESETHAND: the default action now
}

// Ctrl-Z.  The SGR sequences that set again what the terminal shows where
// the chunks handed on so far end; whether the last chunk, which ends in
// the terminal's own colours, is being handed on or is out; whether a chunk
// is being handed on, and a stop that came meanwhile, for the writing to
// take at the byte it reached.
char kept[128];
size_t kept_used = 0;
bool finishing = false;
volatile sig_atomic_t finished = 0;
volatile sig_atomic_t sending = 0;
volatile sig_atomic_t stop_due = 0;

// A sequence or character that a stop would cut in two is finished first,
// where it is no longer than this.
constexpr size_t kLongestPiece = 256;

// A signal the caller ignores stays ignored: a background job of a script
// keeps running.  The caller's action is read before anything is put in, so
// that such a signal is never caught, not even for an instant.
void Catch(int signal, const struct sigaction& on) {
  struct sigaction was = {};
  if (sigaction(signal, nullptr, &was) == 0 && was.sa_handler != SIG_IGN)
    sigaction(signal, &on, nullptr);
}

void Suspended(int signal);

// Without SA_RESTART: a write that Ctrl-Z cuts short returns.
void CatchStops() {
  struct sigaction on = {};
  on.sa_handler = Suspended;
  sigemptyset(&on.sa_mask);
  Catch(SIGTSTP, on);
}

// Stops the call as SIGTSTP would have stopped it anyway, so that the shell
// sees it stopped, with the terminal in its own colours: `rest`, the end of
// a sequence or character cut short, goes first, then the reset.  Once the
// call is continued (fg, bg), whatever did not get out goes first, then
// `replay`, which sets the colours in force again.  Where nothing coloured
// was sent, nothing is written.
void Stop(const char* rest, size_t rest_count, const char* replay, size_t replay_count) {
  char out[kLongestPiece + sizeof kSgrReset];
  size_t count = 0;
  const bool sent = SentColoured();
  if (sent) {
    memcpy(out, rest, rest_count);
    memcpy(out + rest_count, kSgrReset, sizeof kSgrReset - 1);
    count = rest_count + sizeof kSgrReset - 1;
  }
  const size_t done = sent ? WriteForASecond(out, count) : 0;
  struct sigaction stop = {};
  stop.sa_handler = SIG_DFL;
  sigaction(SIGTSTP, &stop, nullptr);
  raise(SIGTSTP);
  // Inside the handler SIGTSTP is blocked: it comes as it is unblocked.
  sigset_t tstp;
  sigset_t mask;
  sigemptyset(&tstp);
  sigaddset(&tstp, SIGTSTP);
  sigprocmask(SIG_UNBLOCK, &tstp, &mask);
  sigprocmask(SIG_SETMASK, &mask, nullptr);
  CatchStops();
  WriteAll(out + done, count - done);
  if (sent) WriteAll(replay, replay_count);
}

// A stop that came while [chunk, end) was handed on, up to `at`; returns
// where the writing goes on.
const char* Pause(const char* chunk, const char* at, const char* end) {
  stop_due = 0;
  // The end of the piece that `at` falls in, or `at` between two.
  const char* piece_end = chunk;
  while (piece_end < at) piece_end = PieceEnd(piece_end, end);
  const char* resume = at;
  if (SentColoured() && static_cast<size_t>(piece_end - at) <= kLongestPiece) resume = piece_end;
  char replay[sizeof kept];
  size_t replay_used = kept_used;
  memcpy(replay, kept, kept_used);
  KeepSgr(replay, &replay_used, sizeof replay, chunk, resume);
  Stop(at, static_cast<size_t>(resume - at), replay, replay_used);
  return resume;
}

// A stop between two chunks: after the last one nothing is replayed.
void StopBetweenChunks() { Stop("", 0, kept, finished != 0 ? 0 : kept_used); }

void Suspended(int /*signal*/) {
  if (sending != 0) {
    stop_due = 1;
    return;
  }
  StopBetweenChunks();
}

// From the first write that may colour the terminal.
void CatchSignals() {
  static bool caught = false;
  if (caught) return;
  caught = true;
  struct sigaction on = {};
  on.sa_handler = Interrupted;
  on.sa_flags = SA_RESETHAND | SA_NODEFER;
  sigemptyset(&on.sa_mask);
  for (const int signal : kEndings) sigaddset(&on.sa_mask, signal);
  for (const int signal : kEndings) Catch(signal, on);
  CatchStops();
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
  finishing = true;
  Send();
}

void SendBytes(const char* bytes, size_t count) {
  if (SentColoured()) CatchSignals();
  const char* const end = bytes + count;
  sending = 1;
  for (const char* at = bytes; at != end;) {
    const ssize_t took = WriteSome(at, static_cast<size_t>(end - at));
    if (took < 0) break;
    at += took;
    if (stop_due != 0) at = Pause(bytes, at, end);
  }
  if (finishing)
    finished = 1;
  else
    KeepSgr(kept, &kept_used, sizeof kept, bytes, end);
  sending = 0;
  if (stop_due != 0) {
    stop_due = 0;
    StopBetweenChunks();
  }
}
