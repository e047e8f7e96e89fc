// Numbers written the way the status has always written them: Python's
// float repr (30.0, 0.1, 1e-05, 1e+16), so that a client that compared or
// parsed the text before sees the same text now.
#pragma once
#include <string>

// The shortest text that reads back as v, laid out as Python's repr lays it
// out: fixed point from 1e-4 up to below 1e16 (always with a decimal point),
// else d.ddde+XX. v must be finite.
std::string float_text(double v);

// v rounded to one decimal the way Python's round(v, 1) does: to the nearest
// tenth of v's exact binary value, ties to even.
double round_tenths(double v);
