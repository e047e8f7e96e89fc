#include "find_cameras.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
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

struct Options {
  double wait_s = 3;
  bool has_user = false;
  std::string user;
  std::vector<HttpAddress> addresses;
};

bool parse(const std::vector<std::string>& args, Options* o) {
  for (size_t i = 1; i < args.size(); i++) {
    const std::string& a = args[i];
    if (a == "--wait" || a == "--user") {
      if (i + 1 >= args.size()) return false;
      const std::string& v = args[++i];
      if (a == "--user") {
        o->has_user = true;
        o->user = v;
        continue;
      }
      char* end = nullptr;
      o->wait_s = std::strtod(v.c_str(), &end);
      if (v.empty() || *end != '\0' || !(o->wait_s >= 0.5 && o->wait_s <= 60)) return false;
    } else if (a.compare(0, 1, "-") == 0) {
      return false;
    } else {
      HttpAddress h;
      if (!http_address_read("http://" + a + "/onvif/device_service", &h) || a.find('/') != std::string::npos ||
          o->addresses.size() >= kOnvifMaxDevices) {
        return false;
      }
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
  bool found = false;  // by a Probe: its match below holds
  FoundDevice device;
};

void ask_and_write(const Target& t, const Options& o, const std::string& password) {
  nlohmann::ordered_json line;
  const ProbeMatch& m = t.device.match;
  line["endpoint"] = m.endpoint;
  line["address"] = t.device_url;
  line["name"] = scope(m.scopes, "name");
  std::string maker = scope(m.scopes, "mfr"), model = scope(m.scopes, "hardware");
  line["maker"] = maker;
  line["model"] = model;
  line["location"] = scope(m.scopes, "location");
  if (o.has_user) {
    auto readdress = [&t](const std::string& url) {
      return t.found ? onto_network(url, t.device.from, t.device.net) : url;
    };
    CameraReport r = camera_ask(t.device_url, Credentials{o.user, password}, readdress);
    if (r.has_info) {
      if (!r.info.maker.empty()) line["maker"] = r.info.maker;
      if (!r.info.model.empty()) line["model"] = r.info.model;
    }
    if (r.has_offset) line["clock_offset"] = r.clock_offset;
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
      profiles.push_back(std::move(j));
    }
    line["profiles"] = std::move(profiles);
    if (r.refused) {
      line["error"] = "refused the user name or password";
    } else if (!r.error.empty()) {
      line["error"] = r.error;
    }
  }
  write_line(line);
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

int find_cameras_main(const std::vector<std::string>& args) {
  Options o;
  if (!parse(args, &o)) {
    fputs(kUsage, stderr);
    fflush(stderr);
    return kExitUsage;
  }
  std::string password = o.has_user ? read_password() : std::string();
  net_startup();

  std::vector<Ipv4Interface> interfaces;
  std::string why;
  if (!ipv4_multicast_interfaces(&interfaces, &why) && o.addresses.empty()) {
    fprintf(stderr, "qor-ndi-supervise: %s\n", why.c_str());
    return kExitNoInterface;
  }
  std::vector<Target> targets;
  if (o.addresses.empty()) {
    if (interfaces.empty()) {
      fputs("qor-ndi-supervise: no network interface is up with multicast\n", stderr);
      return kExitNoInterface;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<int>(o.wait_s * 1000));
    std::vector<FoundDevice> found;
    if (!discover(interfaces, 0, deadline, &found, &why)) {
      fprintf(stderr, "qor-ndi-supervise: %s\n", why.c_str());
      return kExitNoInterface;
    }
    for (FoundDevice& d : found) {
      Target t;
      t.device_url = device_url(d);
      if (t.device_url.empty()) continue;  // nothing to ask it by
      t.found = true;
      t.device = std::move(d);
      targets.push_back(std::move(t));
    }
  } else {
    for (const HttpAddress& h : o.addresses) {
      Target t;
      t.device_url = http_address_text(h);
      targets.push_back(std::move(t));
    }
  }

  std::vector<std::thread> threads;
  for (Target& t : targets) {
    threads.emplace_back([&t, &o, &password, &interfaces] {
      // A given address: its endpoint and scopes from a unicast Probe, which a
      // camera answers at once; its service where the address says.
      uint32_t ip;
      HttpAddress h;
      if (!t.found && http_address_read(t.device_url, &h) && ipv4_read(h.host, &ip)) {
        std::vector<FoundDevice> one;
        std::string ignored;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(
                                                                 std::min(1000, static_cast<int>(o.wait_s * 1000)));
        if (discover(interfaces, ip, deadline, &one, &ignored) && !one.empty()) t.device.match = one[0].match;
      }
      ask_and_write(t, o, password);
    });
  }
  for (std::thread& th : threads) th.join();
  return 0;
}
