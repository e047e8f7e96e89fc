#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h before windows.h (through iphlpapi.h), which would bring the old Winsock.
#include <iphlpapi.h>
#include <mswsock.h>

#include <vector>

#include "udp_system.h"

struct UdpSocket {
  SOCKET s = INVALID_SOCKET;
  uint32_t address = 0;
};

void UdpSocketDeleter::operator()(UdpSocket* s) const {
  if (s->s != INVALID_SOCKET) closesocket(s->s);
  delete s;
}

bool ipv4_interfaces(std::vector<Ipv4Interface>* out, std::string* why) {
  ULONG size = 16384;
  std::vector<unsigned char> buf;
  ULONG r = ERROR_BUFFER_OVERFLOW;
  for (int tries = 0; tries < 4 && r == ERROR_BUFFER_OVERFLOW; tries++) {
    buf.resize(size);
    r = GetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                             nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()), &size);
  }
  if (r == ERROR_NO_DATA) return true;
  if (r != NO_ERROR) {
    *why = "the network interfaces could not be listed (error " + std::to_string(r) + ")";
    return false;
  }
  for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()); a; a = a->Next) {
    if (a->OperStatus != IfOperStatusUp) continue;
    for (auto* u = a->FirstUnicastAddress; u; u = u->Next) {
      if (!u->Address.lpSockaddr || u->Address.lpSockaddr->sa_family != AF_INET) continue;
      Ipv4Interface f;
      f.multicast = (a->Flags & IP_ADAPTER_NO_MULTICAST) == 0;
      f.name = a->AdapterName ? a->AdapterName : "";
      f.address = ntohl(reinterpret_cast<sockaddr_in*>(u->Address.lpSockaddr)->sin_addr.s_addr);
      unsigned bits = u->OnLinkPrefixLength > 32 ? 32 : u->OnLinkPrefixLength;
      f.netmask = bits == 0 ? 0 : ~uint32_t(0) << (32 - bits);
      out->push_back(f);
    }
  }
  return true;
}

UdpSocketPtr udp_open(uint32_t bind_address, std::string* why) {
  UdpSocketPtr s(new UdpSocket);
  s->s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  s->address = bind_address;
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(bind_address);
  if (s->s == INVALID_SOCKET || bind(s->s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    *why = "no UDP socket (error " + std::to_string(WSAGetLastError()) + ")";
    return nullptr;
  }
  // An earlier unicast Probe's port-unreachable report would otherwise fail
  // the next receive.
  BOOL report = FALSE;
  DWORD bytes = 0;
  WSAIoctl(s->s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &bytes, nullptr, nullptr);
  DWORD ttl = 1;
  setsockopt(s->s, IPPROTO_IP, IP_MULTICAST_TTL, reinterpret_cast<const char*>(&ttl), sizeof ttl);
  return s;
}

bool udp_send(UdpSocket* s, uint32_t address, uint16_t port, const std::string& data) {
  if (s->address && (address >> 28) == 0xE) {
    in_addr a = {};
    a.s_addr = htonl(s->address);
    setsockopt(s->s, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&a), sizeof a);
  }
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(address);
  to.sin_port = htons(port);
  return sendto(s->s, data.data(), static_cast<int>(data.size()), 0, reinterpret_cast<sockaddr*>(&to),
                sizeof to) == static_cast<int>(data.size());
}

long udp_take(UdpSocket* s, char* buffer, size_t size, uint32_t* from) {
  sockaddr_in src = {};
  int len = sizeof src;
  int n = recvfrom(s->s, buffer, static_cast<int>(size), 0, reinterpret_cast<sockaddr*>(&src), &len);
  if (n >= 0) *from = ntohl(src.sin_addr.s_addr);
  return n < 0 ? -1 : n;
}

bool udp_wait(const std::vector<UdpSocket*>& sockets, int timeout_ms, std::vector<UdpSocket*>* ready) {
  std::vector<WSAPOLLFD> polls;
  for (UdpSocket* s : sockets) {
    WSAPOLLFD p = {};
    p.fd = s->s;
    p.events = POLLRDNORM;
    polls.push_back(p);
  }
  if (WSAPoll(polls.data(), static_cast<ULONG>(polls.size()), timeout_ms) <= 0) return false;
  for (size_t i = 0; i < polls.size(); i++)
    if (polls[i].revents & POLLRDNORM) ready->push_back(sockets[i]);
  return true;
}
