// Attribute words as the SGR escape sequences of ANSI terminals.
#ifndef TINTY_SGR_H
#define TINTY_SGR_H

#include <stdint.h>

// Writes to standard output the sequence that shows `attribute`.  It starts
// with a reset, so it sets the whole word.
void WriteSgr(uint16_t attribute);

#endif
