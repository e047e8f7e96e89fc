#include "file_hold.h"

#include <windows.h>

bool file_hold(const std::string& path, intptr_t* held) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  *held = (intptr_t)h;
  return true;
}

void file_release(intptr_t held) { CloseHandle((HANDLE)held); }
