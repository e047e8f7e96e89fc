#include "sources/sources_write.h"

#include <nettle/sha2.h>

#include <cstdint>

#include "file_write.h"

std::string sources_version(const std::string& bytes) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, bytes.size(), reinterpret_cast<const uint8_t*>(bytes.data()));
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&ctx, sizeof digest, digest);
  // 64 bits tell one version from another well enough: no secret rests on it.
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < 8; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

bool sources_write(const std::string& path, const std::string& old, const std::string& bytes, std::string* why) {
  return file_write_like(path + ".bak.tmp", old, path, why) && file_move_over(path + ".bak.tmp", path + ".bak", why) &&
         file_write_like(path + ".tmp", bytes, path, why) && file_move_over(path + ".tmp", path, why);
}
