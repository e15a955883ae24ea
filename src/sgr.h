// Attribute words as the SGR escape sequences of ANSI terminals.
#ifndef TINTY_SGR_H
#define TINTY_SGR_H

#include <stddef.h>
#include <stdint.h>

// Room for the longest sequence: a reset, two colours and three flags.
constexpr size_t kSgrSize = 24;

// Writes the sequence that shows `attribute` into `out` (kSgrSize bytes) and
// returns its length.  It starts with a reset, so it sets the whole word.
size_t FormatSgr(uint16_t attribute, char* out);

#endif
