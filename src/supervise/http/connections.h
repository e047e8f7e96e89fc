// The limits on the status server's connections that the library lacks, put
// around it:
//  - 2 s for the whole request head and 10 s for a whole connection, however
//    it trickles: a table of the open connections and a thread that shuts down
//    each one still open at its deadline, which ends the read or write it is in;
//  - at most 8 connections at once from one client address (the socket's
//    peer, never a header), more closed at once unread, so that one slow
//    client cannot take every connection;
//  - at most 32 connections served at once. When all are taken, a client
//    address that holds none is still served: the address that holds the most
//    gives up its oldest idle connection (nothing sent for 2 s; with none
//    idle, the one silent the longest), so that a new client (a Prometheus, an
//    operator) is never locked out by a few that hold many. A client that
//    already holds one is answered 503 at once on the accepting thread with a
//    write that never waits: the library's task queue hook;
//  - a request head of at most 64 KiB and 100 header lines: the stream the
//    library reads through ends there, and the answer is 431 (a request line
//    cut off at that length is 414, as the library answers a long one).
// One request per connection: no idle connection is held open.
// connections.cpp.
#pragma once
#include "http/status_socket.h"  // first: each platform's socket headers, through httplib.h

#include <cstddef>

constexpr size_t kBodyMost = 64 * 1024;  // a request body, at most

// A server whose connections are served within the limits above (the
// library's own timeouts and routes are the caller's to set). Never deleted:
// its threads may still be serving while the program exits.
httplib::Server* connections_server();

// Once a server is bound: the thread that cuts off connections at their deadlines.
void connections_cut_start();

// On the connection's thread, when its head has been read: the connection
// now has the rest of its time, and a body may be read.
void connection_head_read();

// On the connection's thread: whether its head ran past the limits (the
// library then answers 400, which is 431).
bool connection_head_too_large();
