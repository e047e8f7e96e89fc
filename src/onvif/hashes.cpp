#include "hashes.h"

#include <nettle/base64.h>
#include <nettle/md5.h>
#include <nettle/sha1.h>
#include <nettle/sha2.h>

namespace {

// The digest of data by one of nettle's hashes; each has the same three
// calls on a context of its own.
template <size_t kSize, typename Context>
std::string digest(const std::string& data, void (*init)(Context*),
                   void (*update)(Context*, size_t, const uint8_t*), void (*finish)(Context*, size_t, uint8_t*)) {
  Context ctx;
  uint8_t out[kSize];
  init(&ctx);
  update(&ctx, data.size(), reinterpret_cast<const uint8_t*>(data.data()));
  finish(&ctx, sizeof out, out);
  return std::string(reinterpret_cast<const char*>(out), sizeof out);
}

std::string hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

}  // namespace

std::string sha1_raw(const std::string& data) {
  return digest<SHA1_DIGEST_SIZE>(data, sha1_init, sha1_update, sha1_digest);
}

std::string md5_hex(const std::string& data) {
  return hex(digest<MD5_DIGEST_SIZE>(data, md5_init, md5_update, md5_digest));
}

std::string sha256_hex(const std::string& data) {
  return hex(digest<SHA256_DIGEST_SIZE>(data, sha256_init, sha256_update, sha256_digest));
}

std::string base64_encode(const std::string& data) {
  std::string out(BASE64_ENCODE_RAW_LENGTH(data.size()), '\0');
  base64_encode_raw(reinterpret_cast<char*>(&out[0]), data.size(),
                    reinterpret_cast<const uint8_t*>(data.data()));
  return out;
}
