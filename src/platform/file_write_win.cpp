#include <windows.h>
// After windows.h.
#include <aclapi.h>

#include "file_write.h"

namespace {

std::string error_text(DWORD code) { return "error " + std::to_string(code); }

}  // namespace

// The A functions take the path as the process's code page has it: UTF-8
// under the supervisor's manifest, as for every other path it opens.
bool file_write_like(const std::string& path, const std::string& bytes, const std::string& like, std::string* why) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  DWORD got = GetNamedSecurityInfoA(like.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    &dacl, nullptr, &sd);
  if (got != ERROR_SUCCESS) {
    *why = "cannot read the access list of " + like + ": " + error_text(got);
    return false;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(sd, &control, &revision);
  HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE | WRITE_DAC | READ_CONTROL, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) {
    *why = "cannot create " + path + ": " + error_text(GetLastError());
    LocalFree(sd);
    return false;
  }
  // The old file's access list, protected from the folder's as it was.
  SECURITY_INFORMATION which = DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED)
                                                                ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                : UNPROTECTED_DACL_SECURITY_INFORMATION);
  DWORD set = SetSecurityInfo(f, SE_FILE_OBJECT, which, nullptr, nullptr, dacl, nullptr);
  LocalFree(sd);
  bool ok = set == ERROR_SUCCESS;
  std::string step = ok ? "write" : "keep the access list of";
  DWORD err = set;
  for (size_t done = 0; ok && done < bytes.size();) {
    DWORD want = bytes.size() - done > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size() - done);
    DWORD wrote = 0;
    ok = WriteFile(f, bytes.data() + done, want, &wrote, nullptr) && wrote > 0;
    if (!ok) err = GetLastError();
    done += wrote;
  }
  if (ok && !FlushFileBuffers(f)) {
    ok = false;
    err = GetLastError();
    step = "flush";
  }
  CloseHandle(f);
  if (ok) return true;
  *why = "cannot " + step + " " + path + ": " + error_text(err);
  DeleteFileA(path.c_str());
  return false;
}

bool file_move_over(const std::string& from, const std::string& to, std::string* why) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  *why = "cannot rename " + from + " to " + to + ": " + error_text(GetLastError());
  DeleteFileA(from.c_str());
  return false;
}

std::string file_link_target(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return path;
  // Opened through the link: the handle is the target's.
  HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return path;
  char buf[MAX_PATH * 4];
  DWORD n = GetFinalPathNameByHandleA(h, buf, sizeof buf, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  CloseHandle(h);
  if (n == 0 || n >= sizeof buf) return path;
  return std::string(buf, n);
}
