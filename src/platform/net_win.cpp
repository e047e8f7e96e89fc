// Loopback channels on Windows (Winsock 2.2). Sockets are made
// non-inheritable even though the decoder is started with inheritance off, so
// that no other child of the tool can hold a listener or a connection.
#include "net.h"

#include <winsock2.h>
#include <windows.h>

const socket_t kInvalidSocket = INVALID_SOCKET;

void net_startup() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
}

static void not_inherited(SOCKET s) { SetHandleInformation((HANDLE)s, HANDLE_FLAG_INHERIT, 0); }

socket_t listen_local(int32_t* port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  not_inherited(s);
  sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;  // the system picks a free port
  int len = sizeof addr;
  // A deep backlog keeps the decoder's connection from being dropped behind a
  // burst of foreign ones, each of which is accepted and closed in turn.
  if (bind(s, (sockaddr*)&addr, sizeof addr) != 0 || listen(s, SOMAXCONN) != 0 ||
      getsockname(s, (sockaddr*)&addr, &len) != 0) {
    closesocket(s);
    return kInvalidSocket;
  }
  *port = (int32_t)ntohs(addr.sin_port);
  return s;
}

socket_t accept_timeout(socket_t listener, int timeout_ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET((SOCKET)listener, &readable);
  timeval tv;
  tv.tv_sec = timeout_ms / 1000;
  tv.tv_usec = (timeout_ms % 1000) * 1000;
  if (select(0, &readable, nullptr, nullptr, &tv) <= 0) return kInvalidSocket;
  SOCKET c = accept((SOCKET)listener, nullptr, nullptr);
  if (c != INVALID_SOCKET) not_inherited(c);
  return c;
}

// Winsock has no settable receive low-water mark, so a receive takes what has
// arrived.
int32_t recv_gathered(socket_t s, void* buf, int32_t len) { return recv((SOCKET)s, (char*)buf, len, 0); }

int32_t recv_now(socket_t s, void* buf, int32_t len) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET((SOCKET)s, &readable);
  timeval now = {0, 0};
  int ready = select(0, &readable, nullptr, nullptr, &now);
  if (ready == 0) return 0;
  if (ready < 0) return -1;
  int n = recv((SOCKET)s, (char*)buf, len, 0);
  return n > 0 ? n : -1;
}

void close_socket(socket_t s) { closesocket((SOCKET)s); }

// shutdown alone does not end a recv already blocked in another thread (Wine 8
// was measured; Windows documents no such effect), but it makes every later
// receive fail at once; CancelIoEx then ends one that is blocked (error 995).
// In this order no receive can slip between the two.
void wake_socket(socket_t s) {
  shutdown((SOCKET)s, SD_RECEIVE);
  CancelIoEx((HANDLE)s, nullptr);
}
