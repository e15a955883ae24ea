// Standard output held back, so that a call leaves in as few writes as its
// size allows; on a terminal, with the kinds of opener that went out.
#ifndef TINTY_OUTPUT_H
#define TINTY_OUTPUT_H

#include <stddef.h>

// From now on the kinds of opener in what is put are noted: for a terminal.
void Watch();
// Holds bytes for standard output, what fills the buffer sent at once;
// returns the kinds of opener among them, where watched.  Tinty's own
// sequence, of at most `most` bytes, is written into the room, then used.
unsigned Put(const char* bytes, size_t count);
char* Room(size_t most);
void Use(size_t count);
void Flush();
// The kinds of opener in every byte handed to the system so far.
unsigned Handed();

// The console layer's: hands bytes to the system, every one of them unless
// the output is gone or the call ends first; and takes note of bytes that
// went out, with the kinds of opener they held, before their room is reused.
void SendBytes(const char* bytes, size_t count);
void Passed(const char* bytes, size_t count, unsigned kinds);

#endif
