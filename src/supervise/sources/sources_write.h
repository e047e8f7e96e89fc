// The sources file written from the status page: checked by the reader that
// reads it at start, written whole beside the old one and renamed over it,
// the old one kept as <file>.bak. sources_write.cpp.
#pragma once
#include <string>

// The version of the file whose bytes these are: a change names the version
// it was made on, and a file changed since is not overwritten. HMAC-SHA-256
// of the bytes under key, 64 bits of it as hex: the bytes hold passwords,
// and a plain hash would let anyone who can guess the rest of them test
// guesses of a password against the version the API shows.
std::string sources_version(const std::string& bytes, const std::string& key);

// The key of this process's versions: 32 random bytes made at the first call
// and kept in memory only, so that a restart changes every version (a change
// made on an older one is then refused, as after any other change). False
// when the system gives no random bytes.
bool sources_version_key(std::string* key);

// Writes bytes over the sources file at path, whose bytes are now old: the
// old ones to <path>.bak, then the new ones through <path>.tmp, each with the
// access of the file at path. When path is a symbolic link, the new file is
// written beside the link's target and renamed over that: the link stays. False with *why (nothing written at path then).
// The caller has checked bytes with sources_parse.
bool sources_write(const std::string& path, const std::string& old, const std::string& bytes, std::string* why);
