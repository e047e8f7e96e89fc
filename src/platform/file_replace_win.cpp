#include "file_replace.h"

#include <windows.h>

#include <string>

// The A functions take the path as the process's code page has it: UTF-8
// under the tool's manifest, as for every other path the tool opens.
bool file_replace(const char* path, const uint8_t* data, size_t size) {
  std::string tmp = std::string(path) + ".tmp";
  HANDLE f = CreateFileA(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  for (size_t done = 0; ok && done < size;) {
    DWORD want = size - done > 0x40000000 ? 0x40000000 : (DWORD)(size - done);
    DWORD wrote = 0;
    ok = WriteFile(f, data + done, want, &wrote, nullptr) && wrote > 0;
    done += wrote;
  }
  if (!CloseHandle(f)) ok = false;
  // A reader that holds the file open without delete sharing makes the
  // replacement fail: that picture is skipped, the next one tried anew.
  if (ok && MoveFileExA(tmp.c_str(), path, MOVEFILE_REPLACE_EXISTING)) return true;
  DeleteFileA(tmp.c_str());
  return false;
}

bool file_rename(const char* from, const char* to) {
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}
