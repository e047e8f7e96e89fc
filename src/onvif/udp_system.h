// What udp.cpp needs of the system's sockets, beneath the one receive loop
// and the address texts every platform shares. udp_posix.cpp and udp_win.cpp
// implement it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "udp.h"

// Waits up to timeout_ms (0 or more) until some of the sockets have a
// datagram; false when none has. *ready gets those that have, in the order given.
bool udp_wait(const std::vector<UdpSocket*>& sockets, int timeout_ms, std::vector<UdpSocket*>* ready);

// Takes one datagram of s into buffer, cut at size: its length, with its
// sender in *from, or -1 when the receive failed (*from untouched).
long udp_take(UdpSocket* s, char* buffer, size_t size, uint32_t* from);
