// Splitting a command line into the program and its arguments, so it can
// be run directly, without a shell.
//
//   SplitCommandLine   the words of a command line, Windows-style
//
// The rules are those by which Windows programs read their command line:
// blanks (space, tab) separate words outside double quotes; a double quote
// begins or ends a quoted part; 2n backslashes before a double quote give n
// backslashes and the quote acts, 2n+1 give n backslashes and a literal
// double quote; other backslashes are themselves. "" inside a quoted part
// gives a literal quote. Nothing else is special: "$", ";", "|", "*" are
// plain characters.
#pragma once

#include <string>
#include <vector>

namespace bramlet {

// Longest command line accepted (the Windows limit).
inline constexpr size_t kMaxCommandLine = 32767;

// The words of line into words. False (words empty) for a null line, one
// longer than kMaxCommandLine, or one without a word.
bool SplitCommandLine(const char* line, std::vector<std::string>& words);

}  // namespace bramlet
