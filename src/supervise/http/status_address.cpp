#include "http/status_address.h"

#include "http/status_socket.h"  // first: each platform's socket headers, through httplib.h

#include <cstring>
#include <string>

#include "text/ascii.h"


namespace {


std::string trimmed(const std::string& text) {
  const char* space = " \t\r\n\v\f";
  size_t first = text.find_first_not_of(space);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

bool ipv6_literal(const std::string& text) {
  // A zone ("%eth0") is allowed after the address, as an IPv6 address may carry one.
  size_t zone = text.find('%');
  if (zone != std::string::npos && zone + 1 == text.size()) return false;
  std::string address = text.substr(0, zone);
  unsigned char buf[16];
  return inet_pton(AF_INET6, address.c_str(), buf) == 1;
}

bool ip_literal(const std::string& text) {
  unsigned char buf[16];
  return inet_pton(AF_INET, text.c_str(), buf) == 1 || ipv6_literal(text);
}

}  // namespace

bool status_address_parse(const std::string& text, StatusAddress* out) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string host = text.substr(0, colon), port = text.substr(colon + 1);
  if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos) return false;
  size_t digits = port.find_first_not_of('0');
  if (digits == std::string::npos || port.size() - digits > 5) return false;
  int number = std::stoi(port.substr(digits));
  if (number > 65535) return false;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    if (!ipv6_literal(host.substr(1, host.size() - 2))) return false;
  } else if (host.find_first_of(":[]") != std::string::npos) {
    return false;
  }
  out->host = host;
  out->port = number;
  return true;
}

bool status_host_allowed(const StatusHosts& hosts, const std::string& header) {
  std::string value = ascii_lower(trimmed(header));
  std::string host, port;
  if (!value.empty() && value[0] == '[') {
    size_t close = value.find(']');
    std::string rest = close == std::string::npos ? "" : value.substr(close + 1);
    host = "[" + value.substr(1, close == std::string::npos ? std::string::npos : close - 1) + "]";
    if (!rest.empty() && rest[0] != ':') return false;
    port = rest.empty() ? "80" : rest.substr(1);
  } else {
    size_t colon = value.find(':');
    host = value.substr(0, colon);
    port = colon == std::string::npos ? "80" : value.substr(colon + 1);
  }
  if (port != hosts.port) return false;
  if (hosts.names.count(host) != 0) return true;
  if (!hosts.any_address) return false;
  return ip_literal(host.size() >= 2 && host[0] == '[' ? host.substr(1, host.size() - 2) : host);
}

bool status_address_resolve(const std::string& text, const StatusAddress& address, StatusListen* out,
                            std::string* message) {
  std::string bare = address.host;
  if (bare.size() >= 2 && bare.front() == '[') bare = bare.substr(1, bare.size() - 2);
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int failed = getaddrinfo(bare.c_str(), std::to_string(address.port).c_str(), &hints, &found);
  if (failed != 0) {
    *message = "--status " + text + ": " + status_lookup_error(failed);
    return false;
  }
  const addrinfo* chosen = found;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET) {
      chosen = a;
      break;
    }
  }
  char numeric[NI_MAXHOST] = "";
  int named = getnameinfo(chosen->ai_addr, static_cast<socklen_t>(chosen->ai_addrlen), numeric, sizeof numeric,
                          nullptr, 0, NI_NUMERICHOST);
  out->family = chosen->ai_family;
  freeaddrinfo(found);
  if (named != 0) {
    *message = "--status " + text + ": " + status_lookup_error(named);
    return false;
  }
  out->numeric_host = numeric;

  std::string ip = ascii_lower(out->numeric_host.substr(0, out->numeric_host.find('%')));
  bool v6 = out->family == AF_INET6;
  StatusHosts& hosts = out->hosts;
  hosts.port = std::to_string(address.port);
  hosts.names = {ascii_lower(address.host), v6 ? "[" + ip + "]" : ip};
  bool loopback = v6 ? ip == "::1" : ip.compare(0, 4, "127.") == 0;
  if (loopback) hosts.names.insert({"127.0.0.1", "localhost", "[::1]"});
  hosts.any_address = v6 ? ip == "::" : ip == "0.0.0.0";
  if (hosts.any_address) {
    char name[256] = "";
    hosts.names.insert("localhost");
    if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') {
      hosts.names.insert({ascii_lower(name), ascii_lower(name) + ".local"});
    }
  }
  return true;
}
