// Standard output held back, so that a call leaves in as few writes as its
// size allows; on a terminal, with the kinds of opener that went out.
#include <stddef.h>
#include <string.h>

#include "output.h"
#include "terminal.h"

namespace {

// Large enough for the help screen with every colour change, and a text of
// a few thousand characters besides: a call of that size is one write.
char held[16384];
size_t used = 0;

bool watched = false;
unsigned held_kinds = 0;
// Read by a Windows control handler on a thread of its own.
volatile unsigned handed = 0;

// Each buffer keeps its own kinds, so that a closing names only what went out.
unsigned Hold(const char* bytes, size_t count) {
  memcpy(held + used, bytes, count);
  const unsigned kinds = watched ? Kinds(held + used, count) : 0;
  held_kinds |= kinds;
  used += count;
  return kinds;
}

void Renew() {
  const size_t sent = used;
  const unsigned kinds = held_kinds;
  Flush();
  Passed(held, sent, kinds);
}

}  // namespace

void Watch() { watched = true; }

unsigned Put(const char* bytes, size_t count) {
  unsigned found = 0;
  for (size_t part; count > (part = sizeof held - used); bytes += part, count -= part) {
    found |= Hold(bytes, part);
    Renew();
  }
  return found | Hold(bytes, count);
}

char* Room(size_t most) {
  if (most > sizeof held - used) Renew();
  return held + used;
}

void Use(size_t count) {
  if (watched) held_kinds |= kSequence;
  used += count;
}

void Flush() {
  if (used == 0) return;
  handed = handed | held_kinds;
  held_kinds = 0;
  SendBytes(held, used);
  used = 0;
}

unsigned Handed() { return handed; }
