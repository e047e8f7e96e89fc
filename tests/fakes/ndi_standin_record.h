// The two values the stand-in runtime's record gives for what it was handed:
// the FNV-1a hash of a picture's or an audio plane's bytes, and a float's
// bits. The stand-in writes them and the NDI tests work them out again from
// what they sent, so both take them from here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

inline uint64_t fnv1a64(const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  uint64_t h = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < size; ++i) {
    h ^= p[i];
    h *= 0x100000001b3ull;
  }
  return h;
}

inline uint32_t float_bits(float f) {
  uint32_t u;
  memcpy(&u, &f, sizeof u);
  return u;
}
