#include <cerrno>
#include <cstring>

#include "status_socket.h"

void status_listen_options(socket_t sock) {
  int yes = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

std::string status_socket_error() { return std::strerror(errno); }

std::string status_lookup_error(int code) { return gai_strerror(code); }
