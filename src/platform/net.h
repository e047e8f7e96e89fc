// Loopback TCP channels: the listeners the decoder connects to, and receives.
// net_posix.cpp and net_win.cpp implement it.
#pragma once
#include <cstdint>

#ifdef _WIN32
typedef uintptr_t socket_t;  // SOCKET
#else
typedef int socket_t;
#endif
extern const socket_t kInvalidSocket;

// Starts the socket layer (Winsock 2.2 on Windows); result ignored.
void net_startup();

// Opens a listener on 127.0.0.1 with a system-chosen port and a deep backlog,
// not inherited by child processes. Stores the port in *port on success.
socket_t listen_local(int32_t* port);

// Waits up to timeout_ms (30 s for the run) for a connection and accepts it,
// whoever made it (the run takes only the decoder's: see peer.h).
socket_t accept_timeout(socket_t listener, int timeout_ms = 30000);

// One receive of at most len bytes: >0 bytes read, 0 peer closed, <0 error.
// On Linux it is taken once all len bytes are waiting (or the stream ended or
// failed, or the socket's buffer is full, or the bytes stopped arriving for
// 100 to 200 ms), so that a whole picture costs one wake-up and one long copy
// instead of one per arriving segment. On Windows it takes whatever has arrived.
int32_t recv_gathered(socket_t s, void* buf, int32_t len);

// Takes at most len bytes of what has already arrived, never waiting: >0 bytes
// read, 0 when nothing is waiting, <0 when the peer closed or an error came.
int32_t recv_now(socket_t s, void* buf, int32_t len);

void close_socket(socket_t s);

// Ends a receive blocked on s in another thread and makes every later receive
// on s end at once, without closing s: the reader still holds its number, which
// the system could hand out again after a close.
void wake_socket(socket_t s);
