// The peer of a loopback channel on Linux, from /proc.
//
// The kernel lists every TCP connection's end in /proc/net/tcp (and, for an
// IPv6 socket reaching 127.0.0.1 through a v4-mapped address, /proc/net/tcp6)
// with the inode of the socket that holds it. The peer's end is the row whose
// local address is the connection's peer address and whose remote address is
// the tool's side. Its socket belongs to the decoder when the inode is among
// the open files of the decoder or of a process descending from it (a wrapper
// script that runs ffmpeg as its child, for example).
//
// An end whose socket has been closed keeps its row but loses its inode (0): a
// process that connects, writes and closes at once cannot be told from the
// decoder, so it is refused like any other foreign connection.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "peer.h"
#include "process.h"

// An address as the kernel prints it: 32-bit words in hexadecimal, each the
// host-order value of four address bytes. Copying each word back in host order
// gives the bytes.
static bool parse_kernel_addr(const char* hex, size_t hex_len, uint8_t* out, size_t out_len) {
  if (hex_len != out_len * 2) return false;
  for (size_t w = 0; w < out_len / 4; ++w) {
    char word[9];
    memcpy(word, hex + w * 8, 8);
    word[8] = 0;
    char* end = nullptr;
    uint32_t v = (uint32_t)strtoul(word, &end, 16);
    if (end != word + 8) return false;
    memcpy(out + w * 4, &v, 4);
  }
  return true;
}

// The inode of the socket holding the end (local, remote) in one table file;
// addresses are addr_len bytes in network order, ports in host order. Returns
// false when no row matches.
static bool find_end_inode(const char* table, const uint8_t* local, const uint8_t* remote, size_t addr_len,
                           unsigned local_port, unsigned remote_port, unsigned long* inode) {
  FILE* f = fopen(table, "re");
  if (!f) return false;
  char line[512];
  bool found = false;
  if (fgets(line, sizeof line, f)) {  // the header line
    while (!found && fgets(line, sizeof line, f)) {
      char la[33], ra[33];
      unsigned lp, rp, state;
      unsigned long ino;
      if (sscanf(line, " %*u: %32[0-9A-Fa-f]:%x %32[0-9A-Fa-f]:%x %x %*x:%*x %*x:%*x %*x %*u %*u %lu", la, &lp, ra,
                 &rp, &state, &ino) != 6) {
        continue;
      }
      uint8_t lb[16], rb[16];
      if (lp != local_port || rp != remote_port || !parse_kernel_addr(la, strlen(la), lb, addr_len) ||
          !parse_kernel_addr(ra, strlen(ra), rb, addr_len)) {
        continue;
      }
      if (memcmp(lb, local, addr_len) == 0 && memcmp(rb, remote, addr_len) == 0) {
        *inode = ino;
        found = true;
      }
    }
  }
  fclose(f);
  return found;
}

static bool holds_socket(pid_t pid, const std::string& link_text) {
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(dir.c_str());
  if (!d) return false;
  bool held = false;
  char target[64];
  while (!held) {
    dirent* e = readdir(d);
    if (!e) break;
    if (e->d_name[0] == '.') continue;
    std::string link = dir + "/" + e->d_name;
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = 0;
    held = link_text == target;
  }
  closedir(d);
  return held;
}

// Every process's parent, from /proc/<pid>/stat (the field after the command
// name, which is in parentheses and may itself hold spaces and parentheses).
static void parents(std::vector<std::pair<pid_t, pid_t>>* out) {
  DIR* d = opendir("/proc");
  if (!d) return;
  while (dirent* e = readdir(d)) {
    char* end = nullptr;
    long pid = strtol(e->d_name, &end, 10);
    if (pid <= 0 || *end) continue;
    std::string path = std::string("/proc/") + e->d_name + "/stat";
    FILE* f = fopen(path.c_str(), "re");
    if (!f) continue;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = 0;
    const char* paren = strrchr(buf, ')');
    long ppid = 0;
    if (paren && sscanf(paren + 1, " %*c %ld", &ppid) == 1) out->emplace_back((pid_t)pid, (pid_t)ppid);
  }
  closedir(d);
}

bool peer_is_decoder(socket_t connection) {
  pid_t decoder = (pid_t)child_pid();
  if (decoder <= 0) return false;
  sockaddr_in own = {}, peer = {};
  socklen_t own_len = sizeof own, peer_len = sizeof peer;
  if (getsockname(connection, (sockaddr*)&own, &own_len) != 0 || own.sin_family != AF_INET ||
      getpeername(connection, (sockaddr*)&peer, &peer_len) != 0 || peer.sin_family != AF_INET) {
    return false;
  }

  unsigned long inode = 0;
  bool found = find_end_inode("/proc/net/tcp", (const uint8_t*)&peer.sin_addr, (const uint8_t*)&own.sin_addr, 4,
                              ntohs(peer.sin_port), ntohs(own.sin_port), &inode);
  if (!found) {
    uint8_t peer6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    uint8_t own6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    memcpy(peer6 + 12, &peer.sin_addr, 4);
    memcpy(own6 + 12, &own.sin_addr, 4);
    found = find_end_inode("/proc/net/tcp6", peer6, own6, 16, ntohs(peer.sin_port), ntohs(own.sin_port), &inode);
  }
  if (!found || inode == 0) return false;

  const std::string link_text = "socket:[" + std::to_string(inode) + "]";
  if (holds_socket(decoder, link_text)) return true;
  // The decoder's descendants, found by parent pid, breadth first.
  std::vector<std::pair<pid_t, pid_t>> all;
  parents(&all);
  std::vector<pid_t> family = {decoder};
  for (size_t i = 0; i < family.size(); ++i) {
    for (const auto& pp : all) {
      if (pp.second != family[i] || pp.first == decoder) continue;
      if (holds_socket(pp.first, link_text)) return true;
      family.push_back(pp.first);
    }
  }
  return false;
}
