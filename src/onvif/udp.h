// The datagrams of WS-Discovery: the IPv4 interfaces a Probe can go out of,
// and UDP sockets bound to each, which send it and take the answers.
// udp_posix.cpp and udp_win.cpp implement the system's part, udp.cpp the rest
// over udp_system.h. Addresses are in host order.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct Ipv4Interface {
  std::string name;
  uint32_t address = 0, netmask = 0;
  bool multicast = false;  // a Probe can go out of it
};

// The IPv4 interfaces that are up; false with *why when the system cannot
// list them.
bool ipv4_interfaces(std::vector<Ipv4Interface>* out, std::string* why);

// Whether address is on a network of one of interfaces, or on loopback.
bool ipv4_on_networks(uint32_t address, const std::vector<Ipv4Interface>& interfaces);

struct UdpSocket;  // udp_posix.cpp, udp_win.cpp
struct UdpSocketDeleter {
  void operator()(UdpSocket* s) const;
};
using UdpSocketPtr = std::unique_ptr<UdpSocket, UdpSocketDeleter>;

// A socket on an ephemeral port of the given address (0: every address);
// null with *why. Multicast from it has a time to live of 1 (the local segment).
UdpSocketPtr udp_open(uint32_t bind_address, std::string* why);

// Sends data to address:port. Multicast goes out of the interface that owns
// the socket's address: Linux picks that interface by the bound address alone
// (the way that also works under an emulator without IP_MULTICAST_IF), and
// IP_MULTICAST_IF says it wherever the system takes it.
bool udp_send(UdpSocket* s, uint32_t address, uint16_t port, const std::string& data);

// Waits up to timeout_ms for one datagram (at most 64 KiB) on any of the
// sockets; false when none came.
bool udp_receive(const std::vector<UdpSocket*>& sockets, int timeout_ms, std::string* data, uint32_t* from);

// Text of an address and back (dotted quad); false for anything else.
std::string ipv4_text(uint32_t address);
bool ipv4_read(const std::string& text, uint32_t* address);
