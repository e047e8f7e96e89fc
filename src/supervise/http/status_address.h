// The status address: HOST:PORT as given on the command line, where it
// listens, and which Host headers name it. A Host header must name the
// address, so that a page elsewhere cannot read the status by pointing a name
// of its own at this machine (DNS rebinding).
#pragma once
#include <set>
#include <string>

struct StatusAddress {
  std::string host;  // as written: a name, an IPv4 address or [an IPv6 address]
  int port = 0;
};

// HOST:PORT, HOST a name, an IPv4 address or [an IPv6 address], PORT 1-65535;
// false when text is not.
bool status_address_parse(const std::string& text, StatusAddress* out);

// Who a Host header may name.
struct StatusHosts {
  std::set<std::string> names;  // lower case, an IPv6 address in brackets
  std::string port;             // as a Host header writes it
  bool any_address = false;     // listening on every address: any IP address names it too
};

// Whether the Host header's value names this server.
bool status_host_allowed(const StatusHosts& hosts, const std::string& header);

// Where to listen: the address looked up (IPv4 first, where browsers try
// localhost first), as the numeric host to bind to, its family, and the names
// it answers to (a loopback address also by 127.0.0.1, localhost and [::1];
// an unspecified one by localhost and this machine's name, also with .local).
// False with *message set when the name cannot be looked up.
struct StatusListen {
  std::string numeric_host;
  int family = 0;
  StatusHosts hosts;
};
bool status_address_resolve(const std::string& text, const StatusAddress& address, StatusListen* out,
                            std::string* message);
