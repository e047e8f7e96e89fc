// Windows path text shared by the runtime loader and the start-up code.
#pragma once
#include <string>

// A drive-rooted ("C:\x") or UNC ("\\server\x") directory. "x", ".\x", "\x"
// and "C:x" all depend on the current directory (or drive), which neither the
// runtime nor the decoder is ever taken from.
inline bool win_absolute_dir(const std::string& dir) {
  bool sep0 = !dir.empty() && (dir[0] == '\\' || dir[0] == '/');
  bool sep1 = dir.size() > 1 && (dir[1] == '\\' || dir[1] == '/');
  bool drive = dir.size() > 2 && dir[1] == ':' && (dir[2] == '\\' || dir[2] == '/');
  return drive || (sep0 && sep1);
}
