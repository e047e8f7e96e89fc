#include <winsock2.h>
#include <windows.h>

#include "decoder_test_util.h"
#include "win_cmdline.h"

int64_t spawn_plain(const std::vector<std::string>& argv) {
  std::vector<const char*> v;
  for (const std::string& a : argv) v.push_back(a.c_str());
  v.push_back(nullptr);
  std::string line;
  if (!join_win_cmdline(v.data(), &line)) return -1;
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
  CloseHandle(pi.hThread);
  return (int64_t)(intptr_t)pi.hProcess;
}

void kill_plain(int64_t handle) {
  HANDLE h = (HANDLE)(intptr_t)handle;
  TerminateProcess(h, 9);
  WaitForSingleObject(h, INFINITE);
  CloseHandle(h);
}

bool wait_process_gone(uint32_t pid, int timeout_ms) {
  HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (!h) return true;
  bool gone = WaitForSingleObject(h, (DWORD)timeout_ms) == WAIT_OBJECT_0;
  CloseHandle(h);
  return gone;
}

socket_t connect_local(int32_t port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons((u_short)port);
  if (connect(s, (sockaddr*)&a, sizeof a) != 0) {
    closesocket(s);
    return kInvalidSocket;
  }
  return s;
}

bool send_all(socket_t s, const void* data, size_t len) {
  const char* p = (const char*)data;
  while (len > 0) {
    int n = send((SOCKET)s, p, (int)len, 0);
    if (n <= 0) return false;
    p += n;
    len -= (size_t)n;
  }
  return true;
}

void set_env(const char* name, const char* value) { SetEnvironmentVariableA(name, value); }
