// What a terminal is sent and what it saw: attribute words as SGR escape
// sequences, the kinds of opener that the output may hold and what closes
// them, and the account of what went out, for a call that a stop cuts short.
#ifndef TINTY_TERMINAL_H
#define TINTY_TERMINAL_H

#include <stddef.h>
#include <stdint.h>

// Kinds of opener, as flags: of a sequence of any kind (ESC, or a C1 control
// in either reading of C1), of a control string (DCS, SOS, OSC, PM, APC), and
// an OSC, which may open a hyperlink.
enum : unsigned { kSequence = 1, kString = 2, kOsc = 4 };

// Whether the terminal takes UTF-8 (as it is taken until told): there a byte
// inside a well-formed character is text, and C1 controls come as two bytes;
// elsewhere every byte from 0x80 to 0x9F is a C1 control.  Kinds gives the
// kinds of opener among bytes that go on from those scanned before.
void TakeUtf8(bool takes);
unsigned Kinds(const char* bytes, size_t count);

// Chooses the word for text put from now on; puts the sequence that shows
// it, unless the terminal shows it already (a sequence starts with a reset,
// so it sets the whole word); puts the closing after a text that held
// openers of these kinds, if any.
void ChooseSgr(uint16_t attribute);
void ShowChosen();
void EndText(unsigned kinds);

// What closes every opener of the given kinds in every reading of the bytes:
// CAN, which cancels a sequence; ST, which ends a control string (in tmux a
// DCS too, which CAN does not end); the end of a hyperlink; and a reset.
// Only the kinds given, since a terminal that knows no OSC 8 shows its text.
constexpr size_t kMostClosing = 16;
size_t Closing(unsigned kinds, char* out);

// The account, which reads bytes as xterm does (README.md says where others
// differ): follows bytes that went out, or were left out; tells whether they
// end inside a piece (a character, a sequence, a string); and gives the SGR
// sequence that sets again the state in force there, if not the terminal's.
void Follow(const char* bytes, size_t count);
bool InPiece();
constexpr size_t kMostReplay = 64;
size_t Replay(char* out);

#endif
