// WS-Discovery: a Probe for network video transmitters, sent to the
// multicast group out of every interface or to one address, and the
// ProbeMatch answers collected until a deadline.
#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "answers.h"
#include "udp.h"

struct FoundDevice {
  ProbeMatch match;
  uint32_t from = 0;  // the address the answer came from
  Ipv4Interface net;  // ours on the network it came from (address 0: none known)
};

// Sends the Probe out of each interface (or to unicast when it is nonzero)
// and collects distinct devices (by endpoint) until deadline, at most
// kOnvifMaxDevices. False with *why when no Probe could be sent at all.
bool discover(const std::vector<Ipv4Interface>& interfaces, uint32_t unicast,
              std::chrono::steady_clock::time_point deadline, std::vector<FoundDevice>* out, std::string* why);

// url with its host replaced by from when the host is an IPv4 address off the
// network net (a device found at an address other than the one it kept since
// a DHCP change names itself by the stale one); otherwise url unchanged. Any
// scheme: the service and the stream addresses alike.
std::string onto_network(const std::string& url, uint32_t from, const Ipv4Interface& net);
