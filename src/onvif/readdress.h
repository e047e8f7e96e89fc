// Where the addresses a camera names lead. A camera names its services and
// streams by the address it believes it has, which is often not the one that
// reaches it: a port forward, NAT, a container, a DHCP change. So an address
// it names that cannot be reached as named is moved onto the host (and, for
// a service, the port) that answered. readdress.cpp.
#pragma once
#include <string>
#include <vector>

#include "soap_call.h"
#include "udp.h"

// The host of url, any scheme, its user info skipped (without brackets for
// IPv6); empty when it has none.
std::string url_host(const std::string& url);

// url with its host replaced, its port and the rest kept.
std::string url_with_host(const std::string& url, const std::string& host);

// A service's address at the host and port of answered, its path kept.
std::string service_at(const std::string& url, const HttpAddress& answered);

// Whether a host a camera names may be reached as named: an IPv4 address on
// one of our networks, or a name (only trying tells).
bool host_reachable(const std::string& host, const std::vector<Ipv4Interface>& networks);
