#include <cerrno>
#include <cstring>

#include "http/status_socket.h"

void status_listen_options(socket_t sock) {
  int yes = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

void status_send_now(socket_t sock, const std::string& text) {
  (void)send(sock, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  shutdown(sock, SHUT_WR);
  char drain[4096];
  while (recv(sock, drain, sizeof drain, MSG_DONTWAIT) > 0) {
  }
}

std::string status_socket_error() { return std::strerror(errno); }

std::string status_lookup_error(int code) { return gai_strerror(code); }
