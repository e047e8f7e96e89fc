#include "stdout_write.h"

#include <windows.h>

bool stdout_write(const char* data, size_t len) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  size_t done = 0;
  while (done < len) {
    DWORD wrote = 0;
    if (!WriteFile(out, data + done, (DWORD)(len - done), &wrote, nullptr)) return false;
    done += wrote;
  }
  return true;
}
