// Text helpers for protocol words (header values, schemes, the decoder's
// messages): ASCII only, whatever the locale. ascii.cpp.
#pragma once
#include <string>

// text with A-Z made a-z; every other byte as it is.
std::string ascii_lower(std::string text);

// text with every what replaced by with, left to right, never inside a
// replacement; text as it is for an empty what.
std::string replace_all(std::string text, const std::string& what, const std::string& with);
