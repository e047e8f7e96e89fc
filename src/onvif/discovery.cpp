#include "discovery.h"

#include "readdress.h"
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
      if (!i.multicast) continue;
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
  uint32_t host;
  if (!net.address || !from || !ipv4_read(url_host(url), &host)) return url;
  if ((host & net.netmask) == (net.address & net.netmask)) return url;
  return url_with_host(url, ipv4_text(from));
}
