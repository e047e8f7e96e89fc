#include "console.h"

#include <csignal>

void console_init() { signal(SIGPIPE, SIG_IGN); }
