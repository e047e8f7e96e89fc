// What the Windows decoder process code shares with the other Windows files.
#pragma once
#include <windows.h>

// The kill-on-close job the decoder runs in; null when none could be made.
HANDLE child_job();
