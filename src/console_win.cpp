#include "console.h"

#include <fcntl.h>
#include <io.h>
#include <cstdio>

// stdout stays in text mode: its readers get CR LF, as on any Windows console tool.
void console_init() { _setmode(_fileno(stdin), _O_BINARY); }
