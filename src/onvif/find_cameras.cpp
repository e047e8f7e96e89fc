#include "find_cameras.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "camera.h"
#include "discovery.h"
#include "net.h"
#include "stdout_write.h"

namespace {

const int kExitUsage = 64;
const int kExitNoInterface = 1;
const size_t kMaxPasswordBytes = 4096;

const char kUsage[] =
    "usage: qor-ndi-supervise --find-cameras [--wait SECONDS] [--user USER] [ADDRESS...]\n"
    "  ADDRESS is host or host:port; with --user the password is the first line of stdin\n";

bool parse(const std::vector<std::string>& args, CameraSearch* o) {
  for (size_t i = 1; i < args.size(); i++) {
    const std::string& a = args[i];
    if (a == "--wait" || a == "--user") {
      if (i + 1 >= args.size()) return false;
      const std::string& v = args[++i];
      if (a == "--user") {
        o->ask = true;
        o->credentials.user = v;
        continue;
      }
      char* end = nullptr;
      o->wait_s = std::strtod(v.c_str(), &end);
      if (v.empty() || *end != '\0' || !(o->wait_s >= 0.5 && o->wait_s <= 60)) return false;
    } else if (a.compare(0, 1, "-") == 0) {
      return false;
    } else {
      HttpAddress h;
      if (!camera_address_read(a, &h) || o->addresses.size() >= kOnvifMaxDevices) return false;
      o->addresses.push_back(h);
    }
  }
  return true;
}

// One line of stdin, its line end removed, as --set-password reads one.
std::string read_password() {
  std::string line;
  int c;
  while ((c = std::getchar()) != EOF && c != '\n') {
    if (line.size() < kMaxPasswordBytes) line += static_cast<char>(c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// A scope's value: onvif://www.onvif.org/<kind>/<value>, percent-decoded.
std::string scope(const std::string& scopes, const char* kind) {
  std::string prefix = std::string("onvif://www.onvif.org/") + kind + "/";
  size_t i = 0;
  while (i < scopes.size()) {
    size_t b = scopes.find_first_not_of(" \t\r\n", i);
    if (b == std::string::npos) break;
    size_t e = scopes.find_first_of(" \t\r\n", b);
    if (e == std::string::npos) e = scopes.size();
    if (scopes.compare(b, prefix.size(), prefix) == 0 && e > b + prefix.size()) {
      return httplib::detail::decode_url(scopes.substr(b + prefix.size(), e - b - prefix.size()), false);
    }
    i = e;
  }
  return std::string();
}

std::mutex g_out;

void write_line(const nlohmann::ordered_json& line) {
  // A camera's text may be any bytes: invalid UTF-8 is replaced, never a throw.
  std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + kNewline;
  std::lock_guard<std::mutex> lock(g_out);
  stdout_write(text.data(), text.size(), -1, 0);
}

struct Target {
  std::string device_url;
  bool found = false;  // by a Probe
  FoundDevice device;
};

nlohmann::ordered_json ask(const Target& t, const CameraSearch& s, const std::vector<Ipv4Interface>& networks) {
  nlohmann::ordered_json line;
  const ProbeMatch& m = t.device.match;
  line["endpoint"] = m.endpoint;
  line["address"] = t.device_url;
  line["name"] = scope(m.scopes, "name");
  std::string maker = scope(m.scopes, "mfr"), model = scope(m.scopes, "hardware");
  line["maker"] = maker;
  line["model"] = model;
  line["location"] = scope(m.scopes, "location");
  if (!s.ask) return line;
  CameraReport r = camera_ask(t.device_url, s.credentials, networks);
  if (r.has_info) {
    if (!r.info.maker.empty()) line["maker"] = r.info.maker;
    if (!r.info.model.empty()) line["model"] = r.info.model;
  }
  if (r.has_offset) line["clock_offset"] = r.clock_offset;
  if (!r.ptz_service.empty()) line["ptz_service"] = r.ptz_service;
  nlohmann::ordered_json profiles = nlohmann::ordered_json::array();
  for (const CameraProfile& cp : r.profiles) {
    const MediaProfile& p = cp.profile;
    nlohmann::ordered_json j;
    j["name"] = p.name;
    j["token"] = p.token;
    j["encoding"] = p.encoding;
    j["width"] = p.width;
    j["height"] = p.height;
    j["rate"] = p.rate;
    j["stream"] = cp.stream;
    j["snapshot"] = cp.snapshot;
    j["ptz"] = p.ptz;
    if (p.ptz) j["ptz_configuration"] = p.ptz_configuration;
    profiles.push_back(std::move(j));
  }
  line["profiles"] = std::move(profiles);
  if (r.refused) {
    line["error"] = "refused the user name or password";
  } else if (!r.error.empty()) {
    line["error"] = r.error;
  }
  return line;
}

// The device service address of a match: its first http:// XAddr, moved onto
// the network it answered from.
std::string device_url(const FoundDevice& d) {
  for (const std::string& x : d.match.xaddrs) {
    HttpAddress h;
    if (http_address_read(x, &h)) return onto_network(x, d.from, d.net);
  }
  return std::string();
}

}  // namespace

bool camera_address_read(const std::string& text, HttpAddress* out) {
  return text.find('/') == std::string::npos && http_address_read("http://" + text + "/onvif/device_service", out);
}

bool find_cameras(const CameraSearch& s, const std::function<void(nlohmann::ordered_json)>& each,
                  std::string* why) {
  net_startup();
  std::vector<Ipv4Interface> networks;
  if (!ipv4_interfaces(&networks, why) && s.addresses.empty()) return false;
  std::vector<Target> targets;
  if (s.addresses.empty()) {
    bool multicast = false;
    for (const Ipv4Interface& i : networks) multicast = multicast || i.multicast;
    if (!multicast) {
      *why = "no network interface is up with multicast";
      return false;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<int>(s.wait_s * 1000));
    std::vector<FoundDevice> found;
    if (!discover(networks, 0, deadline, &found, why)) return false;
    for (FoundDevice& d : found) {
      Target t;
      t.device_url = device_url(d);
      if (t.device_url.empty()) continue;  // nothing to ask it by
      t.found = true;
      t.device = std::move(d);
      targets.push_back(std::move(t));
    }
  } else {
    for (const HttpAddress& h : s.addresses) {
      Target t;
      t.device_url = http_address_text(h);
      targets.push_back(std::move(t));
    }
  }

  // Each camera on a thread of its own, at most s.most_at_once at a time.
  std::mutex lock;
  size_t next = 0;
  auto work = [&] {
    for (;;) {
      Target* t;
      {
        std::lock_guard<std::mutex> hold(lock);
        if (next == targets.size()) return;
        t = &targets[next++];
      }
      // A given address: its endpoint and scopes from a unicast Probe, which a
      // camera answers at once; its service where the address says.
      uint32_t ip;
      HttpAddress h;
      if (!t->found && http_address_read(t->device_url, &h) && ipv4_read(h.host, &ip)) {
        std::vector<FoundDevice> one;
        std::string ignored;
        auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(std::min(1000, static_cast<int>(s.wait_s * 1000)));
        if (discover(networks, ip, deadline, &one, &ignored) && !one.empty()) t->device.match = one[0].match;
      }
      each(ask(*t, s, networks));
    }
  };
  std::vector<std::thread> threads;
  size_t count = std::min(targets.size(), std::max<size_t>(1, s.most_at_once));
  for (size_t i = 0; i < count; i++) {
    try {
      threads.emplace_back(work);
    } catch (const std::system_error&) {
      if (threads.empty()) work();  // no thread to spare: the cameras one by one here
      break;
    }
  }
  for (std::thread& th : threads) th.join();
  return true;
}

int find_cameras_main(const std::vector<std::string>& args) {
  CameraSearch search;
  search.most_at_once = kOnvifMaxDevices;  // a shell waits for them all
  if (!parse(args, &search)) {
    fputs(kUsage, stderr);
    fflush(stderr);
    return kExitUsage;
  }
  search.credentials.password = search.ask ? read_password() : std::string();
  std::string why;
  if (!find_cameras(search, write_line, &why)) {
    fprintf(stderr, "qor-ndi-supervise: %s\n", why.c_str());
    return kExitNoInterface;
  }
  return 0;
}
