// Windows path text shared by the runtime loader and the start-up code.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// A drive-rooted ("C:\x") or UNC ("\\server\x") directory. "x", ".\x", "\x"
// and "C:x" all depend on the current directory (or drive), which neither the
// runtime nor the decoder is ever taken from.
inline bool win_absolute_dir(const std::string& dir) {
  bool sep0 = !dir.empty() && (dir[0] == '\\' || dir[0] == '/');
  bool sep1 = dir.size() > 1 && (dir[1] == '\\' || dir[1] == '/');
  bool drive = dir.size() > 2 && dir[1] == ':' && (dir[2] == '\\' || dir[2] == '/');
  return drive || (sep0 && sep1);
}

// The absolute entries of the process's PATH, in order. *dropped (when given)
// tells whether PATH held any other entry, empty ones included.
inline std::vector<std::string> win_absolute_path_entries(bool* dropped) {
  std::vector<std::string> kept;
  if (dropped) *dropped = false;
  DWORD size = GetEnvironmentVariableA("PATH", nullptr, 0);
  if (size == 0) return kept;
  std::string path(size, '\0');
  DWORD len = GetEnvironmentVariableA("PATH", &path[0], size);
  if (len == 0 || len >= size) return kept;
  path.resize(len);
  for (size_t start = 0; start <= path.size();) {
    size_t end = path.find(';', start);
    if (end == std::string::npos) end = path.size();
    std::string dir = path.substr(start, end - start);
    if (win_absolute_dir(dir)) {
      kept.push_back(dir);
    } else if (dropped) {
      *dropped = true;
    }
    start = end + 1;
  }
  return kept;
}
