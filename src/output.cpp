// Standard output held back so that a call leaves in as few writes as its
// size allows, and what of it may have reached the terminal.
#include <signal.h>
#include <stddef.h>
#include <string.h>

#include "output.h"

namespace {

// Large enough for the help screen with every colour change, and a text of
// a few thousand characters besides: a call of that size is one write.
char held[16384];
size_t used = 0;

// Whether the output may show a colour at the end of what was put, and
// anywhere in what is held.
bool end_coloured = false;
bool held_coloured = false;
// Whether the terminal may be left in a colour by what was handed on: set
// before a write begins, since a write cut short may stop anywhere in it.
volatile sig_atomic_t sent_coloured = 0;

void Hand(const char* bytes, size_t count) {
  if (held_coloured) sent_coloured = 1;
  SendBytes(bytes, count);
  sent_coloured = end_coloured ? 1 : 0;
  held_coloured = end_coloured;
}

}  // namespace

void Put(const char* bytes, size_t count) {
  if (count > sizeof held - used) {
    Send();
    if (count > sizeof held) {
      Hand(bytes, count);
      return;
    }
  }
  memcpy(held + used, bytes, count);
  used += count;
}

void Send() {
  if (used == 0) return;
  Hand(held, used);
  used = 0;
}

void MarkColoured(bool coloured) {
  end_coloured = coloured;
  held_coloured = held_coloured || coloured;
}

bool SentColoured() { return sent_coloured != 0; }
