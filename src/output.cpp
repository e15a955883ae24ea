// Standard output held back, so that a call leaves in as few writes as its
// size allows.
#include <stddef.h>
#include <string.h>

#include "output.h"

namespace {

// Large enough for the help screen with every colour change, and a text of
// a few thousand characters besides: a call of that size is one write.
char held[16384];
size_t used = 0;

}  // namespace

void Put(const char* bytes, size_t count) {
  while (count > sizeof held - used) {
    const size_t room = sizeof held - used;
    memcpy(held + used, bytes, room);
    used = sizeof held;
    Flush();
    bytes += room;
    count -= room;
  }
  memcpy(held + used, bytes, count);
  used += count;
}

void Flush() {
  if (used != 0) SendBytes(held, used);
  used = 0;
}
