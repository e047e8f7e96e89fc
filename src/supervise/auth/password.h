// The status page's password: kept only as an Argon2id hash in its standard
// encoded string ($argon2id$v=19$m=19456,t=2,p=1$salt$hash), in a file of its
// own that is read at each login, so that a new password needs no restart.
// password.cpp; the file's access and the terminal are password_io.h's.
#pragma once
#include <string>

// Memory in KiB (19 MiB), passes and lanes of every hash made here.
constexpr unsigned kPasswordMemoryKiB = 19 * 1024;
constexpr unsigned kPasswordPasses = 2;
constexpr unsigned kPasswordLanes = 1;
constexpr size_t kPasswordFewestChars = 10;
constexpr size_t kPasswordMostBytes = 1024;

// Empty when the password may be used; else why not (a sentence).
std::string password_refusal(const std::string& password);

// The encoded hash of password with a new random salt; false when the system
// gives no random bytes or the hash cannot be made.
bool password_hash(const std::string& password, std::string* encoded);

// Whether password is the one encoded hashes. One check at a time in the
// whole process: each takes 19 MiB. The library compares in constant time.
bool password_verify(const std::string& encoded, const std::string& password);

enum class PasswordFile { kNone, kRead, kUnreadable };
// The hash the file holds (its first line). kNone: there is no file, so no
// password is set.
PasswordFile password_file_read(const std::string& path, std::string* encoded);
