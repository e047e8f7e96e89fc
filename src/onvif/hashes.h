// The digests the cameras' two password schemes need (WS-UsernameToken:
// SHA-1 and Base64; HTTP Digest: MD5 or SHA-256 in hex), from nettle, built
// from Debian's source package into every target (cmake/third_party.cmake).
#pragma once
#include <string>

std::string sha1_raw(const std::string& data);  // 20 bytes
std::string md5_hex(const std::string& data);
std::string sha256_hex(const std::string& data);
std::string base64_encode(const std::string& data);
