// Unpredictable bytes (the cameras' nonces, the status page's sessions, the
// password's salt), from the system's generator: getrandom() on Linux,
// BCryptGenRandom on Windows (random_bytes_posix.cpp, random_bytes_win.cpp).
#pragma once
#include <string>

// n bytes; false when the system cannot give them (the request is then not made).
bool random_bytes(size_t n, std::string* out);

// n random bytes as 2n lowercase hex digits (session ids, tokens, check ids).
inline bool random_hex(size_t n, std::string* out) {
  std::string raw;
  if (!random_bytes(n, &raw)) return false;
  static const char kDigits[] = "0123456789abcdef";
  out->clear();
  for (unsigned char c : raw) {
    out->push_back(kDigits[c >> 4]);
    out->push_back(kDigits[c & 15]);
  }
  return true;
}
