// What a terminal shows of the output: attribute words as SGR escape
// sequences, and a model of the terminal that follows the output byte by
// byte, once as it is put and once as it goes out.  Every sequence tinty
// adds, the closing after a signal and the replay after a stop are read off
// that model; this file alone keeps it.
#ifndef TINTY_TERMINAL_H
#define TINTY_TERMINAL_H

#include <stddef.h>
#include <stdint.h>

// Whether the terminal takes UTF-8 (so it is taken until told): there a
// byte inside a well-formed character is text, and C1 controls come as two
// bytes; elsewhere every byte from 0x80 to 0x9F is a C1 control.
void TakeUtf8(bool takes);

// Has the model follow the colours and flags in force as they go out, for
// Replay: the POSIX layer's, where Ctrl-Z stops a call.  Until then it
// follows only whether they may differ from the terminal's own.
void TrackColours();

// Chooses the word for text put from now on; nothing is put yet.
void ChooseSgr(uint16_t attribute);
// Puts the sequence that shows the chosen word, unless the terminal will
// show it already: a sequence starts with a reset, so it sets the whole
// word.  After a text that held a sequence of its own, what the terminal
// shows is not taken as known.
void ShowChosen();
// Puts bytes that go to the terminal, for the model to follow.
void PutShown(const char* bytes, size_t count);
// Puts the end of the output: whatever it leaves open closed (a control
// string, a sequence cut short, a hyperlink), then the chosen word.
void PutEnd();
// Whether anything put opens a sequence: until then, nothing that goes out
// can leave the terminal other than it was.
bool HoldsSequences();

// Follows bytes that the terminal took.
void Went(const char* bytes, size_t count);
// Whether what went out ends inside a character or a sequence.
bool InPiece();

// The most that Closing and Replay give.
constexpr size_t kMostClosing = 24;
constexpr size_t kMostReplay = 96;
// The bytes that give the terminal back its own state where what went out
// ends: what is open closed, and the terminal's own colours; returns their
// count.
size_t Closing(char* out);
// The bytes that, after Closing, set again the colours and flags in force
// where what went out ends; returns their count.
size_t Replay(char* out);

#endif
