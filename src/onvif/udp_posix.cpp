#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "udp_system.h"

struct UdpSocket {
  int fd = -1;
  uint32_t address = 0;
};

void UdpSocketDeleter::operator()(UdpSocket* s) const {
  if (s->fd >= 0) close(s->fd);
  delete s;
}

bool ipv4_interfaces(std::vector<Ipv4Interface>* out, std::string* why) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    *why = std::string("the network interfaces could not be listed: ") + std::strerror(errno);
    return false;
  }
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    if (!(i->ifa_flags & IFF_UP)) continue;
    Ipv4Interface f;
    f.multicast = (i->ifa_flags & IFF_MULTICAST) != 0;
    f.name = i->ifa_name;
    f.address = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
    f.netmask = i->ifa_netmask ? ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr) : 0;
    out->push_back(f);
  }
  freeifaddrs(list);
  return true;
}

UdpSocketPtr udp_open(uint32_t bind_address, std::string* why) {
  UdpSocketPtr s(new UdpSocket);
  s->fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  s->address = bind_address;
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(bind_address);
  if (s->fd < 0 || bind(s->fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    *why = std::string("no UDP socket: ") + std::strerror(errno);
    return nullptr;
  }
  unsigned char ttl = 1;
  setsockopt(s->fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
  return s;
}

bool udp_send(UdpSocket* s, uint32_t address, uint16_t port, const std::string& data) {
  if (s->address && (address >> 28) == 0xE) {
    in_addr a = {};
    a.s_addr = htonl(s->address);
    setsockopt(s->fd, IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof a);
  }
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(address);
  to.sin_port = htons(port);
  return sendto(s->fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(data.size());
}

long udp_take(UdpSocket* s, char* buffer, size_t size, uint32_t* from) {
  sockaddr_in src = {};
  socklen_t len = sizeof src;
  ssize_t n = recvfrom(s->fd, buffer, size, 0, reinterpret_cast<sockaddr*>(&src), &len);
  if (n >= 0) *from = ntohl(src.sin_addr.s_addr);
  return n < 0 ? -1 : static_cast<long>(n);
}

bool udp_wait(const std::vector<UdpSocket*>& sockets, int timeout_ms, std::vector<UdpSocket*>* ready) {
  std::vector<pollfd> polls;
  for (UdpSocket* s : sockets) polls.push_back(pollfd{s->fd, POLLIN, 0});
  if (poll(polls.data(), polls.size(), timeout_ms) <= 0) return false;
  for (size_t i = 0; i < polls.size(); i++)
    if (polls[i].revents & POLLIN) ready->push_back(sockets[i]);
  return true;
}
