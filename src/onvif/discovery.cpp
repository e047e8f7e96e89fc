#include "discovery.h"

#include "requests.h"

static const uint32_t kGroup = 0xEFFFFFFA;  // 239.255.255.250
static const uint16_t kPort = 3702;

bool discover(const std::vector<Ipv4Interface>& interfaces, uint32_t unicast,
              std::chrono::steady_clock::time_point deadline, std::vector<FoundDevice>* out, std::string* why) {
  std::string id = random_urn();
  if (id.empty()) {
    *why = "the system gave no random message id";
    return false;
  }
  std::string probe = probe_request(id);
  // One socket for a unicast Probe; for the multicast one, a socket bound to
  // each interface's address, out of which its Probe goes.
  std::vector<UdpSocketPtr> owned;
  std::vector<UdpSocket*> sockets;
  if (unicast) {
    UdpSocketPtr s = udp_open(0, why);
    if (s && udp_send(s.get(), unicast, kPort, probe)) owned.push_back(std::move(s));
  } else {
    for (const Ipv4Interface& i : interfaces) {
      UdpSocketPtr s = udp_open(i.address, why);
      if (s && udp_send(s.get(), kGroup, kPort, probe)) owned.push_back(std::move(s));
    }
  }
  if (owned.empty()) {
    *why = why->empty() ? "the Probe could not be sent" : "the Probe could not be sent: " + *why;
    return false;
  }
  for (const UdpSocketPtr& s : owned) sockets.push_back(s.get());
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || out->size() >= kOnvifMaxDevices) break;
    std::string data, ignored;
    uint32_t from = 0;
    if (!udp_receive(sockets, static_cast<int>(left.count()), &data, &from)) continue;
    if (unicast && from != unicast) continue;
    OnvifAnswerPtr a = onvif_answer_read(data, &ignored);
    // Only answers to this Probe: another program's search, or a stale
    // answer, lists what was not asked for.
    if (!a || read_relates_to(*a) != id) continue;
    for (ProbeMatch& m : read_probe_matches(*a)) {
      bool known = false;
      for (const FoundDevice& d : *out) known = known || (!m.endpoint.empty() && d.match.endpoint == m.endpoint);
      if (known || out->size() >= kOnvifMaxDevices) continue;
      FoundDevice d;
      d.match = std::move(m);
      d.from = from;
      for (const Ipv4Interface& i : interfaces) {
        if (i.netmask && (i.address & i.netmask) == (from & i.netmask)) d.net = i;
      }
      out->push_back(std::move(d));
    }
    if (unicast) break;  // the one device asked has answered
  }
  return true;
}

std::string onto_network(const std::string& url, uint32_t from, const Ipv4Interface& net) {
  if (!net.address || !from) return url;
  size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  size_t start = scheme + 3;
  size_t end = url.find_first_of("/?#", start);
  if (end == std::string::npos) end = url.size();
  size_t at = url.rfind('@', end);
  if (at != std::string::npos && at >= start) start = at + 1;
  size_t colon = url.find(':', start);
  size_t host_end = colon != std::string::npos && colon < end ? colon : end;
  uint32_t host;
  if (!ipv4_read(url.substr(start, host_end - start), &host)) return url;
  if ((host & net.netmask) == (net.address & net.netmask)) return url;
  return url.substr(0, start) + ipv4_text(from) + url.substr(host_end);
}
