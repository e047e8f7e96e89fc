#include "sources/sources_write.h"

#include <nettle/hmac.h>

#include <cstdint>
#include <mutex>

#include "file_write.h"
#include "random_bytes.h"

namespace {

// HMAC-SHA-256 of the bytes under the run's key.
std::string hmac_sha256(const std::string& key, const std::string& bytes) {
  hmac_sha256_ctx ctx;
  hmac_sha256_set_key(&ctx, key.size(), reinterpret_cast<const uint8_t*>(key.data()));
  hmac_sha256_update(&ctx, bytes.size(), reinterpret_cast<const uint8_t*>(bytes.data()));
  uint8_t digest[SHA256_DIGEST_SIZE];
  hmac_sha256_digest(&ctx, sizeof digest, digest);
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

}  // namespace

std::string sources_version(const std::string& bytes, const std::string& key) {
  std::string mac = hmac_sha256(key, bytes);
  const uint8_t* digest = reinterpret_cast<const uint8_t*>(mac.data());
  // 64 bits tell one version from another well enough; the key keeps them
  // from saying anything about the bytes.
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < 8; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

bool sources_version_key(std::string* key) {
  static std::mutex& lock = *new std::mutex;
  static std::string& made = *new std::string;
  std::lock_guard<std::mutex> hold(lock);
  if (made.empty() && !random_bytes(32, &made)) {
    made.clear();
    return false;
  }
  *key = made;
  return true;
}

bool sources_write(const std::string& path, const std::string& old, const std::string& bytes, std::string* why) {
  // A link stays a link: the new file goes beside its target and over it.
  std::string target = file_link_target(path);
  return file_write_like(path + ".bak.tmp", old, path, why) && file_move_over(path + ".bak.tmp", path + ".bak", why) &&
         file_write_like(target + ".tmp", bytes, target, why) && file_move_over(target + ".tmp", target, why);
}
