#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "decoder_test_util.h"

extern char** environ;

int64_t spawn_plain(const std::vector<std::string>& argv) {
  std::vector<char*> v;
  for (const std::string& a : argv) v.push_back(const_cast<char*>(a.c_str()));
  v.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, v[0], nullptr, nullptr, v.data(), environ) != 0) return -1;
  return pid;
}

void kill_plain(int64_t handle) {
  kill((pid_t)handle, SIGKILL);
  int status;
  waitpid((pid_t)handle, &status, 0);
}

// Gone means no /proc entry, or a zombie nobody has collected yet.
static bool process_gone(uint32_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  if (!f) return true;
  std::string line;
  std::getline(f, line);
  size_t paren = line.rfind(')');
  return paren == std::string::npos || paren + 2 >= line.size() || line[paren + 2] == 'Z' ||
         line[paren + 2] == 'X';
}

bool wait_process_gone(uint32_t pid, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (process_gone(pid)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    sleep_ms(5);
  }
}

socket_t connect_local(int32_t port) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (s < 0) return kInvalidSocket;
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons((uint16_t)port);
  if (connect(s, (sockaddr*)&a, sizeof a) != 0) {
    close(s);
    return kInvalidSocket;
  }
  return s;
}

bool send_all(socket_t s, const void* data, size_t len) {
  const char* p = (const char*)data;
  while (len > 0) {
    ssize_t n = send(s, p, len, MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n;
    len -= (size_t)n;
  }
  return true;
}

void set_env(const char* name, const char* value) { setenv(name, value, 1); }
