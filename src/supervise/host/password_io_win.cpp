#include "host/password_io.h"

#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>

#include <cstdio>
#include <iostream>

bool password_io_write(const std::string& path, const std::string& text, std::string* why) {
  std::string tmp = path + ".tmp";
  // An access list of its own, none inherited: ProgramData lets every user
  // read what is in it. Administrators and SYSTEM may do anything, the
  // service's account (Local Service) and the file's owner may read it.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;FR;;;LS)(A;;FA;;;OW)",
                                                            SDDL_REVISION_1, &descriptor, nullptr)) {
    *why = "cannot make the password file's access list (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  SECURITY_ATTRIBUTES access = {sizeof access, descriptor, FALSE};
  DeleteFileA(tmp.c_str());
  HANDLE h = CreateFileA(tmp.c_str(), GENERIC_WRITE, 0, &access, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  LocalFree(descriptor);
  if (h == INVALID_HANDLE_VALUE) {
    *why = "cannot write " + tmp + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  DWORD written = 0;
  bool ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
            written == text.size() && FlushFileBuffers(h);
  CloseHandle(h);
  if (ok && MoveFileExA(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  *why = "cannot write " + path + " (error " + std::to_string(GetLastError()) + ")";
  DeleteFileA(tmp.c_str());
  return false;
}

bool password_io_terminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

bool password_io_ask(const char* prompt, std::string* line) {
  // Echo off before the prompt, so that nothing typed after it is shown.
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD old = 0;
  bool quiet = GetConsoleMode(in, &old) != 0;
  if (quiet) SetConsoleMode(in, old & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  std::fputs(prompt, stderr);
  std::fflush(stderr);
  bool got = static_cast<bool>(std::getline(std::cin, *line));
  if (quiet) {
    SetConsoleMode(in, old);
    std::fputs("\n", stderr);
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return got;
}
