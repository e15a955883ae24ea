// Standard output held back so that a call leaves in as few writes as its
// size allows, and what of it may have reached the terminal.
#ifndef TINTY_OUTPUT_H
#define TINTY_OUTPUT_H

#include <stddef.h>

// Holds bytes for standard output.  What no longer fits is sent first; a
// piece larger than the whole buffer goes out as it stands.
void Put(const char* bytes, size_t count);
// Sends whatever is held.
void Send();
// Says whether the output, at the end of what was put so far, may show a
// colour other than the terminal's own.  A colour change says it before it
// is put, a text with escape sequences of its own too.
void MarkColoured(bool coloured);
// Whether the bytes handed to the system so far may leave the terminal in a
// colour of tinty's; safe to ask in a signal handler.
bool SentColoured();

// The console layer's: hands bytes to the system, every one of them unless
// the output is gone.
void SendBytes(const char* bytes, size_t count);

#endif
