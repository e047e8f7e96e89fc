#include "auth/password.h"

#include <argon2.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <vector>

#include "random_bytes.h"

namespace {
constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;
}  // namespace

std::string password_refusal(const std::string& password) {
  if (password.size() > kPasswordMostBytes) return "the password is longer than 1024 bytes";
  size_t chars = 0;  // UTF-8: every byte that does not continue a character
  for (unsigned char c : password) chars += (c & 0xC0) != 0x80;
  if (chars < kPasswordFewestChars) return "the password is shorter than 10 characters";
  return std::string();
}

bool password_hash(const std::string& password, std::string* encoded) {
  std::string salt;
  if (!random_bytes(kSaltBytes, &salt)) return false;
  std::vector<char> out(argon2_encodedlen(kPasswordPasses, kPasswordMemoryKiB, kPasswordLanes, kSaltBytes,
                                          kHashBytes, Argon2_id) + 1);
  int r = argon2id_hash_encoded(kPasswordPasses, kPasswordMemoryKiB, kPasswordLanes, password.data(),
                                password.size(), salt.data(), salt.size(), kHashBytes, out.data(), out.size());
  if (r != ARGON2_OK) return false;
  *encoded = out.data();
  return true;
}

bool password_verify(const std::string& encoded, const std::string& password) {
  static std::mutex& one = *new std::mutex;
  std::lock_guard<std::mutex> hold(one);
  return argon2id_verify(encoded.c_str(), password.data(), password.size()) == ARGON2_OK;
}

PasswordFile password_file_read(const std::string& path, std::string* encoded) {
  FILE* in = std::fopen(path.c_str(), "rb");
  if (!in) return errno == ENOENT ? PasswordFile::kNone : PasswordFile::kUnreadable;
  char line[512];
  bool got = std::fgets(line, sizeof line, in) != nullptr;
  std::fclose(in);
  if (!got) return PasswordFile::kUnreadable;
  *encoded = line;
  while (!encoded->empty() && (encoded->back() == '\n' || encoded->back() == '\r')) encoded->pop_back();
  return PasswordFile::kRead;
}
