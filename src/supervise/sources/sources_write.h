// The sources file written from the status page: checked by the reader that
// reads it at start, written whole beside the old one and renamed over it,
// the old one kept as <file>.bak. sources_write.cpp.
#pragma once
#include <string>

// The version of the file whose bytes these are (a hash of them, as hex): a
// change names the version it was made on, and a file changed since is not
// overwritten.
std::string sources_version(const std::string& bytes);

// Writes bytes over the sources file at path, whose bytes are now old: the
// old ones to <path>.bak, then the new ones through <path>.tmp, each with the
// access of the file at path. False with *why (nothing written at path then).
// The caller has checked bytes with sources_parse.
bool sources_write(const std::string& path, const std::string& old, const std::string& bytes, std::string* why);
