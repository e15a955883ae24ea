// Attribute words as the SGR escape sequences of ANSI terminals.
#ifndef TINTY_SGR_H
#define TINTY_SGR_H

#include <stddef.h>
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

// The end of the piece of output that starts at `at`: an escape sequence
// whole, a UTF-8 character or a byte.
const char* PieceEnd(const char* at, const char* end);
// Follows the SGR sequences of output: kept[0..*used) holds those that set,
// after a reset, what a terminal shows where the output so far ends; the
// output [at, end) is added to it.
void KeepSgr(char* kept, size_t* used, size_t room, const char* at, const char* end);

#endif
