// Nothing to set back on Windows yet.
#include "startup.h"

void startup_init() {}
