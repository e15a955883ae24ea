// Attribute words as the SGR escape sequences of ANSI terminals.
#ifndef TINTY_SGR_H
#define TINTY_SGR_H

#include <stdint.h>

// Writes to standard output the sequence that shows `attribute`, unless
// the terminal shows it already: nothing where only bits that no terminal
// draws differ from the word last written, or, before any, from the plain
// word.  A sequence starts with a reset, so it sets the whole word.
void WriteSgr(uint16_t attribute);

#endif
