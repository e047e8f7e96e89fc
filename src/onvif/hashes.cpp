#include "hashes.h"

#include <nettle/base64.h>
#include <nettle/md5.h>
#include <nettle/sha1.h>
#include <nettle/sha2.h>

static std::string hex(const uint8_t* bytes, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; i++) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

std::string sha1_raw(const std::string& data) {
  sha1_ctx ctx;
  uint8_t digest[SHA1_DIGEST_SIZE];
  sha1_init(&ctx);
  sha1_update(&ctx, data.size(), reinterpret_cast<const uint8_t*>(data.data()));
  sha1_digest(&ctx, sizeof digest, digest);
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

std::string md5_hex(const std::string& data) {
  md5_ctx ctx;
  uint8_t digest[MD5_DIGEST_SIZE];
  md5_init(&ctx);
  md5_update(&ctx, data.size(), reinterpret_cast<const uint8_t*>(data.data()));
  md5_digest(&ctx, sizeof digest, digest);
  return hex(digest, sizeof digest);
}

std::string sha256_hex(const std::string& data) {
  sha256_ctx ctx;
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_init(&ctx);
  sha256_update(&ctx, data.size(), reinterpret_cast<const uint8_t*>(data.data()));
  sha256_digest(&ctx, sizeof digest, digest);
  return hex(digest, sizeof digest);
}

std::string base64_encode(const std::string& data) {
  std::string out(BASE64_ENCODE_RAW_LENGTH(data.size()), '\0');
  base64_encode_raw(reinterpret_cast<char*>(&out[0]), data.size(),
                    reinterpret_cast<const uint8_t*>(data.data()));
  return out;
}
