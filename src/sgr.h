// Attribute words as the SGR escape sequences of ANSI terminals.
#ifndef TINTY_SGR_H
#define TINTY_SGR_H

#include <stdint.h>

// The sequence that gives a terminal back its own colours.
constexpr char kSgrReset[] = "\x1b[0m";

// Chooses the word for text written from now on; nothing is written yet.
void ChooseSgr(uint16_t attribute);
// Puts the sequence that shows the chosen word, unless the terminal shows
// it already: nothing where only bits that no terminal draws differ.  A
// sequence starts with a reset, so it sets the whole word.  Called with
// each text about to be put, and with "" at the end for the word the
// terminal is left in; a text that holds an escape sequence of its own
// leaves the terminal showing what tinty cannot know.
void ShowSgr(const char* next);

#endif
