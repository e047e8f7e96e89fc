// Unpredictable bytes (the cameras' nonces, the status page's sessions, the
// password's salt), from the system's generator: getrandom() on Linux,
// BCryptGenRandom on Windows (random_bytes_posix.cpp, random_bytes_win.cpp).
#pragma once
#include <string>

// n bytes; false when the system cannot give them (the request is then not made).
bool random_bytes(size_t n, std::string* out);
