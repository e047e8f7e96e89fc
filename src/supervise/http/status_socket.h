// The status server's socket calls that differ between systems.
// status_socket_posix.cpp and status_socket_win.cpp implement it.
#pragma once
#include <httplib.h>

#include <string>

// Options of the listening socket, set before it binds: the address may be
// taken again at once after a restart (POSIX), and never while another
// program holds it (Windows, where SO_REUSEADDR would let it be shared).
void status_listen_options(socket_t sock);

// Writes text (a short answer) only as far as the socket takes it without
// waiting, then stops sending and reads what the client has already sent, so
// that closing it after does not reset the connection under the answer.
void status_send_now(socket_t sock, const std::string& text);

// The error of the last socket call on this thread, as text.
std::string status_socket_error();

// The text of a getaddrinfo or getnameinfo error code.
std::string status_lookup_error(int code);
