// Joining an argument vector into one Windows command line. Pure text work,
// kept apart from the process code so that both platforms can test it.
#pragma once
#include <cstddef>
#include <string>

// Longest command line CreateProcess takes, in characters, without its NUL.
enum { kWinCmdlineMax = 32766 };

// Appends each element wrapped in quotation marks, one space between elements,
// escaped so that the C runtime's (and CommandLineToArgvW's) split gives back
// exactly argv. An element without quotation marks or backslashes comes out as
// "element". Returns false, leaving out unspecified, when the line would be
// longer than kWinCmdlineMax. Also false when argv[0] holds a quotation mark:
// the program name is split without escapes, and no Windows file name has one.
bool join_win_cmdline(const char* const* argv, std::string* out);
