#include "http/status_socket.h"  // first: it brings winsock2.h before windows.h

#include <string>

void status_listen_options(socket_t sock) {
  BOOL yes = TRUE;
  setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof yes);
}

namespace {

// The system's message for code, without its closing full stop and line end.
std::string message_text(DWORD code) {
  char text[512] = "";
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                           sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.' || text[n - 1] == ' ')) --n;
  if (n == 0) return "error " + std::to_string(code);
  return std::string(text, n);
}

}  // namespace

// The socket is switched to non-blocking for this: Windows has no flag for one call.
void status_send_now(socket_t sock, const std::string& text) {
  u_long yes = 1;
  ioctlsocket(sock, FIONBIO, &yes);
  (void)send(sock, text.data(), static_cast<int>(text.size()), 0);
  shutdown(sock, SD_SEND);
  char drain[4096];
  while (recv(sock, drain, sizeof drain, 0) > 0) {
  }
}

std::string status_socket_error() { return message_text(static_cast<DWORD>(WSAGetLastError())); }

// getaddrinfo's codes are Winsock error codes.
std::string status_lookup_error(int code) { return message_text(static_cast<DWORD>(code)); }
