// NextOption: reads the options of a command line one letter at a time.
//
// An option word begins with '-' or '/'; several letters may share one word
// ("-hS25"). A letter that the option string marks with a following ':'
// takes a value: the rest of its word, or else the whole next word. The
// words "-" and "--" end the options and are consumed; the first word that
// begins with neither '-' nor '/' ends them and is not consumed.
//
// Bad input is no error: a letter the option string does not name, the
// letter ':' itself, and a value letter at the very end of the command line
// come back as kIgnoredOption, for the caller to pass over.
#pragma once

// Where the reading stands: the word being read and the offset of its next
// letter (0 while no word has been started). Start with the defaults, which
// skip the program's name.
struct OptionCursor {
    int m_Word = 1;
    int m_Letter = 0;
};

constexpr int kEndOfOptions = -1;
constexpr int kIgnoredOption = '?';

// The next option letter, kIgnoredOption, or kEndOfOptions when the options
// have ended (cursor.m_Word is then the first word after them). value is
// set to the letter's value for a value letter, else null; it points into
// argv. REQUIRES: argv holds argc words (a null word ends the options).
int NextOption(int argc, char* const* argv, const char* optionString, OptionCursor& cursor,
               const char*& value);
