// What every system shares of the datagrams: the receive loop, over the
// wait and take of udp_system.h, and the dotted-quad texts, which need no
// system call.
#include <cstdio>

#include "udp_system.h"

bool udp_receive(const std::vector<UdpSocket*>& sockets, int timeout_ms, std::string* data, uint32_t* from) {
  std::vector<UdpSocket*> ready;
  if (!udp_wait(sockets, timeout_ms < 0 ? 0 : timeout_ms, &ready)) return false;
  for (UdpSocket* s : ready) {
    data->resize(65536);
    long n = udp_take(s, &(*data)[0], data->size(), from);
    if (n < 0) continue;
    data->resize(static_cast<size_t>(n));
    return true;
  }
  return false;
}

std::string ipv4_text(uint32_t address) {
  char buf[16];
  snprintf(buf, sizeof buf, "%u.%u.%u.%u", address >> 24, (address >> 16) & 255, (address >> 8) & 255,
           address & 255);
  return buf;
}

// As inet_pton reads an IPv4 address, on every system alike: four decimal
// parts of 0 to 255, none with a leading zero, and nothing else (the text
// ends at a NUL, as the C string it was handed as).
bool ipv4_read(const std::string& text, uint32_t* address) {
  const char* p = text.c_str();
  uint32_t value = 0;
  for (int part = 0; part < 4; part++) {
    if (part > 0 && *p++ != '.') return false;
    if (*p < '0' || *p > '9') return false;
    const char* start = p;
    unsigned n = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
      if (p > start && n == 0) return false;
      n = n * 10 + static_cast<unsigned>(*p - '0');
      if (n > 255) return false;
    }
    value = value << 8 | n;
  }
  if (*p != '\0') return false;
  *address = value;
  return true;
}

bool ipv4_on_networks(uint32_t address, const std::vector<Ipv4Interface>& interfaces) {
  if ((address >> 24) == 127) return true;
  for (const Ipv4Interface& i : interfaces) {
    if (i.address && i.netmask && (address & i.netmask) == (i.address & i.netmask)) return true;
  }
  return false;
}
