// Writing the sources file so that a reader sees the old file or the new one,
// never a part, and so that it stays readable by those who could read it
// before and by nobody else. file_write_posix.cpp and file_write_win.cpp.
#pragma once
#include <string>

// Writes bytes to path (created anew, replacing a file left there), flushed to
// the disk, with the owner, group and mode (POSIX) or the access list
// (Windows) of the file like. False with *why when any step fails; nothing
// is left at path then.
bool file_write_like(const std::string& path, const std::string& bytes, const std::string& like, std::string* why);

// Renames from over to, the rename itself flushed to the disk. False with *why.
bool file_move_over(const std::string& from, const std::string& to, std::string* why);

// The file that path names when path is a symbolic link, followed to its end
// (the link's own target may be a link); path itself when it is no link or
// cannot be followed. A new file renamed over the target leaves the link a
// link, as the one who made it meant.
std::string file_link_target(const std::string& path);
