// Standard output held back, so that a call leaves in as few writes as its
// size allows.
#ifndef TINTY_OUTPUT_H
#define TINTY_OUTPUT_H

#include <stddef.h>

// Holds bytes for standard output; what fills the buffer is sent at once.
void Put(const char* bytes, size_t count);
// Sends whatever is held.
void Flush();

// The console layer's: hands bytes to the system, every one of them unless
// the output is gone.
void SendBytes(const char* bytes, size_t count);

#endif
